#pragma once
// Status codes: every internal routine returns one and stops at the first non-zero status,
// which is passed up unchanged.

#include <cstdint>

#include "vortlink.h"

namespace vortlink {

using status_t = int16_t;

namespace status {
#define LIBRARY_CODE(name, code, title, text) inline constexpr status_t name = code;
#include "core/status_codes.inc"
} // namespace status

} // namespace vortlink
