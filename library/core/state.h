#pragma once
// Per-process library state: fixed tables indexed by device slot, and the block shared with the
// other processes that have the library loaded.

#include <array>
#include <cstdint>
#include <memory>

#include "core/platform/hid_backend.h"
#include "core/platform/shared_segment.h"
#include "core/platform/socket.h"
#include "core/status.h"

namespace vortlink {

inline constexpr unsigned slot_count = 50;

enum class transport_kind : uint32_t { usb = 0, tcp = 1 };

struct transport_operations;

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

// Everything the process keeps about one device slot. The out-of-step flags and the TCP
// socket's low-water mark are read and written only under the slot's lock of that transport.
struct slot_record {
    transport_kind transport = transport_kind::usb;
    // The operations of the transport that opened the slot last; null before either did, when
    // the slot's commands take the USB road and find no device.
    const transport_operations *road = nullptr;
    // The system-wide exchange locks of the slot, opened when the library is loaded.
    platform::named_lock *usb_lock = nullptr;
    platform::named_lock *tcp_lock = nullptr;
    std::array<report_entry, usage_index_count> reports{};

    // The USB side. The report lengths count the report ID byte.
    std::unique_ptr<platform::hid_device> hid_device;
    uint16_t input_report_length = 0;
    uint16_t output_report_length = 0;
    uint16_t feature_report_length = 0;

    // The TCP side, and the receive low-water mark its socket has now (a new socket starts at 1),
    // so that it is only set when a wait needs another one.
    platform::socket_handle socket;
    uint16_t low_water = 0;

    // See resync.h: a reply may still be on its way to the slot's handle of that transport.
    bool usb_out_of_step = false;
    bool tcp_out_of_step = false;
};

struct library_state {
    std::array<slot_record, slot_count> slots{};
};

library_state &state();
// The record of a slot below slot_count.
inline slot_record &slot_of(uint8_t slot) {
    return state().slots[slot];
}

// The block shared between processes; null when it could not be mapped.
platform::shared_data *shared_state();

// -10100 for a slot above 49; every slot-taking export checks this before any table is read.
inline status_t check_slot(uint8_t slot) {
    return slot < slot_count ? status::ok : status::bad_slot;
}

// Load and unload work of the library, run by the platform's load hooks. Exposed so that tests
// can run them again.
void on_process_load();
void on_process_unload();

} // namespace vortlink
