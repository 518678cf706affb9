#include "core/resync.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/platform/clock.h"
#include "core/platform/random.h"
#include "core/protocol.h"
#include "core/tcp_transport.h"
#include "core/trace.h"
#include "core/usb_transport.h"

namespace vortlink {

namespace {
constinit std::array<bool, slot_count> tcp_out_of_step{};
constinit std::array<bool, slot_count> usb_out_of_step{};

std::array<bool, slot_count> &flags_of(transport_kind transport) {
    return transport == transport_kind::tcp ? tcp_out_of_step : usb_out_of_step;
}

// The echo pattern: as long as a TCP echo frame's data, and never longer than a report holds.
constexpr uint16_t pattern_size = 50;

// The resync's share of the exchange's budget: the normal reply time-out at most.
stale_input_budget resync_budget(const stale_input_budget &exchange) {
    return {exchange.start_ms, std::min<uint32_t>(exchange.limit_ms, protocol::timeout_normal_ms)};
}

// Milliseconds left of the resync's budget, 0 once it is spent.
uint16_t time_left(const stale_input_budget &budget) {
    return static_cast<uint16_t>(budget.left_ms());
}

// Reads and discards until the echo of request's pattern has come back, or the resync's time is
// up (-10803).
status_t await_tcp_echo(uint8_t slot, const uint8_t *request, uint16_t checksummed,
                        const stale_input_budget &budget) {
    const uint16_t data_length = static_cast<uint16_t>(checksummed - 2);
    status_t result = status::ok;

    // The echo's reply: any header byte, the opcode, the pattern, the CRC-8 of all before it.
    // Whatever comes ahead of it belongs to earlier exchanges and is thrown away; the tail of
    // each read is kept, as the reply may straddle two reads.
    const std::size_t frame_length = checksummed + 1u;
    uint8_t stream[512 + protocol::frame_buffer_size];
    std::size_t held = 0;
    for (;;) {
        const uint16_t left = time_left(budget);
        if (left == 0)
            return status::reply_timeout;
        uint16_t received = 0;
        if ((result =
                 tcp_receive_some(slot, stream + held, static_cast<uint16_t>(sizeof stream - held),
                                  left, received)) != status::ok)
            return result;
        held += received;
        for (std::size_t at = 0; at + frame_length <= held; ++at) {
            const uint8_t *candidate = stream + at;
            if (candidate[1] == protocol::opcode::echo &&
                std::memcmp(candidate + 2, request + 2, data_length) == 0 &&
                protocol::crc8(candidate, checksummed) == candidate[checksummed])
                return status::ok;
        }
        if (held >= frame_length) {
            const std::size_t keep = frame_length - 1;
            std::memmove(stream, stream + held - keep, keep);
            held = keep;
        }
    }
}
} // namespace

bool slot_out_of_step(transport_kind transport, uint8_t slot) {
    return slot < slot_count && flags_of(transport)[slot];
}

void mark_slot_out_of_step(transport_kind transport, uint8_t slot, bool out_of_step) {
    if (slot < slot_count)
        flags_of(transport)[slot] = out_of_step;
}

status_t tcp_resync(uint8_t slot, const stale_input_budget &exchange) {
    const stale_input_budget budget = resync_budget(exchange);
    status_t result = tcp_drain(slot, budget);
    if (result != status::ok)
        return result;
    uint16_t data_length = 0;
    if ((result = protocol::lookup_command(protocol::opcode::echo, true, data_length)) !=
        status::ok)
        return result;
    static_assert(pattern_size + 3 <= protocol::frame_buffer_size);
    data_length = std::min(data_length, pattern_size);

    uint8_t request[protocol::frame_buffer_size] = {};
    request[0] = state().reports[slot][usage_index_long_request].report_id;
    request[1] = protocol::opcode::echo;
    platform::random_bytes(request + 2, data_length);
    const auto checksummed = static_cast<uint16_t>(data_length + 2);
    request[checksummed] = protocol::crc8(request, checksummed);
    const char *trace = trace_destination();
    result = tcp_send(slot, request, static_cast<uint16_t>(checksummed + 1));
    trace_frame(trace, slot, "tcp", trace_direction::request, protocol::opcode::echo, request,
                checksummed + 1u, result);
    if (result != status::ok)
        return result;
    result = await_tcp_echo(slot, request, checksummed, budget);
    trace_frame(trace, slot, "tcp", trace_direction::reply, protocol::opcode::echo, nullptr, 0,
                result);
    return result;
}

status_t usb_resync(uint8_t slot, const stale_input_budget &exchange) {
    const stale_input_budget budget = resync_budget(exchange);
    status_t result = usb_slot_valid(slot);
    if (result != status::ok)
        return result;
    if ((result = usb_flush(slot, budget)) != status::ok)
        return result;
    const hid_slot &record = state().hid[slot];
    // Over USB the whole long report is echoed; the pattern fills what both reports carry.
    const std::size_t carried =
        std::min<std::size_t>(record.output_report_length, record.input_report_length);
    if (carried < 3)
        return status::bad_reports;
    const std::size_t compared = std::min<std::size_t>(carried - 2, pattern_size);

    uint8_t request[max_report_length] = {};
    request[0] = state().reports[slot][usage_index_long_request].report_id;
    request[1] = protocol::opcode::echo;
    platform::random_bytes(request + 2, record.output_report_length - 2u);
    const char *trace = trace_destination();
    result = usb_write_report(slot, request, time_left(budget));
    trace_frame(trace, slot, "usb", trace_direction::request, protocol::opcode::echo, request,
                record.output_report_length, result);
    if (result != status::ok)
        return result;

    uint8_t reply[max_report_length] = {};
    for (;;) {
        const uint16_t left = time_left(budget);
        result = left == 0 ? status::read_timeout : usb_read_report(slot, reply, left);
        const bool echoed = result == status::ok && reply[1] == protocol::opcode::echo &&
                            std::memcmp(reply + 2, request + 2, compared) == 0;
        if (result != status::ok || echoed) {
            trace_frame(trace, slot, "usb", trace_direction::reply, protocol::opcode::echo, nullptr,
                        0, result);
            return result;
        }
    }
}

status_t error_reply_status(uint8_t opcode, uint16_t code) {
    uint16_t reply_length = 0;
    if (code == 0 && protocol::lookup_command(opcode, false, reply_length) == status::ok &&
        reply_length != 0)
        return status::wrong_opcode;
    return static_cast<status_t>(code);
}

} // namespace vortlink
