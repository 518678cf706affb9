#pragma once
// One command exchange, the same sequence over both transports: under the slot's lock, the slot
// brought back in step if it is out of step, stale input cleared, one request frame out, the
// application's pump given a turn, one reply frame back and judged, both traced, the slot marked
// in or out of step, a failure counted where the transport counts them.

#include <cstdint>

#include "core/message_pump.h"
#include "core/status.h"
#include "core/transport.h"

namespace vortlink {

// Runs one command over the road. The request holds header byte, opcode and data; reply[0] holds
// the report ID the reply must carry (over USB). Both buffers are at least frame_buffer_size
// bytes; the reply receives the whole reply frame.
status_t exchange(const transport_operations &road, uint8_t slot, uint8_t *request, uint8_t *reply,
                  uint16_t timeout_ms);

// Over the slot's HID device: one output report out, one input report back.
inline status_t usb_exchange(uint8_t slot, uint8_t *request, uint8_t *reply, uint16_t timeout_ms) {
    return exchange(usb_operations(), slot, request, reply, timeout_ms);
}

// The status of an error reply to a request with this opcode. An error reply carrying 0 is not
// an answer to a command that returns data: there is nothing to unpack, so -10204. Commands
// without reply data take 0 as success.
status_t error_reply_status(uint8_t opcode, uint16_t code);

// Adds one to the "CommandFailCount" setting.
void count_failed_command();

} // namespace vortlink
