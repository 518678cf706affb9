#include "core/resync.h"

#include <algorithm>

#include "core/protocol.h"
#include "core/trace.h"

namespace vortlink {

namespace {
bool &out_of_step_flag(transport_kind transport, uint8_t slot) {
    slot_record &record = slot_of(slot);
    return transport == transport_kind::tcp ? record.tcp_out_of_step : record.usb_out_of_step;
}

} // namespace

bool slot_out_of_step(transport_kind transport, uint8_t slot) {
    return slot < slot_count && out_of_step_flag(transport, slot);
}

void mark_slot_out_of_step(transport_kind transport, uint8_t slot, bool out_of_step) {
    if (slot < slot_count)
        out_of_step_flag(transport, slot) = out_of_step;
}

status_t resync(const transport_operations &road, uint8_t slot,
                const stale_input_budget &exchange_budget) {
    // The resync's share of the exchange's budget: the normal reply time-out at most.
    const stale_input_budget budget = {
        exchange_budget.start_ms,
        std::min<uint32_t>(exchange_budget.limit_ms, protocol::timeout_normal_ms)};
    status_t result = road.clear_stale_input(slot, budget);
    if (result != status::ok)
        return result;
    uint8_t request[protocol::frame_buffer_size] = {};
    uint16_t length = 0;
    uint16_t compared = 0;
    if ((result = road.frame_echo(slot, request, length, compared)) != status::ok)
        return result;
    const char *trace = trace_destination();
    result = road.send(slot, request, length, time_left(budget));
    trace_frame(trace, slot, road.name, trace_direction::request, protocol::opcode::echo, request,
                length, result);
    if (result != status::ok)
        return result;
    result = road.await_echo(slot, request, compared, budget);
    trace_frame(trace, slot, road.name, trace_direction::reply, protocol::opcode::echo, nullptr, 0,
                result);
    return result;
}

} // namespace vortlink
