#include "wire_model.h"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "controller.h"
#include "core/protocol.h"
#include "text_numbers.h"

namespace vortlink::sim {

namespace {

using steady = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr std::size_t full_speed_packet = 64;
constexpr milliseconds full_speed_interval{1};
constexpr uint32_t max_wire_us = 1000000;
constexpr uint32_t max_erase_ms = 600000;

// A report of `length` bytes takes one interval per packet.
steady::duration endpoint_time(std::size_t length) {
    const std::size_t packets = std::max<std::size_t>(1, (length + full_speed_packet - 1) /
                                                             full_speed_packet);
    return full_speed_interval * static_cast<int>(packets);
}

uint64_t whole_us(steady::duration time) {
    return static_cast<uint64_t>(std::chrono::duration_cast<microseconds>(time).count());
}

} // namespace

bool wire_settings::any() const {
    return usb_full_speed || ethernet || flash_write_us > 0 || erase_ms > 0;
}

bool is_wire_option(std::string_view name) {
    return name == "--wire" || name == "--wire-latency-us" || name == "--flash-write-us" ||
           name == "--erase-ms";
}

bool parse_wire_option(std::string_view name, std::string_view value, wire_settings &settings,
                       std::string &error) {
    if (name == "--wire") {
        // A comma-separated list, so that one run can model both sides.
        bool usb = false, ethernet = false;
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = value.find(',', start);
            const std::string_view word = value.substr(start, comma - start);
            if (word == "usb-fs")
                usb = true;
            else if (word == "ethernet")
                ethernet = true;
            else if (word != "none") {
                error = "--wire takes usb-fs, ethernet or none (comma-separated), not " +
                        std::string(value);
                return false;
            }
            if (comma == std::string_view::npos)
                break;
            start = comma + 1;
        }
        settings.usb_full_speed = usb;
        settings.ethernet = ethernet;
        return true;
    }
    const uint32_t limit = name == "--erase-ms" ? max_erase_ms : max_wire_us;
    const auto number = parse_unsigned(value, limit);
    if (!number) {
        error = std::string(name) + " takes 0 to " + std::to_string(limit) + ", not " +
                std::string(value);
        return false;
    }
    if (name == "--wire-latency-us")
        settings.ethernet_latency_us = *number;
    else if (name == "--flash-write-us")
        settings.flash_write_us = *number;
    else
        settings.erase_ms = *number;
    return true;
}

std::string describe_wire(const wire_settings &settings) {
    if (!settings.any())
        return "timing model: none, every reply leaves at once";
    std::string text = "timing model: USB ";
    text += settings.usb_full_speed
                ? "full speed, ceil(report length / 64) intervals of 1 ms each way per report"
                : "at once";
    text += "; TCP ";
    text += settings.ethernet
                ? std::to_string(settings.ethernet_latency_us) + " us per frame each way"
                : "at once";
    text += "; flash " + std::to_string(settings.flash_write_us) + " us per 128-byte chunk, " +
            std::to_string(settings.erase_ms) + " ms per 64 KiB block begun";
    return text;
}

bool wire_clock::carry_output(std::size_t length, const stop_signal &stop) {
    if (!settings_.usb_full_speed)
        return true;
    const steady::duration time = endpoint_time(length);
    steady::time_point done;
    {
        std::lock_guard lock(endpoints_mutex_);
        done = std::max(steady::now(), out_free_) + time;
        out_free_ = done;
        out_done_ = done;
    }
    charge(time, {}, false);
    return wait_until_unless_stopped(stop, done);
}

steady::time_point wire_clock::usb_reply_due(std::span<const uint8_t> request,
                                             std::span<const uint8_t> reply) {
    const steady::duration flash =
        request.size() < 2 ? steady::duration{} : flash_time(request[1], request.subspan(2), reply);
    if (!settings_.usb_full_speed) {
        charge({}, flash, true);
        return steady::now() + flash;
    }
    const steady::duration time = endpoint_time(reply.size());
    steady::time_point due;
    {
        std::lock_guard lock(endpoints_mutex_);
        // The model's controller answers the moment the request is across: timed from the
        // schedule, not from when this thread woke, so a late wake-up is not paid twice.
        due = std::max(out_done_ + flash, in_free_) + time;
        in_free_ = due;
    }
    charge(time, flash, true);
    return due;
}

steady::time_point wire_clock::tcp_request_due(steady::time_point arrived) const {
    return settings_.ethernet ? arrived + microseconds(settings_.ethernet_latency_us) : arrived;
}

steady::time_point wire_clock::tcp_reply_due(steady::time_point taken,
                                             std::span<const uint8_t> frame,
                                             std::span<const uint8_t> reply) {
    const steady::duration flash =
        frame.size() < 2 ? steady::duration{} : flash_time(frame[1], frame.subspan(2), reply);
    const steady::duration latency =
        settings_.ethernet ? microseconds(settings_.ethernet_latency_us) : microseconds(0);
    // The request's own latency was waited for before the controller took it.
    charge(2 * latency, flash, true);
    return (settings_.ethernet ? taken : steady::now()) + flash + latency;
}

wire_totals wire_clock::totals() const {
    return {exchanges_.load(), wire_us_.load(), flash_us_.load()};
}

steady::duration wire_clock::flash_time(uint8_t opcode, std::span<const uint8_t> data,
                                        std::span<const uint8_t> reply) const {
    const bool refused = reply.size() > 1 && reply[1] == protocol::error_reply_marker;
    if (opcode != protocol::opcode::special || data.size() < 2 || refused)
        return {};
    const uint16_t code = static_cast<uint16_t>(data[0] << 8 | data[1]);
    if (code == controller::special_commit_chunk)
        return microseconds(settings_.flash_write_us);
    if (code == controller::special_begin_block)
        return milliseconds(settings_.erase_ms);
    return {};
}

void wire_clock::charge(steady::duration wire, steady::duration flash, bool reply) {
    // A reply closes the exchange; an output report is only its first half.
    if (reply)
        ++exchanges_;
    wire_us_ += whole_us(wire);
    flash_us_ += whole_us(flash);
}

void sharpen_timers() {
    // The kernel may otherwise let a timed wait run 50 us late: a sixth of a 300 us TCP
    // exchange, and paid on every exchange.
    constexpr unsigned long slack_ns = 1000;
    (void)::prctl(PR_SET_TIMERSLACK, slack_ns, 0, 0, 0);
}

bool wait_until_unless_stopped(const stop_signal &stop, steady::time_point moment) {
    for (;;) {
        const steady::duration left = moment - steady::now();
        if (left <= steady::duration{})
            return true;
        const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec timeout{static_cast<time_t>(nanoseconds / 1000000000),
                               static_cast<long>(nanoseconds % 1000000000)};
        pollfd watched{stop.fd(), POLLIN, 0};
        const int ready = ::ppoll(&watched, 1, &timeout, nullptr);
        if (ready > 0 || (ready < 0 && errno != EINTR))
            return false;
    }
}

} // namespace vortlink::sim
