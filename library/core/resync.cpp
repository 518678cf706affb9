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
bool &out_of_step_flag(transport_kind transport, uint8_t slot) {
    slot_record &record = slot_of(slot);
    return transport == transport_kind::tcp ? record.tcp_out_of_step : record.usb_out_of_step;
}

// The echo pattern: as long as a TCP echo frame's data, and never longer than a report holds.
constexpr uint16_t pattern_size = 50;

// Milliseconds left of the resync's budget, 0 once it is spent.
uint16_t time_left(uint32_t start) {
    const uint32_t elapsed = platform::monotonic_ms() - start;
    return elapsed >= protocol::timeout_normal_ms
               ? 0
               : static_cast<uint16_t>(protocol::timeout_normal_ms - elapsed);
}

// Reads and discards until the echo of request's pattern has come back, or the resync's time is
// up (-10803).
status_t await_tcp_echo(uint8_t slot, const uint8_t *request, uint16_t checksummed,
                        uint32_t start) {
    const uint16_t data_length = static_cast<uint16_t>(checksummed - 2);
    status_t result = status::ok;

    // The echo's reply: any header byte, the opcode, the pattern, the CRC-8 of all before it.
    // Whatever comes ahead of it belongs to earlier exchanges and is thrown away; the tail of
    // each read is kept, as the reply may straddle two reads.
    const std::size_t frame_length = checksummed + 1u;
    uint8_t stream[512 + protocol::frame_buffer_size];
    std::size_t held = 0;
    for (;;) {
        const uint16_t left = time_left(start);
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
    return slot < slot_count && out_of_step_flag(transport, slot);
}

void mark_slot_out_of_step(transport_kind transport, uint8_t slot, bool out_of_step) {
    if (slot < slot_count)
        out_of_step_flag(transport, slot) = out_of_step;
}

status_t tcp_resync(uint8_t slot) {
    status_t result = tcp_drain(slot);
    if (result != status::ok)
        return result;
    uint16_t data_length = 0;
    if ((result = protocol::lookup_command(protocol::opcode::echo, true, data_length)) !=
        status::ok)
        return result;
    static_assert(pattern_size + 3 <= protocol::frame_buffer_size);
    data_length = std::min(data_length, pattern_size);

    uint8_t request[protocol::frame_buffer_size] = {};
    request[0] = slot_of(slot).reports[usage_index_long_request].report_id;
    request[1] = protocol::opcode::echo;
    platform::random_bytes(request + 2, data_length);
    const auto checksummed = static_cast<uint16_t>(data_length + 2);
    request[checksummed] = protocol::crc8(request, checksummed);
    const uint32_t start = platform::monotonic_ms();
    const char *trace = trace_destination();
    result = tcp_send(slot, request, static_cast<uint16_t>(checksummed + 1));
    trace_frame(trace, slot, "tcp", trace_direction::request, protocol::opcode::echo, request,
                checksummed + 1u, result);
    if (result != status::ok)
        return result;
    result = await_tcp_echo(slot, request, checksummed, start);
    trace_frame(trace, slot, "tcp", trace_direction::reply, protocol::opcode::echo, nullptr, 0,
                result);
    return result;
}

status_t usb_resync(uint8_t slot) {
    status_t result = usb_slot_valid(slot);
    if (result != status::ok)
        return result;
    if ((result = usb_flush(slot)) != status::ok)
        return result;
    const slot_record &record = slot_of(slot);
    // Over USB the whole long report is echoed; the pattern fills what both reports carry.
    const std::size_t carried =
        std::min<std::size_t>(record.output_report_length, record.input_report_length);
    if (carried < 3)
        return status::bad_reports;
    const std::size_t compared = std::min<std::size_t>(carried - 2, pattern_size);

    uint8_t request[max_report_length] = {};
    request[0] = slot_of(slot).reports[usage_index_long_request].report_id;
    request[1] = protocol::opcode::echo;
    platform::random_bytes(request + 2, record.output_report_length - 2u);
    const uint32_t start = platform::monotonic_ms();
    const char *trace = trace_destination();
    result = usb_write_report(slot, request, protocol::timeout_normal_ms);
    trace_frame(trace, slot, "usb", trace_direction::request, protocol::opcode::echo, request,
                record.output_report_length, result);
    if (result != status::ok)
        return result;

    uint8_t reply[max_report_length] = {};
    for (;;) {
        const uint16_t left = time_left(start);
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
