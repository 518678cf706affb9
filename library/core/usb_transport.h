#pragma once
// The USB HID road to a controller: opening a slot on a device, and the operations of an open
// slot. The device itself is reached through the HID backend of the platform layer.

#include <cstdint>

#include "core/stale_input.h"
#include "core/status.h"

namespace vortlink {

// The frame buffers of the commands limit the reports a device may use.
inline constexpr uint16_t max_report_length = 200;
// A long report must leave room for a block command's address and count.
inline constexpr uint16_t min_long_report_count = 9;

// -10100 for a slot above 49, -10109 when the slot has no open HID device.
status_t usb_slot_valid(uint8_t slot);
// Discards stale input reports. -10110 when that fails, or when reports are still coming once
// the budget is spent.
status_t usb_flush(uint8_t slot, const stale_input_budget &budget);
// One output report of the slot's output length from bytes: -10102 not started, -10104 late.
status_t usb_write_report(uint8_t slot, const uint8_t *bytes, uint16_t timeout_ms);
// One input report of the slot's input length into buffer: -10105 not started, -10107 late.
status_t usb_read_report(uint8_t slot, uint8_t *buffer, uint16_t timeout_ms);
// Report ID and report count of the report carrying the usage. -10108 when none does.
status_t usb_query_usage(uint8_t slot, uint8_t usage, uint8_t &report_id, uint16_t &report_count);
// One feature report of the slot's feature length from bytes. -10111 when refused.
status_t usb_send_feature(uint8_t slot, const uint8_t *bytes);
// The device string with the index, at most length / 2 - 1 characters, each narrowed to its
// Latin-1 byte ('?' for a character beyond U+00FF): length bytes are written to destination
// (the text and zeros after it). -10112 when the device delivers no string.
status_t usb_read_string(uint8_t slot, uint16_t index, char *destination, uint16_t length);

// Closes the slot's HID device; the report table keeps its entries.
void close_hid_slot(uint8_t slot);

// Runs one command over the slot's HID device: one output report out, one input report back.
status_t usb_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms);

} // namespace vortlink
