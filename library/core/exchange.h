#pragma once
// One command exchange: request frame out, reply frame back, under the slot's lock.

#include <cstdint>

#include "core/status.h"

namespace vortlink {

// Lets the calling thread's application dispatch its events until the millisecond clock has moved
// past wait_ms. -10001 when the application's pump reports a quit request.
status_t pump_messages(uint32_t wait_ms);

// The calling thread's progress hook, if any (block transfers report through it).
void report_progress(uint32_t kind, uint32_t address);

// Runs one command over the slot's TCP connection. The request holds header byte, opcode and
// data; the exchange writes the CRC-8 after the descriptor's data length. The reply receives
// header byte, opcode, data and CRC-8. Both buffers are at least frame_buffer_size bytes.
status_t tcp_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms);

// Adds one to the "CommandFailCount" setting.
void count_failed_command();

} // namespace vortlink
