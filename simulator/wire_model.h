#pragma once
// The timing model: how long a report takes on a full-speed USB interrupt endpoint, a frame on
// Ethernet, and the controller on its flash. Off unless asked for, so that without it every
// reply leaves as soon as it is made.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "socket_io.h"

namespace vortlink::sim {

struct wire_settings {
    // Full-speed interrupt endpoints: one packet of up to 64 bytes per 1 ms interval.
    bool usb_full_speed = false;
    // A fixed latency on every TCP frame, request and reply alike.
    bool ethernet = false;
    uint32_t ethernet_latency_us = 200;
    // Storing one 128-byte chunk (special function 2066), beginning one 64 KiB block (2065).
    uint32_t flash_write_us = 0;
    uint32_t erase_ms = 0;

    bool any() const;
};

// --wire, --wire-latency-us, --flash-write-us, --erase-ms.
bool is_wire_option(std::string_view name);
// False with `error` set when the value is wrong.
bool parse_wire_option(std::string_view name, std::string_view value, wire_settings &settings,
                       std::string &error);

// One line naming the model in use, for the start-up message.
std::string describe_wire(const wire_settings &settings);

// What the model charged one controller since start-up, in microseconds.
struct wire_totals {
    uint64_t exchanges = 0;
    uint64_t wire_us = 0;
    uint64_t flash_us = 0;
};

// One controller's endpoints and flash. A real bus gives every device endpoints of its own, so
// each controller keeps its own schedule and no controller waits for another.
class wire_clock {
  public:
    using steady = std::chrono::steady_clock;

    explicit wire_clock(const wire_settings &settings) : settings_(settings) {}

    // Blocks until an output report of `length` bytes (report ID included) crossed the OUT
    // endpoint, behind any report still on it; false when the stop came first.
    bool carry_output(std::size_t length, const stop_signal &stop);
    // When the reply report to `request` may reach the host: after the controller's flash time,
    // once the IN endpoint carried it behind any earlier reply.
    steady::time_point usb_reply_due(std::span<const uint8_t> request,
                                     std::span<const uint8_t> reply);

    // When a TCP request frame that arrived at `arrived` reaches the controller.
    steady::time_point tcp_request_due(steady::time_point arrived) const;
    // When the reply to the TCP request `frame` (header and opcode first), which the
    // controller took at `taken`, reaches the client.
    steady::time_point tcp_reply_due(steady::time_point taken, std::span<const uint8_t> frame,
                                     std::span<const uint8_t> reply);

    wire_totals totals() const;

  private:
    // The flash time of a request (opcode, then its data) the controller did not refuse.
    steady::duration flash_time(uint8_t opcode, std::span<const uint8_t> data,
                                std::span<const uint8_t> reply) const;
    void charge(steady::duration wire, steady::duration flash, bool reply);

    const wire_settings settings_;
    std::mutex endpoints_mutex_;
    steady::time_point out_free_{};
    steady::time_point in_free_{};
    steady::time_point out_done_{}; // when the last output report was across
    std::atomic<uint64_t> exchanges_{0};
    std::atomic<uint64_t> wire_us_{0};
    std::atomic<uint64_t> flash_us_{0};
};

// Lets the calling thread, and every thread it starts from now on, wake from timed waits
// within a microsecond.
void sharpen_timers();

// Waits for `moment` to the microsecond; false when the stop came first.
bool wait_until_unless_stopped(const stop_signal &stop, std::chrono::steady_clock::time_point moment);

} // namespace vortlink::sim
