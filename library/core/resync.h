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

#include "core/state.h"
#include "core/status.h"
#include "core/transport.h"

namespace vortlink {

bool slot_out_of_step(transport_kind transport, uint8_t slot);
void mark_slot_out_of_step(transport_kind transport, uint8_t slot, bool out_of_step);

// Brings the slot back in step over the road within the normal reply time-out, counted from the
// start of the exchange's budget (and within that budget). On failure the status of the step
// that failed (the road's reply time-out, -10803 or -10107, when the pattern did not come back
// in time; -10803 or -10110 when stale input kept coming) and the slot stays out of step.
status_t resync(const transport_operations &road, uint8_t slot, const stale_input_budget &budget);

// The echo pattern: as long as a TCP echo frame's data, and never longer than a report holds.
inline constexpr uint16_t resync_pattern_size = 50;

// Milliseconds left of the budget, 0 once it is spent.
inline uint16_t time_left(const stale_input_budget &budget) {
    return static_cast<uint16_t>(budget.left_ms());
}

} // namespace vortlink
