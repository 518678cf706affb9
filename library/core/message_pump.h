#pragma once
// The calling thread's hooks: the application's message pump, which gets its turns while the
// library waits, and the progress handler the block transfers report to.

#include <cstdint>

#include "core/status.h"

namespace vortlink {

// Lets the calling thread's application dispatch its events until the millisecond clock has moved
// past wait_ms; a zero wait gives the pump exactly one turn and returns at once (the exchanges use
// it between request and reply to let the window repaint). -10001 when the application's pump
// reports a quit request.
status_t pump_messages(uint32_t wait_ms);

// How long a reply wait may block before the calling thread's message pump gets its next turn,
// so that the application's window keeps painting while a slow controller answers; 0 when the
// thread has no pump (the wait then blocks in one go).
uint32_t pump_slice_ms();
// Gives the calling thread's pump one turn, if it has one. -10001 when it reports a quit request.
status_t pump_once();

// The calling thread's progress hook, if any (block transfers report through it).
void report_progress(uint32_t kind, uint32_t address);

} // namespace vortlink
