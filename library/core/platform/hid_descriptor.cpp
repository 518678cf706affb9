#include "core/platform/hid_descriptor.h"

#include <array>
#include <bitset>

namespace vortlink::platform {

bool hid_value_item::carries(uint16_t usage) const {
    // Both ends of a range are on one page (the parser refuses others), so the IDs alone decide.
    return (usage_minimum & 0xFFFF) <= usage && usage <= (usage_maximum & 0xFFFF);
}

bool hid_report_description::find_value_usage(uint16_t usage, hid_value_report &report) const {
    for (const hid_report_type type :
         {hid_report_type::input, hid_report_type::output, hid_report_type::feature}) {
        for (const hid_value_item &item : value_items) {
            if (item.type == type && item.carries(usage)) {
                report.report_id = item.report_id;
                report.report_count = item.report_count;
                return true;
            }
        }
    }
    return false;
}

namespace {

constexpr uint8_t long_item_prefix = 0xFE;

enum class item_type : uint8_t { main = 0, global = 1, local = 2, reserved = 3 };

namespace main_tag {
constexpr uint8_t input = 0x8;
constexpr uint8_t output = 0x9;
constexpr uint8_t collection = 0xA;
constexpr uint8_t feature = 0xB;
constexpr uint8_t end_collection = 0xC;
} // namespace main_tag

namespace global_tag {
constexpr uint8_t usage_page = 0x0;
constexpr uint8_t report_size = 0x7;
constexpr uint8_t report_id = 0x8;
constexpr uint8_t report_count = 0x9;
constexpr uint8_t push = 0xA;
constexpr uint8_t pop = 0xB;
} // namespace global_tag

namespace local_tag {
constexpr uint8_t usage = 0x0;
constexpr uint8_t usage_minimum = 0x1;
constexpr uint8_t usage_maximum = 0x2;
} // namespace local_tag

constexpr uint32_t constant_flag = 1u << 0;
constexpr uint32_t variable_flag = 1u << 1;

constexpr unsigned report_type_count = 3;
constexpr unsigned report_id_count = 256;
// A report's length, ID byte included, has to fit the 16-bit lengths the library keeps.
constexpr uint32_t max_report_bytes = 0xFFFF;

// Logical and physical extents, units and exponents are part of the state but nothing here
// needs them, so only what decides lengths and report numbers is kept.
struct global_state {
    uint32_t usage_page = 0;
    uint32_t report_size = 0;
    uint32_t report_count = 0;
    uint8_t report_id = 0;
};

// A usage as written. Four data bytes name the page themselves; shorter usages take the usage
// page in force when their main item is reached.
struct written_usage {
    uint32_t value = 0;
    bool extended = false;

    uint32_t resolve(uint32_t usage_page) const {
        return extended ? value : usage_page << 16 | (value & 0xFFFF);
    }
};

struct usage_range {
    written_usage minimum;
    written_usage maximum;
};

struct local_state {
    std::vector<usage_range> usages;
    written_usage pending_minimum;
    written_usage pending_maximum;
    bool has_minimum = false;
    bool has_maximum = false;

    void clear() {
        usages.clear();
        has_minimum = false;
        has_maximum = false;
    }
};

class descriptor_parser {
  public:
    explicit descriptor_parser(hid_report_description &description) : description_(description) {}

    status_t parse(std::span<const uint8_t> bytes) {
        std::size_t position = 0;
        while (position < bytes.size()) {
            const uint8_t prefix = bytes[position];
            const std::size_t left = bytes.size() - position - 1;
            if (prefix == long_item_prefix) {
                // bDataSize, bLongItemTag, then the data; no long item tags are defined.
                if (left < 2 || left - 2 < bytes[position + 1])
                    return status::bad_reports;
                position += 3 + std::size_t{bytes[position + 1]};
                continue;
            }
            const std::size_t data_size = (prefix & 3) == 3 ? 4 : prefix & 3;
            if (left < data_size)
                return status::bad_reports;
            uint32_t data = 0;
            for (std::size_t i = 0; i < data_size; ++i)
                data |= uint32_t{bytes[position + 1 + i]} << (8 * i);
            position += 1 + data_size;

            const auto type = static_cast<item_type>((prefix >> 2) & 3);
            const uint8_t tag = prefix >> 4;
            status_t result = status::bad_reports;
            switch (type) {
            case item_type::main:
                result = on_main(tag, data);
                break;
            case item_type::global:
                result = on_global(tag, data);
                break;
            case item_type::local:
                result = on_local(tag, data, data_size == 4);
                break;
            case item_type::reserved:
                break;
            }
            if (result != status::ok)
                return result;
        }
        if (collection_depth_ != 0)
            return status::bad_reports;
        // Every HID device has at least one report; a description of none describes nothing.
        if (report_present_[0].none() && report_present_[1].none() && report_present_[2].none())
            return status::bad_reports;
        // Once a device numbers its reports, every report starts with its number; a data item
        // outside any numbered report could not be told apart from them.
        if (description_.uses_report_ids && has_unnumbered_data_)
            return status::bad_reports;
        fill_lengths();
        return status::ok;
    }

  private:
    status_t on_main(uint8_t tag, uint32_t data) {
        if (++main_items_ > hid_max_main_items)
            return status::bad_reports;
        status_t result = status::ok;
        switch (tag) {
        case main_tag::input:
            result = on_data_item(hid_report_type::input, data);
            break;
        case main_tag::output:
            result = on_data_item(hid_report_type::output, data);
            break;
        case main_tag::feature:
            result = on_data_item(hid_report_type::feature, data);
            break;
        case main_tag::collection:
            if (++collection_depth_ > hid_max_collection_depth)
                result = status::bad_reports;
            break;
        case main_tag::end_collection:
            if (collection_depth_ == 0)
                result = status::bad_reports;
            else
                --collection_depth_;
            break;
        default:
            result = status::bad_reports;
            break;
        }
        // Local items describe the next main item only, whatever kind it is.
        locals_.clear();
        return result;
    }

    status_t on_data_item(hid_report_type type, uint32_t flags) {
        const uint64_t item_bits = uint64_t{globals_.report_size} * globals_.report_count;
        if (globals_.report_size > 0xFFFF || globals_.report_count > 0xFFFF ||
            item_bits > hid_max_item_bits)
            return status::bad_reports;
        if (locals_.has_minimum || locals_.has_maximum)
            return status::bad_reports; // half a usage range

        const auto type_index = static_cast<unsigned>(type);
        const uint8_t id = globals_.report_id;
        uint32_t &bits = report_bits_[type_index][id];
        bits += static_cast<uint32_t>(item_bits);
        if ((bits + 7) / 8 + 1 > max_report_bytes)
            return status::bad_reports;
        report_present_[type_index].set(id);
        if (id == 0)
            has_unnumbered_data_ = true;

        // Padding and array items hold no values; only variable data items do.
        const bool holds_values = (flags & constant_flag) == 0 && (flags & variable_flag) != 0;
        for (const usage_range &range : locals_.usages) {
            hid_value_item item;
            item.type = type;
            item.report_id = id;
            item.usage_minimum = range.minimum.resolve(globals_.usage_page);
            item.usage_maximum = range.maximum.resolve(globals_.usage_page);
            item.report_size = static_cast<uint16_t>(globals_.report_size);
            item.report_count = static_cast<uint16_t>(globals_.report_count);
            item.flags = flags;
            // A range runs along one page, upwards.
            if (item.usage_minimum >> 16 != item.usage_maximum >> 16 ||
                item.usage_minimum > item.usage_maximum)
                return status::bad_reports;
            if (!holds_values)
                continue;
            if (description_.value_items.size() >= hid_max_value_items)
                return status::bad_reports;
            description_.value_items.push_back(item);
        }
        return status::ok;
    }

    status_t on_global(uint8_t tag, uint32_t data) {
        switch (tag) {
        case global_tag::usage_page:
            if (data > 0xFFFF)
                return status::bad_reports;
            globals_.usage_page = data;
            break;
        case global_tag::report_size:
            globals_.report_size = data;
            break;
        case global_tag::report_count:
            globals_.report_count = data;
            break;
        case global_tag::report_id:
            if (data == 0 || data > 0xFF)
                return status::bad_reports;
            globals_.report_id = static_cast<uint8_t>(data);
            description_.uses_report_ids = true;
            break;
        case global_tag::push:
            if (push_depth_ == hid_max_push_depth)
                return status::bad_reports;
            pushed_[push_depth_++] = globals_;
            break;
        case global_tag::pop:
            if (push_depth_ == 0)
                return status::bad_reports;
            globals_ = pushed_[--push_depth_];
            break;
        default:
            // Logical and physical extents, unit, unit exponent and the reserved tags.
            break;
        }
        return status::ok;
    }

    status_t on_local(uint8_t tag, uint32_t data, bool extended) {
        const written_usage usage{data, extended};
        switch (tag) {
        case local_tag::usage:
            return add_usage({usage, usage});
        case local_tag::usage_minimum:
            if (locals_.has_minimum)
                return status::bad_reports;
            locals_.pending_minimum = usage;
            locals_.has_minimum = true;
            break;
        case local_tag::usage_maximum:
            if (locals_.has_maximum)
                return status::bad_reports;
            locals_.pending_maximum = usage;
            locals_.has_maximum = true;
            break;
        default:
            // Designators, strings and delimiters do not change which item carries a usage.
            return status::ok;
        }
        if (!locals_.has_minimum || !locals_.has_maximum)
            return status::ok;
        locals_.has_minimum = false;
        locals_.has_maximum = false;
        return add_usage({locals_.pending_minimum, locals_.pending_maximum});
    }

    status_t add_usage(const usage_range &range) {
        if (locals_.usages.size() >= hid_max_usages_per_item)
            return status::bad_reports;
        locals_.usages.push_back(range);
        return status::ok;
    }

    void fill_lengths() {
        std::array<uint16_t, report_type_count> longest{};
        for (unsigned type = 0; type < report_type_count; ++type) {
            for (unsigned id = 0; id < report_id_count; ++id) {
                if (!report_present_[type].test(id))
                    continue;
                // The ID byte is counted even for unnumbered reports, where it is sent as 0.
                const uint32_t length = (report_bits_[type][id] + 7) / 8 + 1;
                if (length > longest[type])
                    longest[type] = static_cast<uint16_t>(length);
            }
        }
        description_.lengths.input = longest[0];
        description_.lengths.output = longest[1];
        description_.lengths.feature = longest[2];
    }

    hid_report_description &description_;
    global_state globals_;
    std::array<global_state, hid_max_push_depth> pushed_{};
    unsigned push_depth_ = 0;
    local_state locals_;
    unsigned collection_depth_ = 0;
    unsigned main_items_ = 0;
    std::array<std::array<uint32_t, report_id_count>, report_type_count> report_bits_{};
    std::array<std::bitset<report_id_count>, report_type_count> report_present_{};
    bool has_unnumbered_data_ = false;
};

} // namespace

status_t parse_report_descriptor(std::span<const uint8_t> bytes,
                                 hid_report_description &description) {
    description = hid_report_description{};
    const status_t result = descriptor_parser(description).parse(bytes);
    if (result != status::ok)
        description = hid_report_description{};
    return result;
}

} // namespace vortlink::platform
