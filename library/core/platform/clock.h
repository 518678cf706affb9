#pragma once
// The millisecond clock: CLOCK_MONOTONIC in ms as an unsigned 32-bit number that wraps, so all
// elapsed-time arithmetic is unsigned.

#include <cstdint>

namespace vortlink::platform {

uint32_t monotonic_ms();

// Blocks the calling thread for about ms milliseconds (never spins).
void sleep_ms(uint32_t ms);

} // namespace vortlink::platform
