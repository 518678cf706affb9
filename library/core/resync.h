#pragma once
// Keeping a slot in step with its controller. Frames carry no sequence number, so a reply that
// arrives after its exchange gave up would be taken as the answer to the next request. An
// exchange that ends without a complete, well-formed reply leaves its slot out of step; before
// the slot's next exchange an echo with a fresh random pattern goes out, and everything is
// discarded until that pattern comes back. Slots in step exchange exactly as before: not one
// extra byte on the wire.
//
// The flags belong to the calling process (its sockets and HID handles are its own) and are
// read and written only under the slot's lock of that transport.

#include <cstdint>

#include "core/stale_input.h"
#include "core/state.h"
#include "core/status.h"

namespace vortlink {

bool slot_out_of_step(transport_kind transport, uint8_t slot);
void mark_slot_out_of_step(transport_kind transport, uint8_t slot, bool out_of_step);

// Brings the slot's TCP connection back in step within the normal reply time-out, counted from
// the start of the exchange's budget (and within that budget). On failure the status of the
// step that failed (-10803 when the pattern did not come back in time, or when stale bytes kept
// coming) and the slot stays out of step.
status_t tcp_resync(uint8_t slot, const stale_input_budget &budget);
// The same over the slot's HID device (-10107 when the pattern did not come back in time,
// -10110 when stale reports kept coming).
status_t usb_resync(uint8_t slot, const stale_input_budget &budget);

// The status of an error reply to a request with this opcode. An error reply carrying 0 is not
// an answer to a command that returns data: there is nothing to unpack, so -10204. Commands
// without reply data take 0 as success.
status_t error_reply_status(uint8_t opcode, uint16_t code);

} // namespace vortlink
