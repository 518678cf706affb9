#pragma once
// The controller's USB side without sockets: its report layout and descriptor, and the answer
// to one output report, bent by the next queued fault.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "device.h"

namespace vortlink::sim {

// Report IDs of the usages 166 to 170.
inline constexpr uint8_t request_report_id = 1;
inline constexpr uint8_t long_request_report_id = 2;
inline constexpr uint8_t reply_report_id = 3;
inline constexpr uint8_t long_reply_report_id = 4;
inline constexpr uint8_t feature_report_id = 5;

struct usb_layout {
    static constexpr uint16_t normal_report_count = 63;
    static constexpr uint16_t feature_report_count = 8;
    static constexpr uint16_t min_long_report_count = 8;
    static constexpr uint16_t max_long_report_count = 1024;

    // Report count of the long request and long reply reports (usages 167 and 169).
    uint16_t long_report_count = 112;

    // Bytes of the longest input or output report, report ID included.
    std::size_t longest_report() const;
    // Bytes of the input report with this ID, report ID included.
    std::size_t input_report_length(uint8_t report_id) const;
};

// Vendor page 0xFF00, one application collection, five numbered reports of 8-bit fields; the
// feature report is left out when `feature_usage` is false.
std::vector<uint8_t> build_report_descriptor(const usb_layout &layout, bool feature_usage);

// The reply report the controller uses for an opcode.
uint8_t reply_report_for(uint8_t opcode);

struct usb_reply_plan {
    std::vector<uint8_t> report; // empty: nothing is sent
    uint32_t delay_ms = 0;
    uint32_t flood_ms = 0; // input reports nobody asked for, sent after the reply
};

// The text of the controller's string descriptor with this index (2 product, 3 serial number,
// 4 firmware version, 5 hardware version); none for any other index or an unreadable serial.
std::optional<std::string> usb_indexed_string(const device &target, uint16_t index);

// Whether the controller takes this output report (report ID first): one of its two request
// reports, with at least an opcode, no longer than its longest report.
bool usb_output_accepted(const usb_layout &layout, std::span<const uint8_t> report);

// Whether the controller takes this feature report (report ID first): its descriptor has the
// feature report, and the report carries at least the u16 code and fits the feature report.
bool usb_feature_accepted(const device &target, std::span<const uint8_t> report);

// Logs the output report (at least two bytes: report ID and opcode) and answers it as the
// controller does, then applies the next queued fault.
usb_reply_plan answer_output_report(device &target, const usb_layout &layout,
                                    std::span<const uint8_t> report);

} // namespace vortlink::sim
