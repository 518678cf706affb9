#pragma once
// The simulated controller's firmware: its boot loader and application, EEPROM, memory, program
// flash and settings, and the answer to each command, with no knowledge of how requests arrive.
// Every transport (TCP, simulated USB HID) of one controller shares one instance.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "firmware_image.h"

namespace vortlink::sim {

class state_writer;

enum class firmware_kind { boot_loader, application };

inline constexpr uint8_t diagnostic_count = 6;

struct controller_settings {
    // Version text of the application; the boot loader's begins with its part number.
    std::string fw_version = "QRL-APP 1.04";
    std::string boot_loader_version = "6400-000731 BL 2.01";
    // What the factory writes into the manufacturing block: the serial number (at most 16
    // characters kept) and the hardware version ("PART Rev ECO" gives part number and ECO
    // revision their own fields).
    std::string serial_number = "Q0000001";
    std::string hw_version = "6400-000850 Rev B";
    uint16_t status_word = 0;
    bool start_in_boot_loader = false;
    // All 0xFF instead of the factory blocks.
    bool erased_eeprom = false;
    // Without a lighthead the serial number query answers 0 and the factory leaves the
    // lighthead image erased.
    bool lighthead = true;
    uint32_t lighthead_serial = 4400123;
    // How long a restart keeps the controller off the bus.
    uint32_t restart_delay_ms = 1500;
    // How long echo answers busy after an image went to the Ethernet processor.
    uint32_t ethernet_restart_ms = 3000;
    // Device error each self-test answers with; 0 passes.
    std::array<int16_t, diagnostic_count> diagnostic_errors{};
    // Where EEPROM and programmed flash are kept across runs; empty keeps nothing.
    std::string state_directory;
};

// True for the error numbers the controller may send (those of protocol::device_error).
bool known_device_error(int16_t code);

class controller {
  public:
    static constexpr uint32_t memory_size = 1024 * 1024;
    static constexpr uint32_t eeprom_size = 64 * 1024;
    // Where the boot loader takes each 128-byte firmware chunk from.
    static constexpr uint32_t transfer_buffer_address = 0x00080000;
    static constexpr std::size_t fw_version_size = 20;

    // The special function codes the firmware serves.
    static constexpr uint16_t special_lighthead_serial = 81;
    static constexpr uint16_t special_transfer_buffer = 2064;
    static constexpr uint16_t special_begin_block = 2065;
    static constexpr uint16_t special_commit_chunk = 2066;
    static constexpr uint16_t special_forward_image = 2068;

    // Loads the state files when the settings name a state directory; a damaged one is
    // reported on stderr and that part starts as a new controller would.
    explicit controller(const controller_settings &settings = {});
    // Writes whatever state is still pending.
    ~controller();
    controller(const controller &) = delete;
    controller &operator=(const controller &) = delete;

    // Serves one command. `request` holds its request data and `reply` receives its reply data,
    // each at least as long as the command table says (a longer request may carry fields the
    // table leaves out; reply bytes beyond the table stay zero, echo fills them); the reply is
    // zero-filled first. A block transfer's count must fit the request or reply given. Returns
    // 0, or the device error number that the transport sends instead of the reply.
    int16_t handle(uint8_t opcode, std::span<const uint8_t> request, std::span<uint8_t> reply);

    uint16_t status_word() const;
    void set_status_word(uint16_t word);
    // The version text opcode 0x01 answers (of the firmware running now), without padding.
    std::string fw_version() const;
    firmware_kind running() const;
    const std::string &serial_number() const { return serial_number_; }

    // Called after every restart, outside the controller's lock, with the firmware now running
    // and how long the controller stays off the bus. Transports take the controller off the bus
    // (USB) or close its connections (TCP).
    using restart_listener = std::function<void(firmware_kind, uint32_t off_bus_ms)>;
    void add_restart_listener(restart_listener listener);
    void restart(firmware_kind kind);
    // A USB feature report's code: 1 restarts into the boot loader, 2 into the application;
    // any other code changes nothing.
    void take_feature(uint16_t code);

    // Test bench: a self-test's verdict (0 passes, otherwise a known device error); false when
    // the test or the code is not one of them.
    bool set_diagnostic_error(uint8_t test, int16_t code);
    void set_analog_input(uint8_t channel, uint16_t value);
    void set_digital_input(uint8_t input, uint8_t state);

    struct programmed_summary {
        uint32_t lowest;
        uint32_t highest; // inclusive
        uint16_t crc;     // CRC-16 of the bytes from lowest to highest
    };
    std::optional<programmed_summary> programmed() const;
    // Bytes of the program flash; false when the range leaves it.
    bool read_flash(uint32_t address, uint32_t count, std::vector<uint8_t> &bytes) const;
    bool read_eeprom(uint32_t address, uint32_t count, std::vector<uint8_t> &bytes) const;

    struct ethernet_summary {
        bool busy;
        uint32_t images; // handed over since start-up
        uint32_t last_word_count;
        uint16_t last_crc; // CRC-16 of the last image's bytes
    };
    ethernet_summary ethernet() const;

  private:
    using steady = std::chrono::steady_clock;

    int16_t handle_locked(uint8_t opcode, std::span<const uint8_t> request,
                          std::span<uint8_t> reply);
    int16_t special(std::span<const uint8_t> request, std::span<uint8_t> reply);
    int16_t forward_image(uint32_t param);
    int16_t thermal_query(uint8_t opcode, std::span<const uint8_t> request,
                          std::span<uint8_t> reply) const;
    int16_t serve_setting(uint8_t opcode, std::span<const uint8_t> request,
                          std::span<uint8_t> reply);
    int16_t write_block(std::vector<uint8_t> &store, std::span<const uint8_t> request);
    int16_t read_block(const std::vector<uint8_t> &store, std::span<const uint8_t> request,
                       std::span<uint8_t> reply);
    bool ethernet_busy_locked() const;
    void load_state(const controller_settings &settings);
    void eeprom_changed();
    void flash_changed();

    const std::string application_version_;
    const std::string boot_loader_version_;
    const std::string serial_number_;
    const bool lighthead_;
    const uint32_t lighthead_serial_;
    const uint32_t restart_delay_ms_;
    const std::chrono::milliseconds ethernet_restart_;

    mutable std::mutex mutex_;
    firmware_kind running_;
    uint16_t status_word_;
    std::vector<uint8_t> memory_;
    std::vector<uint8_t> eeprom_;
    programming_area flash_;
    std::array<int16_t, diagnostic_count> diagnostic_errors_;
    std::vector<restart_listener> restart_listeners_;

    std::optional<steady::time_point> ethernet_back_at_;
    uint32_t ethernet_images_ = 0;
    uint32_t ethernet_last_words_ = 0;
    uint16_t ethernet_last_crc_ = 0;

    // Settings as the setters sent them, raw bytes in wire order, by channel or index.
    std::array<uint16_t, 256> analog_out_{};
    std::array<uint16_t, 256> analog_in_{};
    std::array<uint8_t, 256> digital_out_{};
    std::array<uint8_t, 256> digital_in_{};
    std::array<std::array<uint8_t, 2>, 256> trigger_map_{};
    std::array<std::array<uint8_t, 2>, 256> gate_map_{};
    std::array<std::array<uint8_t, 4>, 256> hv_supply_{};
    std::array<std::array<uint8_t, 4>, 256> lv_supply_{};
    std::array<uint8_t, 256> pulse_out_{};
    std::array<std::array<uint8_t, 10>, 256> pulse_{}; // width u32, delay u16, current f32
    std::array<std::array<uint8_t, 6>, 256> repeat_{}; // value32, value16
    std::array<uint8_t, 12> ip_{};
    std::array<uint8_t, 6> mac_{};

    // Last, so that it is gone (its pending writes done) before the state it reads.
    std::unique_ptr<state_writer> writer_;
};

} // namespace vortlink::sim
