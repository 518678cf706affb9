#pragma once
// The simulated controller's firmware: state and the answer to each command, with no knowledge
// of how requests arrive. Every transport (TCP, simulated USB HID) shares one instance.

#include <cstdint>
#include <map>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace vortlink::sim {

struct controller_settings {
    std::string fw_version = "QRL-APP 1.04";
    uint16_t status_word = 0;
};

class controller {
  public:
    static constexpr uint32_t memory_size = 512 * 1024;
    static constexpr uint32_t eeprom_size = 64 * 1024;
    // Data field of the block transfers, in bytes.
    static constexpr uint16_t block_field_size = 112;
    static constexpr std::size_t fw_version_size = 20;

    explicit controller(const controller_settings &settings = {});

    // Serves one command. `request` holds its request data and `reply` receives its reply data,
    // each exactly as long as the command table says; the reply is zero-filled first. Returns 0,
    // or the device error number that the transport sends instead of the reply.
    int16_t handle(uint8_t opcode, std::span<const uint8_t> request, std::span<uint8_t> reply);

    uint16_t status_word() const;
    void set_status_word(uint16_t word);
    // The text opcode 0x01 answers, without its zero padding.
    std::string fw_version() const;

  private:
    int16_t handle_locked(uint8_t opcode, std::span<const uint8_t> request,
                          std::span<uint8_t> reply);
    int16_t write_block(std::vector<uint8_t> &store, std::span<const uint8_t> request);
    int16_t read_block(const std::vector<uint8_t> &store, std::span<const uint8_t> request,
                       std::span<uint8_t> reply);
    bool serve_stored_pair(uint8_t opcode, std::span<const uint8_t> request,
                           std::span<uint8_t> reply);

    mutable std::mutex mutex_;
    std::string fw_version_;
    uint16_t status_word_;
    std::vector<uint8_t> memory_;
    std::vector<uint8_t> eeprom_;
    // Last request data of each simple setter, by setter opcode and the key its getter names.
    std::map<uint32_t, std::vector<uint8_t>> stored_;
};

} // namespace vortlink::sim
