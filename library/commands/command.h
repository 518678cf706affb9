#pragma once
// The procedure every single-exchange command follows: header bytes from the slot's report
// table, the exchange of the slot's transport, then the reply data from byte 2.

#include <cstdint>

#include "core/protocol.h"
#include "core/status.h"

namespace vortlink {

// Which reports carry the request and the reply.
enum class header_pair { normal, long_request, long_reply, long_both };

struct command_frames {
    uint8_t request[protocol::frame_buffer_size + 2] = {};
    uint8_t reply[protocol::frame_buffer_size + 2] = {};

    uint8_t *request_data() { return request + 2; }
    const uint8_t *reply_data() const { return reply + 2; }
};

// Writes header bytes and opcode into the frames (the request data must already be packed from
// request byte 2) and runs the exchange of the slot's transport. The slot must be below 50.
status_t run_exchange(uint8_t slot, header_pair pair, uint8_t opcode, command_frames &frames,
                      uint16_t timeout_ms);

} // namespace vortlink
