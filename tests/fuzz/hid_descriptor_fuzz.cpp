// Arbitrary bytes as a HID report descriptor. Besides the sanitizers' findings, a description that
// parses has to hold together: a found usage lies in a report of its type that the lengths
// allow for, and report IDs are used throughout or not at all.

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/platform/hid_descriptor.h"

namespace {

using namespace vortlink;
using namespace vortlink::platform;

void require(bool condition) {
    if (!condition)
        __builtin_trap();
}

uint16_t length_of(const hid_report_description &description, hid_report_type type) {
    switch (type) {
    case hid_report_type::input:
        return description.lengths.input;
    case hid_report_type::output:
        return description.lengths.output;
    case hid_report_type::feature:
        return description.lengths.feature;
    }
    return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    hid_report_description description;
    const status_t result =
        parse_report_descriptor(std::span<const uint8_t>(data, size), description);
    require(result == status::ok || result == status::bad_reports);
    if (result != status::ok) {
        require(description.value_items.empty() && description.lengths.input == 0);
        return 0;
    }
    require(description.lengths.input != 0 || description.lengths.output != 0 ||
            description.lengths.feature != 0);

    for (uint16_t usage = 166; usage <= 170; ++usage) {
        hid_value_report report;
        if (!description.find_value_usage(usage, report))
            continue;
        require((report.report_id != 0) == description.uses_report_ids);
    }
    for (const hid_value_item &item : description.value_items) {
        const uint32_t bits = uint32_t{item.report_size} * item.report_count;
        require(bits <= hid_max_item_bits);
        require(length_of(description, item.type) >= 1 + (bits + 7) / 8);
        require(item.usage_minimum >> 16 == item.usage_maximum >> 16);
        require(item.usage_minimum <= item.usage_maximum);
    }
    return 0;
}
