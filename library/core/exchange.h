#pragma once
// One command exchange: request frame out, reply frame back, under the slot's lock.

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

// Runs one command over the slot's TCP connection. The request holds header byte, opcode and
// data; the exchange writes the CRC-8 after the descriptor's data length. The reply receives
// header byte, opcode, data and CRC-8. Both buffers are at least frame_buffer_size bytes.
status_t tcp_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms);

// Adds one to the "CommandFailCount" setting.
void count_failed_command();

} // namespace vortlink
