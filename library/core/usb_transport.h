#pragma once
// The USB HID road to a controller.

#include <cstdint>

#include "core/status.h"

namespace vortlink {

// -10100 for a slot above 49, -10109 when the slot has no open HID device.
status_t usb_slot_valid(uint8_t slot);

// Closes the slot's HID device; the report table keeps its entries.
void close_hid_slot(uint8_t slot);

// Runs one command over the slot's HID device: one output report out, one input report back.
status_t usb_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms);

} // namespace vortlink
