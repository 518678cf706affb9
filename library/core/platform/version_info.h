#pragma once
// The library's version as tkcmdset_get_dll_version packs it: the minor field of the file
// version in the high byte, the fourth field in the low byte (on Linux, compiled in from the
// project version in the same form). 0 when it cannot be read.

#include <cstdint>

namespace vortlink::platform {

uint16_t library_version_word();

} // namespace vortlink::platform
