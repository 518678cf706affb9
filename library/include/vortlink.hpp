/*
 * vortlink.hpp - C++17 binding of the command-set library for the Quorrel LED strobe controller.
 *
 * Header-only, over the exported functions of vortlink.h and nothing else: every method makes
 * exactly the tkcmdset_* call it is named after (without the prefix), so the C header's
 * description of each command (time-outs, chunking, what the controller sends) holds as it is.
 * Link with libvortlink as for the C API (CMake: vortlink::vortlink, pkg-config: vortlink).
 *
 *     vortlink::controller c = vortlink::controller::tcp("192.168.1.101");
 *     std::printf("%s 0x%04X\n", c.fw_version().c_str(), c.status());
 *
 * Ownership: a vortlink::controller owns one device slot from the moment it is made until it is
 * destroyed, moved from or closed. It can be moved, not copied. While one controller of the
 * process holds a slot, making another on the same slot throws std::logic_error, so that two
 * handles never close each other's device. Closing calls tkcmdset_shutdown, which closes the
 * slot's USB device; the library has no call that ends a TCP connection, so a TCP slot's
 * connection stays open until the slot is connected again or the process ends.
 *
 * Errors: a non-zero status throws vortlink::error (a std::system_error of vortlink::category()),
 * which carries the status code, the catalogue's name and its text; what() reads
 * "ERROR (code) : name". Arguments the C call cannot take (a block over 65535 bytes, a part
 * number over 16 bytes, a device name or serial over 125 characters) throw std::length_error,
 * a host or serial number with a zero byte std::invalid_argument, before anything is sent.
 * Every method not marked noexcept may also throw std::bad_alloc, and
 * rethrows what a hook of the calling thread threw during the call (see set_message_pump).
 *
 * Threads: the methods of one controller may be called from several threads at once (the
 * library serialises exchanges on a slot); making, moving, closing and destroying a controller
 * must not run at the same time as another use of that same object. The message pump and the
 * progress handler belong to the thread that sets them, as the C hooks do.
 */
#ifndef VORTLINK_HPP
#define VORTLINK_HPP

#if (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 201703L
#error "vortlink.hpp needs C++17 or later"
#endif

#include <array>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "vortlink.h"

namespace vortlink {

/* ---- Status codes and the error catalogue ----------------------------------------------- */

namespace detail {
// The catalogue's words are short; a longer one is read again with room for the longest.
inline std::string catalogue_words(int16_t (*look_up)(int16_t, char *, uint16_t), int code) {
    for (std::size_t size : {std::size_t{256}, std::size_t{0xFFFF}}) {
        std::string words(size, '\0');
        (void)look_up(static_cast<int16_t>(code), &words[0], static_cast<uint16_t>(size));
        words.resize(std::strlen(words.c_str()));
        if (words.size() + 1 < size)
            return words;
    }
    return {};
}
} // namespace detail

/* The catalogue's "Name" of code (tkcmdset_get_error_name): "Unknown Error" when it has none. */
inline std::string error_name(int code) {
    return detail::catalogue_words(tkcmdset_get_error_name, code);
}

/* The catalogue's "Text" of code (tkcmdset_get_error_text): "No further information" when none. */
inline std::string error_text(int code) {
    return detail::catalogue_words(tkcmdset_get_error_text, code);
}

/*
 * The category of the library's status codes: value() is the signed 16-bit status (a library
 * code, or an error number the controller sent), message() its catalogue name.
 */
inline const std::error_category &category() noexcept {
    class status_category : public std::error_category {
      public:
        const char *name() const noexcept override { return "vortlink"; }
        std::string message(int code) const override { return error_name(code); }
    };
    static const status_category instance;
    return instance;
}

/* A status code as a std::error_code of category(): compares equal to error::code(). */
inline std::error_code make_error_code(int16_t status) noexcept {
    return {status, category()};
}

/*
 * A command failed. status() is its non-zero status code, name() and text() the catalogue's
 * words for it, code() the same status as a std::error_code of category(). Copying is cheap and
 * does not throw.
 */
class error : public std::system_error {
  public:
    explicit error(int16_t status)
        : std::system_error(make_error_code(status)),
          words_(std::make_shared<const words>(status)) {}

    int16_t status() const noexcept { return static_cast<int16_t>(code().value()); }
    const std::string &name() const noexcept { return words_->name; }
    const std::string &text() const noexcept { return words_->text; }
    /* "ERROR (code) : name", as the tools show a failure. */
    const char *what() const noexcept override { return words_->summary.c_str(); }

  private:
    struct words {
        explicit words(int16_t status)
            : name(error_name(status)), text(error_text(status)),
              summary("ERROR (" + std::to_string(status) + ") : " + name) {}
        std::string name, text, summary;
    };
    std::shared_ptr<const words> words_;
};

/* The library's version word (tkcmdset_get_dll_version): major in the high byte. */
inline uint16_t dll_version() noexcept {
    return tkcmdset_get_dll_version();
}

/* ---- Hooks of the calling thread -------------------------------------------------------- */

/* What a block transfer moves, as a progress handler is told. */
enum class progress_kind : uint32_t {
    memory_write = TKCMDSET_PROGRESS_MEMORY_WRITE,
    memory_read = TKCMDSET_PROGRESS_MEMORY_READ,
    eeprom_write = TKCMDSET_PROGRESS_EEPROM_WRITE,
    eeprom_read = TKCMDSET_PROGRESS_EEPROM_READ,
};

/* Dispatches the application's pending events; returns true to ask for a quit. */
using message_pump = std::function<bool()>;
/* Told the transfer kind and the address of the chunk about to be sent. */
using progress_handler = std::function<void(progress_kind kind, uint32_t address)>;

namespace detail {
struct thread_hooks {
    message_pump pump;
    progress_handler progress;
    std::exception_ptr pending; // what a hook threw during the current call
};

inline thread_hooks &hooks() {
    static thread_local thread_hooks instance;
    return instance;
}

// No exception may cross into the library: the first one a hook throws waits here until the
// call that ran the hook returns.
inline void keep_pending() noexcept {
    if (!hooks().pending)
        hooks().pending = std::current_exception();
}

inline int call_pump(void *) noexcept {
    try {
        return hooks().pump() ? 1 : 0;
    } catch (...) {
        keep_pending();
        return 1;
    }
}

inline void call_progress(void *, uint32_t kind, uint32_t address) noexcept {
    try {
        hooks().progress(static_cast<progress_kind>(kind), address);
    } catch (...) {
        keep_pending();
    }
}

// After every call: first what a hook threw, then the status.
inline void check(int16_t status) {
    if (std::exception_ptr pending = std::exchange(hooks().pending, nullptr))
        std::rethrow_exception(pending);
    if (status != TKCMDSET_OK)
        throw error(status);
}
} // namespace detail

/*
 * Sets the calling thread's message pump (tkcmdset_set_message_pump). While a command of this
 * thread waits for its reply the library calls pump(); true asks for a quit and the command
 * throws vortlink::error with TKCMDSET_QUIT_REQUESTED. A pump that throws asks for a quit too,
 * and the command rethrows the pump's exception instead. An empty function removes the pump.
 */
inline void set_message_pump(message_pump pump) {
    detail::hooks().pump = std::move(pump);
    detail::check(tkcmdset_set_message_pump(detail::hooks().pump ? detail::call_pump : nullptr,
                                            nullptr));
}

/*
 * Sets the calling thread's progress handler (tkcmdset_set_progress_handler): the block
 * transfers call it before their first chunk and then at most once per 100 ms. An exception
 * from the handler does not stop the transfer; the method that ran the transfer rethrows it
 * when the transfer has ended. An empty function removes the handler.
 */
inline void set_progress_handler(progress_handler handler) {
    detail::hooks().progress = std::move(handler);
    detail::check(tkcmdset_set_progress_handler(
        detail::hooks().progress ? detail::call_progress : nullptr, nullptr));
}

/* ---- Values of the commands ------------------------------------------------------------- */

/* A channel's pulse: width and delay in the controller's units, current in amperes. */
struct pulse {
    uint32_t width = 0;
    uint16_t delay = 0;
    float current = 0;
};

/* A channel's repeat values, as the controller means them. */
struct repeat {
    uint32_t value32 = 0;
    uint16_t value16 = 0;
};

/* The two map bytes of a trigger or gate index. */
struct map_pair {
    uint8_t map_1 = 0;
    uint8_t map_2 = 0;
};

/* The controller's three IPv4 setting words, uninterpreted (0x0A000001 is 10.0.0.1). */
struct ip_settings {
    uint32_t ip_1 = 0;
    uint32_t ip_2 = 0;
    uint32_t ip_3 = 0;
};

using mac_address = std::array<uint8_t, TKCMDSET_MAC_SIZE>;
using echo_block = std::array<uint8_t, TKCMDSET_ECHO_SIZE>;

/*
 * The lighthead record (LightheadData) with its fixed-width texts as strings. part_number has
 * at most 16 bytes, stored byte for byte; programmed_on is filled by get_lighthead_data and not
 * written. The LED groups are the C structs, converted as vortlink.h describes.
 */
struct lighthead_record {
    std::string part_number;
    std::string programmed_on;
    std::array<LedParameters, 4> led{};
};

/* ---- The controller --------------------------------------------------------------------- */

class controller {
  public:
    /*
     * Connects slot (default 0) to the controller at host over TCP (tkcmdset_connect; the port
     * is the "TCP Port" setting). Throws vortlink::error (TKCMDSET_BAD_TCP_SLOT,
     * TKCMDSET_HOST_UNRESOLVED, TKCMDSET_SOCKET_FAILURE, a settings code) or std::logic_error
     * when another controller of this process holds the slot.
     */
    static controller tcp(const std::string &host, uint8_t slot = 0) {
        controller made(slot, opening::tcp, host);
        made.reopen();
        return made;
    }

    /*
     * Opens the index-th USB controller (counting from 0) in slot index (tkcmdset_init_ex with
     * the product string). Throws vortlink::error (TKCMDSET_BAD_SLOT, TKCMDSET_NO_DEVICE_MATCHED,
     * TKCMDSET_BAD_REPORTS) or std::logic_error as tcp() does.
     */
    static controller usb(uint8_t index = 0) {
        controller made(index, opening::usb, {});
        made.reopen();
        return made;
    }

    /* Opens, in slot (default 0), the USB controller whose serial number is serial. As usb(). */
    static controller usb_serial(const std::string &serial, uint8_t slot = 0) {
        controller made(slot, opening::usb, serial);
        made.reopen();
        return made;
    }

    controller(controller &&other) noexcept
        : slot_(other.slot_), how_(other.how_), address_(std::move(other.address_)),
          held_(std::exchange(other.held_, false)) {}

    controller &operator=(controller &&other) noexcept {
        if (this != &other) {
            close();
            slot_ = other.slot_;
            how_ = other.how_;
            address_ = std::move(other.address_);
            held_ = std::exchange(other.held_, false);
        }
        return *this;
    }

    controller(const controller &) = delete;
    controller &operator=(const controller &) = delete;

    /* Closes the slot (see close()). */
    ~controller() { close(); }

    /* The device slot this controller holds. */
    uint8_t slot() const noexcept { return slot_; }
    /* True until the controller is closed or moved from. */
    bool is_open() const noexcept { return held_; }
    explicit operator bool() const noexcept { return held_; }

    /*
     * Frees the slot: tkcmdset_shutdown closes its USB device (a TCP connection stays, see the
     * top of this file). Afterwards every command throws std::logic_error. Never throws.
     */
    void close() noexcept {
        if (!std::exchange(held_, false))
            return;
        (void)tkcmdset_shutdown(slot_);
        release_slot(slot_);
    }

    /*
     * Opens the slot again the way it was made (after a reset the USB controller comes back as
     * a new device). Throws as the function that made it.
     */
    void reopen() {
        use();
        if (how_ == opening::tcp)
            detail::check(tkcmdset_connect(slot_, 0, address_.c_str()));
        else
            detail::check(tkcmdset_init_ex(slot_, TKCMDSET_PRODUCT_NAME,
                                           address_.empty() ? nullptr : address_.c_str()));
    }

    /* ---- Identity and status ------------------------------------------------------------ */

    /* Sends the feature report (tkcmdset_set_feature): 1 boot loader, 2 application. USB only. */
    void set_feature(uint16_t feature) { call(tkcmdset_set_feature, feature); }

    /* The 16-bit status word (tkcmdset_status). */
    uint16_t status() { return read(tkcmdset_status); }

    /* The identity texts, each at most 100 characters (Latin-1 bytes); may be empty. */
    std::string fw_version() { return identity(tkcmdset_fw_version); }
    std::string hw_version() { return identity(tkcmdset_hw_version); }
    std::string serial_number() { return identity(tkcmdset_serial_number); }

    /* Sends data and returns the controller's echo (tkcmdset_echo); over TCP only the first 50
     * bytes travel, so only those of the result carry the echo. */
    echo_block echo(const echo_block &data) {
        echo_block reply{};
        call(tkcmdset_echo, data.data(), reply.data());
        return reply;
    }

    /* Runs diagnostic test; the controller's verdict on a failure is the error's status. */
    void run_diags(uint8_t test) { call(tkcmdset_run_diags, test); }

    /* Passes a special function code with its parameter; returns the controller's answer. */
    uint32_t special(uint16_t code, uint32_t param = 0) {
        return read(tkcmdset_special, code, param);
    }

    /* Makes the controller run code at address. */
    void execute(uint32_t address) { call(tkcmdset_execute, address); }

    /* ---- Analog and digital I/O, memory --------------------------------------------------- */

    void set_an_out(uint8_t channel, uint16_t value) { call(tkcmdset_set_an_out, channel, value); }
    uint16_t get_an_out(uint8_t channel) { return read(tkcmdset_get_an_out, channel); }
    uint16_t get_an_in(uint8_t channel) { return read(tkcmdset_get_an_in, channel); }
    float get_volts(uint8_t channel) { return read(tkcmdset_get_volts, channel); }
    void set_dig_out(uint8_t output, bool state) {
        call(tkcmdset_set_dig_out, output, static_cast<uint8_t>(state ? 1 : 0));
    }
    bool get_dig_out(uint8_t output) { return read(tkcmdset_get_dig_out, output) != 0; }
    bool get_dig_in(uint8_t input) { return read(tkcmdset_get_dig_in, input) != 0; }
    void write_mem(uint32_t address, uint8_t value) { call(tkcmdset_write_mem, address, value); }
    uint8_t read_mem(uint32_t address) { return read(tkcmdset_read_mem, address); }

    /* ---- Blocks of memory and EEPROM ------------------------------------------------------ */

    /*
     * Block transfers of up to 65535 bytes (longer: std::length_error, nothing sent), chunked
     * and reported to the progress handler as vortlink.h says. A failed chunk throws; chunks
     * already written stay written. EEPROM addresses wrap from 0xFFFF to 0.
     */
    void write_mem_block(uint32_t address, const uint8_t *data, std::size_t length) {
        call(tkcmdset_write_mem_block, address, data, block_length(length));
    }
    void write_mem_block(uint32_t address, const std::vector<uint8_t> &data) {
        write_mem_block(address, data.data(), data.size());
    }
    std::vector<uint8_t> read_mem_block(uint32_t address, std::size_t length) {
        std::vector<uint8_t> data(block_length(length));
        call(tkcmdset_read_mem_block, address, data.data(), block_length(length));
        return data;
    }
    void write_eemem_block(uint16_t address, const uint8_t *data, std::size_t length) {
        call(tkcmdset_write_eemem_block, address, data, block_length(length));
    }
    void write_eemem_block(uint16_t address, const std::vector<uint8_t> &data) {
        write_eemem_block(address, data.data(), data.size());
    }
    std::vector<uint8_t> read_eemem_block(uint16_t address, std::size_t length) {
        std::vector<uint8_t> data(block_length(length));
        call(tkcmdset_read_eemem_block, address, data.data(), block_length(length));
        return data;
    }

    /* ---- Pulse, trigger, supplies, network ------------------------------------------------ */

    void set_pulse(uint8_t channel, const pulse &value) {
        call(tkcmdset_set_pulse, channel, value.width, value.delay, value.current);
    }
    pulse get_pulse(uint8_t channel) {
        pulse value;
        call(tkcmdset_get_pulse, channel, &value.width, &value.delay, &value.current);
        return value;
    }
    void set_repeat(uint8_t channel, const repeat &value) {
        call(tkcmdset_set_repeat, channel, value.value32, value.value16);
    }
    repeat get_repeat(uint8_t channel) {
        repeat value;
        call(tkcmdset_get_repeat, channel, &value.value32, &value.value16);
        return value;
    }
    void set_trigger_map(uint8_t index, const map_pair &maps) {
        call(tkcmdset_set_trigger_map, index, maps.map_1, maps.map_2);
    }
    map_pair get_trigger_map(uint8_t index) {
        map_pair maps;
        call(tkcmdset_get_trigger_map, index, &maps.map_1, &maps.map_2);
        return maps;
    }
    void set_gate_map(uint8_t index, const map_pair &maps) {
        call(tkcmdset_set_gate_map, index, maps.map_1, maps.map_2);
    }
    void set_hv_supply(uint8_t index, float volts) { call(tkcmdset_set_hv_supply, index, volts); }
    float get_hv_supply(uint8_t index) { return read(tkcmdset_get_hv_supply, index); }
    void set_lv_supply(uint8_t index, float volts) { call(tkcmdset_set_lv_supply, index, volts); }
    float get_lv_supply(uint8_t index) { return read(tkcmdset_get_lv_supply, index); }
    /* Fires software trigger index. */
    void trigger(uint8_t index) { call(tkcmdset_trigger, index); }
    void set_pulse_out(uint8_t index, uint8_t setting) {
        call(tkcmdset_set_pulse_out, index, setting);
    }
    uint8_t get_pulse_out(uint8_t index) { return read(tkcmdset_get_pulse_out, index); }
    void set_ip(const ip_settings &words) {
        call(tkcmdset_set_ip, words.ip_1, words.ip_2, words.ip_3);
    }
    ip_settings get_ip() {
        ip_settings words;
        call(tkcmdset_get_ip, &words.ip_1, &words.ip_2, &words.ip_3);
        return words;
    }
    void set_mac(const mac_address &mac) { call(tkcmdset_set_mac, mac.data()); }
    mac_address get_mac() {
        mac_address mac{};
        call(tkcmdset_get_mac, mac.data());
        return mac;
    }

    /* ---- Lighthead record ----------------------------------------------------------------- */

    /* Writes the record (tkcmdset_set_lighthead_data), stamped with the local time. A part
     * number over 16 bytes throws std::length_error before anything is sent. */
    void set_lighthead_data(const lighthead_record &record) {
        LightheadData data{};
        if (record.part_number.size() > sizeof data.part_number)
            throw std::length_error("vortlink: a lighthead part number has at most 16 bytes");
        std::memcpy(data.part_number, record.part_number.data(), record.part_number.size());
        for (std::size_t group = 0; group < record.led.size(); ++group)
            data.led[group] = record.led[group];
        call(tkcmdset_set_lighthead_data, &data);
    }

    /* Reads the record; TKCMDSET_BAD_LIGHTHEAD_DATA when the EEPROM holds none. */
    lighthead_record get_lighthead_data() {
        LightheadData data{};
        call(tkcmdset_get_lighthead_data, &data);
        lighthead_record record;
        record.part_number = fixed_text(data.part_number, sizeof data.part_number);
        record.programmed_on = fixed_text(data.programmed_on, sizeof data.programmed_on);
        for (std::size_t group = 0; group < record.led.size(); ++group)
            record.led[group] = data.led[group];
        return record;
    }

    /* ---- Thermal limit queries ------------------------------------------------------------ */

    /*
     * The controller answers the LED temperature (degC), the maximum current (A) and the supply
     * voltage (V) as the bits of an IEEE-754 single, returned here as float; the maximum width
     * (in the unit of pulse::width) and frequency (Hz) as integers.
     */
    float calc_led_temp(uint8_t channel, uint32_t width, float current) {
        return float_bits(read(tkcmdset_calc_led_temp, channel, width, current));
    }
    uint32_t calc_max_width(uint8_t channel, float current) {
        return read(tkcmdset_calc_max_width, channel, current);
    }
    float calc_max_current(uint8_t channel, uint32_t width) {
        return float_bits(read(tkcmdset_calc_max_current, channel, width));
    }
    uint16_t calc_max_freq(uint8_t channel, uint32_t width, float current) {
        return read(tkcmdset_calc_max_freq, channel, width, current);
    }
    float calc_supply_voltage(uint8_t channel, uint32_t width, float current) {
        return float_bits(read(tkcmdset_calc_supply_voltage, channel, width, current));
    }

  private:
    enum class opening { tcp, usb };

    controller(uint8_t slot, opening how, std::string address)
        : slot_(slot), how_(how), address_(std::move(address)) {
        if (address_.size() > max_device_text)
            throw std::length_error("vortlink: a host or serial number has at most 125 bytes");
        // The library would take the text only up to a zero byte: another host or device.
        if (address_.find('\0') != std::string::npos)
            throw std::invalid_argument("vortlink: a host or serial number holds a zero byte");
        held_ = take_slot(slot_);
    }

    static constexpr std::size_t max_device_text = 125;

    // Slots of this process held by a controller; a slot the library refuses (50 and above) is
    // not counted here and fails in the library's own call.
    struct slot_table {
        std::mutex mutex;
        bool held[TKCMDSET_SLOT_COUNT] = {};
    };
    static slot_table &slots() {
        static slot_table table;
        return table;
    }
    static bool take_slot(uint8_t slot) {
        if (slot >= TKCMDSET_SLOT_COUNT)
            return true;
        std::lock_guard<std::mutex> lock(slots().mutex);
        if (slots().held[slot])
            throw std::logic_error("vortlink: slot " + std::to_string(slot) +
                                   " is held by another controller");
        return slots().held[slot] = true;
    }
    static void release_slot(uint8_t slot) noexcept {
        if (slot >= TKCMDSET_SLOT_COUNT)
            return;
        std::lock_guard<std::mutex> lock(slots().mutex);
        slots().held[slot] = false;
    }

    void use() const {
        if (!held_)
            throw std::logic_error("vortlink: the controller is closed");
    }

    template <typename... Parameters, typename... Arguments>
    void call(int16_t (*export_function)(uint8_t, Parameters...), Arguments... arguments) {
        use();
        detail::check(export_function(slot_, arguments...));
    }

    // What the last parameter of an export points to: the one result of a command.
    template <typename Function> struct result_of;
    template <typename... Parameters> struct result_of<int16_t (*)(uint8_t, Parameters...)> {
        using type = std::remove_pointer_t<
            std::tuple_element_t<sizeof...(Parameters) - 1, std::tuple<Parameters...>>>;
    };

    template <typename Function, typename... Arguments>
    typename result_of<Function>::type read(Function export_function, Arguments... arguments) {
        typename result_of<Function>::type result{};
        call(export_function, arguments..., &result);
        return result;
    }

    std::string identity(int16_t (*export_function)(uint8_t, char *)) {
        char text[TKCMDSET_IDENTITY_TEXT_SIZE] = {};
        call(export_function, text);
        return fixed_text(text, sizeof text);
    }

    static std::string fixed_text(const char *field, std::size_t size) {
        std::size_t length = 0;
        while (length < size && field[length] != '\0')
            ++length;
        return std::string(field, length);
    }

    static uint16_t block_length(std::size_t length) {
        if (length > 0xFFFF)
            throw std::length_error("vortlink: a block transfer has at most 65535 bytes");
        return static_cast<uint16_t>(length);
    }

    static float float_bits(uint32_t bits) noexcept {
        float value = 0;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    uint8_t slot_ = 0;
    opening how_ = opening::tcp;
    std::string address_; // host, or serial number (empty: by position)
    bool held_ = false;
};

} // namespace vortlink

#endif /* VORTLINK_HPP */
