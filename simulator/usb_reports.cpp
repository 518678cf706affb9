#include "usb_reports.h"

#include <algorithm>

#include "core/protocol.h"

namespace vortlink::sim {

namespace {

namespace op = protocol::opcode;
namespace device_error = protocol::device_error;

// Block requests carry u32 address and u16 n ahead of their data, from byte 2.
constexpr std::size_t block_count_offset = 2 + 4;
// The largest n of each block command, below the long report's count.
constexpr uint16_t block_write_overhead = 8;
constexpr uint16_t memory_read_overhead = 8;
constexpr uint16_t eeprom_read_overhead = 2;

// Report ID, opcode.
constexpr std::size_t report_data_offset = 2;

void append_count(std::vector<uint8_t> &descriptor, uint16_t count) {
    if (count <= 0xFF) {
        descriptor.insert(descriptor.end(), {0x95, static_cast<uint8_t>(count)});
        return;
    }
    descriptor.insert(descriptor.end(),
                      {0x96, static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8)});
}

void append_report(std::vector<uint8_t> &descriptor, uint8_t main_item, uint8_t report_id,
                   uint16_t count, uint8_t usage) {
    descriptor.insert(descriptor.end(), {0x85, report_id});
    append_count(descriptor, count);
    descriptor.insert(descriptor.end(), {0x09, usage, main_item, 0x02});
}

std::vector<uint8_t> empty_report(const usb_layout &layout, uint8_t report_id) {
    std::vector<uint8_t> report(layout.input_report_length(report_id), 0);
    report[0] = report_id;
    return report;
}

std::vector<uint8_t> error_report(const usb_layout &layout, uint8_t opcode, int16_t code) {
    std::vector<uint8_t> report = empty_report(layout, reply_report_for(opcode));
    const auto word = static_cast<uint16_t>(code);
    report[1] = protocol::error_reply_marker;
    report[2] = static_cast<uint8_t>(word >> 8);
    report[3] = static_cast<uint8_t>(word);
    return report;
}

// A block request's n above what one long report carries; 0 when it fits or the command moves
// no block.
int16_t check_block_count(const usb_layout &layout, uint8_t opcode,
                          std::span<const uint8_t> report) {
    uint16_t overhead = 0;
    switch (opcode) {
    case op::write_mem_block:
    case op::write_eemem_block:
        overhead = block_write_overhead;
        break;
    case op::read_mem_block:
        overhead = memory_read_overhead;
        break;
    case op::read_eemem_block:
        overhead = eeprom_read_overhead;
        break;
    default:
        return 0;
    }
    uint16_t count = 0;
    if (report.size() >= block_count_offset + 2)
        count =
            static_cast<uint16_t>(report[block_count_offset] << 8 | report[block_count_offset + 1]);
    const int limit = layout.long_report_count - overhead;
    return count > limit ? device_error::bad_parameter : 0;
}

std::vector<uint8_t> controller_answer(device &target, const usb_layout &layout,
                                       std::span<const uint8_t> report) {
    const uint8_t opcode = report[1];
    uint16_t request_length = 0;
    uint16_t reply_length = 0;
    if (protocol::lookup_command(opcode, true, request_length) != 0 ||
        protocol::lookup_command(opcode, false, reply_length) != 0)
        return error_report(layout, opcode, device_error::unknown_command);
    if (const int16_t error = check_block_count(layout, opcode, report))
        return error_report(layout, opcode, error);

    const std::span<const uint8_t> sent = report.subspan(report_data_offset);
    std::vector<uint8_t> answer = empty_report(layout, reply_report_for(opcode));
    answer[1] = opcode;
    const std::span<uint8_t> room = std::span(answer).subspan(report_data_offset);
    // What a report shorter than the table's request lacks is zero. A longer one is handed over
    // whole: the rows whose TCP frames are shorter than the library packs (0x86, 0x87, 0x89,
    // 0x8A) get their full layout only this way.
    std::vector<uint8_t> request(std::max<std::size_t>(request_length, sent.size()), 0);
    std::copy(sent.begin(), sent.end(), request.begin());
    // A block read fills as much of the long reply report as its n asks for, which over USB
    // may be more than the table's 112 bytes.
    const bool block_read = opcode == op::read_mem_block || opcode == op::read_eemem_block;
    std::vector<uint8_t> reply(
        block_read ? std::max<std::size_t>(reply_length, room.size()) : reply_length, 0);
    if (const int16_t error = target.model.handle(opcode, request, reply))
        return error_report(layout, opcode, error);
    // Over USB echo sends back the whole report, not only the table's 50 bytes.
    const std::span<const uint8_t> data =
        opcode == op::echo ? sent : std::span<const uint8_t>(reply);
    std::copy_n(data.begin(), std::min(data.size(), room.size()), room.begin());
    return answer;
}

} // namespace

std::size_t usb_layout::longest_report() const {
    return std::max<std::size_t>(normal_report_count, long_report_count) + 1;
}

std::size_t usb_layout::input_report_length(uint8_t report_id) const {
    return (report_id == long_reply_report_id ? long_report_count : normal_report_count) + 1u;
}

std::optional<std::string> usb_indexed_string(const device &target, uint16_t index) {
    constexpr uint16_t product_index = 2;
    constexpr uint16_t serial_index = 3;
    constexpr uint16_t fw_version_index = 4;
    constexpr uint16_t hw_version_index = 5;
    const usb_identity identity = target.usb.identity();
    switch (index) {
    case product_index:
        return identity.product;
    case serial_index:
        return identity.serial_readable ? std::optional<std::string>(identity.serial)
                                        : std::nullopt;
    case fw_version_index:
        return target.model.fw_version();
    case hw_version_index:
        return identity.hw_version;
    default:
        return std::nullopt;
    }
}

bool usb_output_accepted(const usb_layout &layout, std::span<const uint8_t> report) {
    return report.size() >= 2 && report.size() <= layout.longest_report() &&
           (report[0] == request_report_id || report[0] == long_request_report_id);
}

bool usb_feature_accepted(const device &target, std::span<const uint8_t> report) {
    return target.usb.identity().feature_usage && report.size() >= 3 &&
           report.size() <= usb_layout::feature_report_count + 1u && report[0] == feature_report_id;
}

std::vector<uint8_t> build_report_descriptor(const usb_layout &layout, bool feature_usage) {
    constexpr uint8_t input = 0x81;
    constexpr uint8_t output = 0x91;
    constexpr uint8_t feature = 0xB1;
    std::vector<uint8_t> descriptor{
        0x06, 0x00, 0xFF, // usage page: vendor 0xFF00
        0x09, 0x01,       // usage 1
        0xA1, 0x01,       // application collection
        0x15, 0x00,       // logical minimum 0
        0x26, 0xFF, 0x00, // logical maximum 255
        0x75, 0x08,       // report size 8
    };
    append_report(descriptor, input, reply_report_id, usb_layout::normal_report_count,
                  protocol::usage_reply);
    append_report(descriptor, input, long_reply_report_id, layout.long_report_count,
                  protocol::usage_long_reply);
    append_report(descriptor, output, request_report_id, usb_layout::normal_report_count,
                  protocol::usage_request);
    append_report(descriptor, output, long_request_report_id, layout.long_report_count,
                  protocol::usage_long_request);
    if (feature_usage)
        append_report(descriptor, feature, feature_report_id, usb_layout::feature_report_count,
                      protocol::usage_feature);
    descriptor.push_back(0xC0); // end collection
    return descriptor;
}

uint8_t reply_report_for(uint8_t opcode) {
    return opcode == op::echo || opcode == op::read_mem_block || opcode == op::read_eemem_block
               ? long_reply_report_id
               : reply_report_id;
}

usb_reply_plan answer_output_report(device &target, const usb_layout &layout,
                                    std::span<const uint8_t> report) {
    target.usb.frames.record(report);
    const std::optional<fault> next = target.faults.take_next();
    usb_reply_plan plan;
    if (next && next->kind == fault_kind::error_reply) {
        plan.report = error_report(layout, report[1], next->error_code);
        return plan;
    }
    if (next && next->kind == fault_kind::opcode) {
        plan.report = empty_report(layout, reply_report_for(next->opcode));
        plan.report[1] = next->opcode;
        return plan;
    }
    plan.report = controller_answer(target, layout, report);
    if (!next)
        return plan;
    switch (next->kind) {
    case fault_kind::delay:
        plan.delay_ms = next->milliseconds;
        break;
    case fault_kind::drop:
        plan.report.clear();
        break;
    case fault_kind::report_id:
        plan.report[0] = next->report_id;
        break;
    case fault_kind::flood:
        plan.flood_ms = next->milliseconds;
        break;
    default:
        // The faults that bend a TCP byte stream are taken and change nothing here.
        break;
    }
    return plan;
}

} // namespace vortlink::sim
