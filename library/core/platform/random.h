#pragma once
// Unpredictable bytes, for patterns that no earlier frame can contain by chance.

#include <cstddef>
#include <cstdint>

namespace vortlink::platform {

// Fills count bytes from the kernel's random source; when that is unavailable, from a generator
// seeded with the clock, the process and an address (never fails).
void random_bytes(uint8_t *bytes, std::size_t count);

} // namespace vortlink::platform
