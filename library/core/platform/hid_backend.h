#pragma once
// The operations the USB road needs from the system's HID layer. Two backends implement them:
// hidraw for real controllers, and the simulator's socket (VORTLINK_HID_SIM). Everything above
// (device search, usage query, exchange) is written once against this interface.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vortlink::platform {

// Report lengths in bytes, the report ID byte included (0 when the device has no such report).
struct hid_report_lengths {
    uint16_t input = 0;
    uint16_t output = 0;
    uint16_t feature = 0;
};

// The report that carries a value usage.
struct hid_value_report {
    uint8_t report_id = 0;
    uint16_t report_count = 0;
};

enum class hid_io_result { done, not_started, timed_out };

class hid_device {
  public:
    virtual ~hid_device() = default;

    // From the device's report description; false when it cannot be read or parsed.
    virtual bool report_lengths(hid_report_lengths &lengths) = 0;
    // First value item carrying the usage (any usage page, any collection), searched among the
    // input, then the output, then the feature reports. False when no report type has it.
    virtual bool find_value_usage(uint16_t usage, hid_value_report &report) = 0;

    // UTF-16 strings; false when the device does not deliver them.
    virtual bool product_string(std::u16string &text) = 0;
    virtual bool serial_number_string(std::u16string &text) = 0;
    // String descriptor with the index, cut to max_units - 1 UTF-16 units (room for the
    // caller's terminator). Index 0 is the language list, not a string: false.
    virtual bool indexed_string(uint16_t index, std::u16string &text, std::size_t max_units) = 0;

    // Discards every input report queued for the device; false on failure.
    virtual bool flush_input() = 0;
    // The same, telling how many reports it discarded (0 from a backend that cannot count).
    virtual bool discard_input(std::size_t &discarded) {
        discarded = 0;
        return flush_input();
    }
    // One output report of exactly length bytes (byte 0 the report ID, 0 on a device without
    // report IDs). On timed_out the report may still go out later: a write the kernel has begun
    // cannot be withdrawn.
    virtual hid_io_result write_report(const uint8_t *report, std::size_t length,
                                       uint32_t timeout_ms) = 0;
    // One input report into buffer; at most length bytes are stored. Byte 0 is always the report
    // ID, 0 on a device without report IDs. not_started when the device has gone.
    virtual hid_io_result read_report(uint8_t *buffer, std::size_t length,
                                      uint32_t timeout_ms) = 0;
    // One feature report of exactly length bytes (byte 0 the report ID); false when refused.
    virtual bool send_feature(const uint8_t *report, std::size_t length) = 0;
};

class hid_backend {
  public:
    virtual ~hid_backend() = default;
    // Paths of the present HID devices, in a stable order.
    virtual std::vector<std::string> list_devices() = 0;
    // Null when the device cannot be opened.
    virtual std::unique_ptr<hid_device> open_device(const std::string &path) = 0;
};

// Bounds the requests that the calling thread makes through a backend while it lives (one at a
// time per thread): each gets what is left of the budget when that is less than its own limit.
// A device that answers every request slowly thus cannot hold a search past the budget.
class hid_request_budget {
  public:
    explicit hid_request_budget(uint32_t budget_ms);
    ~hid_request_budget();
    hid_request_budget(const hid_request_budget &) = delete;
    hid_request_budget &operator=(const hid_request_budget &) = delete;

    // The limit a request with its own limit_ms may use now; limit_ms without a budget.
    static uint32_t clip(uint32_t limit_ms);
    bool spent() const;
};

// hidraw devices under the given sysfs and /dev roots ("/sys", "/dev" on a real system).
std::unique_ptr<hid_backend> make_hidraw_backend(const std::string &sysfs_root,
                                                 const std::string &dev_root);
// The system's own HID devices: hidraw on Linux, the HID class services through SetupAPI on
// Windows.
std::unique_ptr<hid_backend> make_native_hid_backend();
// The simulated controllers of a running quorrel-sim, reached through its unix socket (a path)
// or its TCP port ("tcp:HOST:PORT").
std::unique_ptr<hid_backend> make_simulated_hid_backend(const std::string &endpoint);

// The backend the library uses: the simulator's when VORTLINK_HID_SIM names its bus, the
// system's own otherwise. Chosen at each call, so a program may set the variable after loading.
hid_backend &system_hid_backend();

} // namespace vortlink::platform
