#pragma once
// Reading a HID report descriptor: the report lengths Windows' HidP_GetCaps would give, and the
// value items that carry usages. A pure function of the bytes, so it can be fed anything (the
// descriptor comes from the device, and the fuzz target feeds it noise).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/platform/hid_backend.h"
#include "core/status.h"

namespace vortlink::platform {

enum class hid_report_type : uint8_t { input = 0, output = 1, feature = 2 };

// Limits beyond which a descriptor is refused as malformed. Real devices stay far below them;
// they keep a hostile descriptor from making the parser allocate or recurse without bound.
inline constexpr unsigned hid_max_collection_depth = 32;
inline constexpr unsigned hid_max_push_depth = 16;
inline constexpr unsigned hid_max_main_items = 4096;
inline constexpr unsigned hid_max_usages_per_item = 1024;
inline constexpr unsigned hid_max_value_items = 16384;
// Bits of one main item (report size times report count).
inline constexpr uint32_t hid_max_item_bits = 0xFFFF;

// Usages are written as page << 16 | id, the way an extended usage spells them.
struct hid_value_item {
    hid_report_type type = hid_report_type::input;
    uint8_t report_id = 0;
    uint32_t usage_minimum = 0;
    uint32_t usage_maximum = 0; // equal to usage_minimum for a single usage
    uint16_t report_size = 0;   // bits per field
    uint16_t report_count = 0;
    uint32_t flags = 0; // the main item's data: bit 0 constant, bit 1 variable, bit 2 relative...

    // Whether the item carries the usage ID on whatever page.
    bool carries(uint16_t usage) const;
};

struct hid_report_description {
    hid_report_lengths lengths;
    bool uses_report_ids = false;
    // In descriptor order; an item listing several usages appears once per usage (or range).
    std::vector<hid_value_item> value_items;

    // The first value item carrying the usage among the input reports, else the output reports,
    // else the feature reports.
    bool find_value_usage(uint16_t usage, hid_value_report &report) const;
};

// status::ok, or status::bad_reports for a truncated or malformed descriptor, or one that
// describes no report at all (description is then left empty).
status_t parse_report_descriptor(std::span<const uint8_t> bytes,
                                 hid_report_description &description);

// A device whose report descriptor is parsed by the library answers the report queries from
// that description; both fail while it is unreadable.
class described_hid_device : public hid_device {
  public:
    bool report_lengths(hid_report_lengths &lengths) override {
        if (description_status_ != status::ok)
            return false;
        lengths = description_.lengths;
        return true;
    }
    bool find_value_usage(uint16_t usage, hid_value_report &report) override {
        return description_status_ == status::ok && description_.find_value_usage(usage, report);
    }

  protected:
    status_t description_status_ = status::bad_reports;
    hid_report_description description_;
};

} // namespace vortlink::platform
