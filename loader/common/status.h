#pragma once
// The loader's status codes follow the library's convention: 0 is success, anything else ends
// the operation and is passed up unchanged until it reaches the status report.

#include <cstdint>

namespace vortlink::loader {

using status_t = int16_t;

namespace status {
inline constexpr status_t ok = 0;
// Told by a wait when the program was asked to quit; the library uses the same number.
inline constexpr status_t quit_requested = -10001;

// The library raises its own codes in the groups -100xx to -108xx; any other non-zero status of a
// library call is the error number the controller sent in an error reply.
constexpr bool is_controller_error(status_t code) {
    return code != ok && (code > -10001 || code < -10899);
}
} // namespace status

} // namespace vortlink::loader
