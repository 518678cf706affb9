#include "tcp_frames.h"

#include <algorithm>

#include "core/protocol.h"

namespace vortlink::sim {

namespace {

constexpr std::size_t frame_overhead = 3; // header, opcode, CRC-8
constexpr std::size_t unknown_row_reply_size = 6;

void append_crc(std::vector<uint8_t> &frame) {
    frame.push_back(protocol::crc8(frame.data(), static_cast<uint16_t>(frame.size())));
}

// Faults that stand in for the controller's answer: the request is not carried out.
bool replaces_answer(const fault &next) {
    return next.kind == fault_kind::error_reply || next.kind == fault_kind::opcode;
}

std::vector<uint8_t> substitute_answer(const fault &next, uint8_t header) {
    if (next.kind == fault_kind::error_reply) {
        std::vector<uint8_t> bytes = error_reply(header, next.error_code);
        if (next.bad_crc)
            bytes.back() ^= 0xFF;
        return bytes;
    }
    uint16_t length = 0;
    if (protocol::lookup_command(next.opcode, false, length) != 0) {
        // The reader stops after the two bytes it cannot place; the rest stays in the socket.
        std::vector<uint8_t> bytes(unknown_row_reply_size, 0);
        bytes[0] = header;
        bytes[1] = next.opcode;
        return bytes;
    }
    const std::vector<uint8_t> zeros(length, 0);
    return normal_reply(header, next.opcode, zeros);
}

void bend_reply(const fault &next, reply_plan &plan) {
    switch (next.kind) {
    case fault_kind::delay:
        plan.delay_ms = next.milliseconds;
        break;
    case fault_kind::split:
        plan.first_part = std::min<std::size_t>(next.count, plan.bytes.size());
        plan.pause_ms = next.milliseconds;
        break;
    case fault_kind::drop:
        plan.bytes.clear();
        break;
    case fault_kind::truncate:
        plan.bytes.resize(std::min<std::size_t>(next.count, plan.bytes.size()));
        break;
    case fault_kind::corrupt_crc:
        if (!plan.bytes.empty())
            plan.bytes.back() ^= 0xFF;
        break;
    case fault_kind::close:
        plan.bytes.clear();
        plan.close_connection = true;
        break;
    case fault_kind::flood:
        plan.flood_ms = next.milliseconds;
        break;
    case fault_kind::error_reply:
    case fault_kind::opcode:
    case fault_kind::report_id: // a TCP reply has no report: taken, and nothing changes
        break;
    }
}

std::vector<uint8_t> controller_answer(device &target, std::span<const uint8_t> frame,
                                       request_scan scan) {
    const uint8_t header = frame[0];
    const uint8_t opcode = frame[1];
    if (scan == request_scan::unknown_opcode)
        return error_reply(header, protocol::device_error::unknown_command);
    const std::size_t crc_position = frame.size() - 1;
    if (protocol::crc8(frame.data(), static_cast<uint16_t>(crc_position)) != frame[crc_position])
        return error_reply(header, protocol::device_error::request_checksum);
    uint16_t reply_length = 0;
    (void)protocol::lookup_command(opcode, false, reply_length);
    std::vector<uint8_t> data(reply_length, 0);
    const int16_t error = target.model.handle(opcode, frame.subspan(2, crc_position - 2), data);
    if (error != 0)
        return error_reply(header, error);
    return normal_reply(header, opcode, data);
}

} // namespace

request_scan scan_request(std::span<const uint8_t> pending, std::size_t &frame_length) {
    frame_length = 0;
    if (pending.size() < 2)
        return request_scan::incomplete;
    uint16_t data_length = 0;
    if (protocol::lookup_command(pending[1], true, data_length) != 0)
        return request_scan::unknown_opcode;
    const std::size_t needed = frame_overhead + data_length;
    if (pending.size() < needed)
        return request_scan::incomplete;
    frame_length = needed;
    return request_scan::complete;
}

std::vector<uint8_t> normal_reply(uint8_t header, uint8_t opcode, std::span<const uint8_t> data) {
    std::vector<uint8_t> frame;
    frame.reserve(frame_overhead + data.size());
    frame.push_back(header);
    frame.push_back(opcode);
    frame.insert(frame.end(), data.begin(), data.end());
    append_crc(frame);
    return frame;
}

std::vector<uint8_t> error_reply(uint8_t header, int16_t code) {
    const auto word = static_cast<uint16_t>(code);
    const auto high = static_cast<uint8_t>(word >> 8);
    const auto low = static_cast<uint8_t>(word);
    // Bytes 2-3 repeat the code high byte first; the reader takes bytes 4-5, low byte first.
    std::vector<uint8_t> frame{header, protocol::error_reply_marker, high, low, low, high};
    append_crc(frame);
    return frame;
}

reply_plan answer_request(device &target, std::span<const uint8_t> frame, request_scan scan) {
    target.frames.record(frame);
    const std::optional<fault> next = target.faults.take_next();
    reply_plan plan;
    if (next && replaces_answer(*next)) {
        plan.bytes = substitute_answer(*next, frame[0]);
        return plan;
    }
    plan.bytes = controller_answer(target, frame, scan);
    if (next)
        bend_reply(*next, plan);
    return plan;
}

} // namespace vortlink::sim
