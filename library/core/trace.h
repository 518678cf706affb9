#pragma once
// Frame tracing for application developers: with VORTLINK_TRACE=1 every frame of every exchange
// is logged to standard error, with VORTLINK_TRACE=<file> appended to that file. The variable
// is looked at on each exchange (a getenv, nothing more when it is unset), so a program or test
// may switch tracing on and off while it runs.

#include <cstddef>
#include <cstdint>

#include "core/status.h"

namespace vortlink {

enum class trace_direction { request, reply };

// Where the lines go for this exchange, or nullptr when tracing is off.
const char *trace_destination();

// Logs one frame. bytes may be null when no frame went out or came back (length 0).
void trace_frame(const char *destination, uint8_t slot, const char *transport,
                 trace_direction direction, uint8_t opcode, const uint8_t *bytes,
                 std::size_t length, status_t result);

} // namespace vortlink
