#pragma once
// The loader's status codes follow the library's convention: 0 is success, anything else ends
// the operation and is passed up unchanged until it reaches the status report.

#include <cstdint>

#include "vortlink.h"

namespace vortlink::loader {

using status_t = int16_t;

namespace status {
inline constexpr status_t ok = TKCMDSET_OK;
// Told by a wait when the program was asked to quit, as the library tells it.
inline constexpr status_t quit_requested = TKCMDSET_QUIT_REQUESTED;
// Reading a firmware file and checking its image.
#define UTILITY_CODE(name, code, title, text) inline constexpr status_t name = code;
#include "core/status_codes.inc"

// The library raises its own codes in the groups -100xx to -108xx; any other non-zero status of a
// library call is the error number the controller sent in an error reply.
constexpr bool is_controller_error(status_t code) {
    return code != ok && (code > -10001 || code < -10899);
}
} // namespace status

} // namespace vortlink::loader
