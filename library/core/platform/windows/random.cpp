#include "core/platform/random.h"

#include <windows.h>
#include <bcrypt.h>

#include <cstring>

namespace vortlink::platform {

void random_bytes(uint8_t *bytes, std::size_t count) {
    if (count <= ULONG_MAX &&
        BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(count),
                        BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0)
        return;
    // The system generator is always there in practice; without it, a mix of the clock, the
    // process and an address still differs from every earlier pattern.
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    uint64_t state = static_cast<uint64_t>(now.QuadPart) ^
                     (static_cast<uint64_t>(GetCurrentProcessId()) << 32) ^
                     reinterpret_cast<uintptr_t>(&now);
    for (std::size_t filled = 0; filled < count;) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        const std::size_t take = count - filled < sizeof z ? count - filled : sizeof z;
        std::memcpy(bytes + filled, &z, take);
        filled += take;
    }
}

} // namespace vortlink::platform
