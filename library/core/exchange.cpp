#include "core/exchange.h"

#include "core/protocol.h"
#include "core/resync.h"
#include "core/settings.h"
#include "core/slot_lock.h"
#include "core/trace.h"

namespace vortlink {

namespace {

// How far the exchange got on the wire, for the trace: the request is logged as it leaves, the
// reply once the exchange has its outcome.
struct wire_record {
    bool request_sent = false;
    bool reply_awaited = false;
    uint16_t reply_bytes = 0;
    bool reply_complete = false; // a whole, well-formed reply to this request came back
};

status_t judge_reply(uint8_t opcode, const uint8_t *reply, uint16_t error_code, bool &complete) {
    if (reply[1] == protocol::error_reply_marker) {
        complete = true;
        return error_reply_status(opcode, error_code);
    }
    if (reply[1] != opcode)
        return status::wrong_opcode;
    complete = true;
    return status::ok;
}

status_t exchange_under_lock(const transport_operations &road, uint8_t slot, uint8_t *request,
                             uint8_t *reply, uint16_t timeout_ms, const char *trace,
                             wire_record &wire) {
    const uint8_t opcode = request[1];
    const uint8_t expected_report_id = reply[0];
    const stale_input_budget budget = stale_input_budget::from_now(timeout_ms);
    status_t result = road.slot_valid(slot);
    if (result != status::ok)
        return result;
    if (slot_out_of_step(road.kind, slot)) {
        if ((result = resync(road, slot, budget)) != status::ok)
            return result;
        mark_slot_out_of_step(road.kind, slot, false);
    }
    if ((result = road.clear_stale_input(slot, budget)) != status::ok) {
        // Input that kept coming may hold a late reply of an earlier exchange.
        mark_slot_out_of_step(road.kind, slot, true);
        return result;
    }

    uint16_t frame_length = 0;
    if ((result = road.frame_request(slot, request, frame_length)) != status::ok)
        return result;
    result = road.send(slot, request, frame_length, timeout_ms);
    trace_frame(trace, slot, road.name, trace_direction::request, opcode, request, frame_length,
                result);
    wire.request_sent = true;
    if (result != status::ok)
        return result;
    wire.reply_awaited = true;

    if ((result = pump_messages(0)) != status::ok)
        return result;
    if ((result = road.receive(slot, reply, timeout_ms, wire.reply_bytes)) != status::ok)
        return result;
    uint16_t error_code = 0;
    if ((result = road.check_reply(reply, wire.reply_bytes, expected_report_id, error_code)) !=
        status::ok)
        return result;
    return judge_reply(opcode, reply, error_code, wire.reply_complete);
}

} // namespace

status_t exchange(const transport_operations &road, uint8_t slot, uint8_t *request, uint8_t *reply,
                  uint16_t timeout_ms) {
    const uint8_t opcode = request[1];
    const char *trace = trace_destination();
    status_t result = status::ok;
    {
        slot_lock lock(slot < slot_count ? slot_of(slot).*road.lock : nullptr);
        result = lock.acquire();
        wire_record wire;
        if (result == status::ok) {
            result = exchange_under_lock(road, slot, request, reply, timeout_ms, trace, wire);
            // A request that went out without its reply leaves the reply on its way.
            if (wire.request_sent)
                mark_slot_out_of_step(road.kind, slot, !wire.reply_complete);
        }
        // An exchange that stopped before its request left still gets its line.
        if (!wire.request_sent)
            trace_frame(trace, slot, road.name, trace_direction::request, opcode, nullptr, 0,
                        result);
        else if (wire.reply_awaited)
            trace_frame(trace, slot, road.name, trace_direction::reply,
                        wire.reply_bytes != 0 ? reply[1] : opcode, reply, wire.reply_bytes, result);
    }
    if (result != status::ok && road.counts_failures)
        count_failed_command();
    return result;
}

status_t error_reply_status(uint8_t opcode, uint16_t code) {
    uint16_t reply_length = 0;
    if (code == 0 && protocol::lookup_command(opcode, false, reply_length) == status::ok &&
        reply_length != 0)
        return status::wrong_opcode;
    return static_cast<status_t>(code);
}

void count_failed_command() {
    // Read, add and write back without a lock: concurrent failures may lose a count.
    uint32_t count = 0;
    if (read_setting_dword("CommandFailCount", 0, count) != status::ok)
        return;
    (void)write_setting_dword("CommandFailCount", count + 1);
}

} // namespace vortlink
