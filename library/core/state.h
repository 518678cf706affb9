#pragma once
// Per-process library state: fixed tables indexed by device slot, and the block shared with the
// other processes that have the library loaded.

#include <array>
#include <cstdint>

#include "core/platform/shared_segment.h"
#include "core/status.h"

namespace vortlink {

inline constexpr unsigned slot_count = 50;

enum class transport_kind : uint32_t { usb = 0, tcp = 1 };

// Report ID and report count of the report that carries one of the usages 166 to 170.
struct report_entry {
    uint8_t report_id = 0;
    uint16_t report_count = 0;
};

// Index of a usage in a slot's report table.
enum report_usage : unsigned {
    usage_index_request = 0,      // 166
    usage_index_long_request = 1, // 167
    usage_index_reply = 2,        // 168
    usage_index_long_reply = 3,   // 169
    usage_index_feature = 4,      // 170
    usage_index_count = 5,
};

namespace platform {
class hid_device;
}

// The USB side of a slot. The report lengths count the report ID byte.
struct hid_slot {
    platform::hid_device *device = nullptr;
    uint16_t input_report_length = 0;
    uint16_t output_report_length = 0;
    uint16_t feature_report_length = 0;
};

struct library_state {
    std::array<transport_kind, slot_count> transport{};
    std::array<platform::named_lock *, slot_count> usb_locks{};
    std::array<platform::named_lock *, slot_count> tcp_locks{};
    std::array<std::array<report_entry, usage_index_count>, slot_count> reports{};
    std::array<hid_slot, slot_count> hid{};
};

library_state &state();

// The block shared between processes; null when it could not be mapped.
platform::shared_data *shared_state();

// -10100 for a slot above 49; every slot-taking export checks this before any table is read.
inline status_t check_slot(uint8_t slot) {
    return slot < slot_count ? status::ok : status::bad_slot;
}

// Load and unload work of the library, run by its ELF constructor and destructor. Exposed so
// that tests can run them again.
void on_process_load();
void on_process_unload();

} // namespace vortlink
