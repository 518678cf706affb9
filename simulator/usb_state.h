#pragma once
// A controller as the simulated USB bus sees it: what it tells the host about itself, whether it
// is plugged in, the device connections open on it, and what arrived over USB. Shared by the HID
// socket's sessions and the control port.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "faults.h"

namespace vortlink::sim {

// Tells the watchers of the simulated bus that a controller left or joined it. One bus per
// process: every usb_state reports to it.
class bus_watchers {
  public:
    static bus_watchers &instance();

    // An event descriptor that becomes readable at every change; the watcher reads it to reset it.
    // -1 when none can be made.
    int subscribe();
    void unsubscribe(int event_fd);
    void notify();

  private:
    std::mutex mutex_;
    std::set<int> event_fds_;
};

struct usb_identity {
    // At most max_string_length bytes each, as a USB string descriptor holds.
    static constexpr std::size_t max_string_length = 126;

    std::string product = "Kv Quorrel Controller";
    std::string serial;
    bool serial_readable = true;
    // Whether the report descriptor has the feature report (usage 170).
    bool feature_usage = true;
    std::string hw_version = "6400-000850 Rev B";
};

class usb_state {
  public:
    static constexpr std::size_t feature_log_capacity = 1024;

    explicit usb_state(usb_identity identity) : identity_(std::move(identity)) {}

    usb_identity identity() const;
    void set_product(std::string text);
    // Readable again, with this text (empty allowed).
    void set_serial(std::string text);
    void make_serial_unreadable();
    void set_feature_usage(bool present);
    // A device that answers the host's requests for its identity (open, report description,
    // strings) `milliseconds` late, every time; 0 answers at once.
    void set_stall(uint32_t milliseconds);
    uint32_t stall() const;

    // Plugged in, or back from an unplug whose time has passed.
    bool present() const;
    // When a timed unplug ends, if the controller is away for a time now: watchers of the bus
    // learn of its return at that moment, since nothing else happens then.
    std::optional<std::chrono::steady_clock::time_point> returns_at() const;
    // Leaves the bus for `milliseconds` (0: until plug()); every open device connection is shut
    // down at once, so its peer sees the connection end.
    void unplug(uint32_t milliseconds);
    void plug();
    // A session becomes the device's while it is present; false (nothing changed) otherwise.
    // The session detaches before its socket closes.
    bool attach(int socket);
    void detach(int socket);

    // Replies held back by a delay fault, counted so that a test can wait for them to go out.
    void hold();
    void release();
    // True once nothing is held, false when the limit passes or the process is stopping first.
    bool wait_none_held(std::chrono::milliseconds limit);
    // Ends every wait_none_held at once, and every later one.
    void stop_waiting();

    void record_feature(std::span<const uint8_t> report);
    std::vector<std::vector<uint8_t>> features() const;

    // Output reports as written, whole.
    frame_log frames;

  private:
    using steady = std::chrono::steady_clock;

    bool present_locked() const;
    void leave_bus(uint32_t milliseconds);

    mutable std::mutex mutex_;
    std::condition_variable held_changed_;
    usb_identity identity_;
    bool unplugged_ = false;
    uint32_t stall_ms_ = 0;
    std::optional<steady::time_point> back_at_; // unplugged without it: until plug()
    std::multiset<int> sockets_;
    std::size_t held_ = 0;
    bool stopping_ = false;
    std::deque<std::vector<uint8_t>> features_;
};

} // namespace vortlink::sim
