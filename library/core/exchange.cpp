#include "core/exchange.h"

#include "core/platform/clock.h"
#include "core/protocol.h"
#include "core/resync.h"
#include "core/settings.h"
#include "core/slot_lock.h"
#include "core/state.h"
#include "core/tcp_transport.h"
#include "core/trace.h"

namespace vortlink {

namespace {
struct message_pump {
    int (*pump)(void *context) = nullptr;
    void *context = nullptr;
};
struct progress_handler {
    void (*handler)(void *context, uint32_t kind, uint32_t address) = nullptr;
    void *context = nullptr;
};
thread_local message_pump thread_pump;
thread_local progress_handler thread_progress;

// While an application pump is installed it gets a turn at least this often during a wait.
constexpr uint32_t pump_interval_ms = 10;

// What went over the wire, for the trace: the request is logged as it leaves, the reply once the
// exchange has its outcome.
struct wire_record {
    const char *trace = nullptr;
    bool request_sent = false;
    bool reply_awaited = false;
    uint16_t reply_bytes = 0;
    bool reply_complete = false; // a whole, well-formed reply to this request came back
};

status_t exchange_under_lock(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms,
                             wire_record &wire) {
    const uint8_t opcode = request[1];
    const stale_input_budget budget = stale_input_budget::from_now(timeout_ms);
    status_t result = tcp_slot_valid(slot);
    if (result != status::ok)
        return result;
    if (slot_out_of_step(transport_kind::tcp, slot)) {
        if ((result = tcp_resync(slot, budget)) != status::ok)
            return result;
        mark_slot_out_of_step(transport_kind::tcp, slot, false);
    }
    if ((result = tcp_drain(slot, budget)) != status::ok) {
        // Bytes that kept coming may hold a late reply of an earlier exchange.
        mark_slot_out_of_step(transport_kind::tcp, slot, true);
        return result;
    }

    uint16_t request_length = 0;
    if ((result = protocol::lookup_command(opcode, true, request_length)) != status::ok)
        return result;
    const auto checksummed = static_cast<uint16_t>(request_length + 2);
    request[checksummed] = protocol::crc8(request, checksummed);
    const auto frame_length = static_cast<uint16_t>(checksummed + 1);
    result = tcp_send(slot, request, frame_length);
    trace_frame(wire.trace, slot, "tcp", trace_direction::request, opcode, request, frame_length,
                result);
    wire.request_sent = true;
    if (result != status::ok)
        return result;
    wire.reply_awaited = true;

    if ((result = pump_messages(0)) != status::ok)
        return result;

    // Each part of the reply has the whole time-out to itself. The parts are only looked at
    // where they wait on the socket; the frame is taken off once it is all there, usually in
    // the same turn as its first two bytes.
    constexpr auto reply_room = static_cast<uint16_t>(protocol::frame_buffer_size);
    uint16_t queued = 0;
    if ((result = tcp_await_frame(slot, reply, reply_room, 2, timeout_ms,
                                  queued)) != status::ok)
        return result;
    wire.reply_bytes = 2;

    auto reply_frame_length = static_cast<uint16_t>(protocol::tcp_error_reply_size);
    const bool error_reply = reply[1] == protocol::error_reply_marker;
    if (!error_reply) {
        uint16_t reply_length = 0;
        if ((result = protocol::lookup_command(reply[1], false, reply_length)) != status::ok)
            return result;
        reply_frame_length = static_cast<uint16_t>(reply_length + 3);
    }
    if (queued < reply_frame_length &&
        (result = tcp_await_frame(slot, reply, reply_room, reply_frame_length,
                                  timeout_ms, queued)) != status::ok)
        return result;
    if ((result = tcp_take_frame(slot, reply, reply_frame_length)) != status::ok)
        return result;
    wire.reply_bytes = reply_frame_length;

    const auto reply_checksummed = static_cast<uint16_t>(reply_frame_length - 1);
    if (protocol::crc8(reply, reply_checksummed) != reply[reply_checksummed])
        return status::checksum_mismatch;
    if (error_reply) {
        wire.reply_complete = true;
        return error_reply_status(opcode, static_cast<uint16_t>(reply[5] * 256 + reply[4]));
    }
    if (reply[1] != opcode)
        return status::wrong_opcode;
    wire.reply_complete = true;
    return status::ok;
}
} // namespace

uint32_t pump_slice_ms() { return thread_pump.pump != nullptr ? pump_interval_ms : 0; }

status_t pump_once() {
    if (thread_pump.pump != nullptr && thread_pump.pump(thread_pump.context) != 0)
        return status::quit_requested;
    return status::ok;
}

status_t pump_messages(uint32_t wait_ms) {
    // A zero wait lets the window repaint once; it does not wait for the clock to tick.
    if (wait_ms == 0)
        return pump_once();
    const uint32_t start = platform::monotonic_ms();
    for (;;) {
        if (status_t result = pump_once(); result != status::ok)
            return result;
        const uint32_t elapsed = platform::monotonic_ms() - start;
        if (elapsed > wait_ms)
            return status::ok;
        // Sleep until the clock has moved past the wait, giving an installed pump its turns.
        uint32_t pause = wait_ms - elapsed + 1;
        if (const uint32_t slice = pump_slice_ms(); slice != 0 && pause > slice)
            pause = slice;
        platform::sleep_ms(pause);
    }
}

void report_progress(uint32_t kind, uint32_t address) {
    if (thread_progress.handler != nullptr)
        thread_progress.handler(thread_progress.context, kind, address);
}

status_t tcp_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms) {
    status_t result = status::ok;
    {
        slot_lock lock(slot < slot_count ? state().tcp_locks[slot] : nullptr);
        result = lock.acquire();
        wire_record wire{trace_destination()};
        if (result == status::ok) {
            result = exchange_under_lock(slot, request, reply, timeout_ms, wire);
            // A request that went out without its reply leaves the reply on its way.
            if (wire.request_sent)
                mark_slot_out_of_step(transport_kind::tcp, slot, !wire.reply_complete);
        }
        if (wire.trace != nullptr) {
            // An exchange that stopped before its request left still gets its line.
            if (!wire.request_sent)
                trace_frame(wire.trace, slot, "tcp", trace_direction::request, request[1],
                            nullptr, 0, result);
            else if (wire.reply_awaited)
                trace_frame(wire.trace, slot, "tcp", trace_direction::reply,
                            wire.reply_bytes != 0 ? reply[1] : request[1], reply,
                            wire.reply_bytes, result);
        }
    }
    if (result != status::ok)
        count_failed_command();
    return result;
}

void count_failed_command() {
    // Read, add and write back without a lock: concurrent failures may lose a count.
    uint32_t count = 0;
    if (read_setting_dword("CommandFailCount", 0, count) != status::ok)
        return;
    (void)write_setting_dword("CommandFailCount", count + 1);
}

} // namespace vortlink

extern "C" {

VORTLINK_API int16_t tkcmdset_set_message_pump(int (*pump)(void *context), void *context) {
    vortlink::thread_pump = {pump, context};
    return vortlink::status::ok;
}

VORTLINK_API int16_t tkcmdset_set_progress_handler(
    void (*handler)(void *context, uint32_t kind, uint32_t address), void *context) {
    vortlink::thread_progress = {handler, context};
    return vortlink::status::ok;
}
}
