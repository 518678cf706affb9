#include "core/platform/random.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

namespace vortlink::platform {

namespace {
// splitmix64: enough to make a pattern that differs from every earlier one.
uint64_t next_mixed(uint64_t &state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
} // namespace

void random_bytes(uint8_t *bytes, std::size_t count) {
    std::size_t filled = 0;
    while (filled < count) {
        const ssize_t got = ::getrandom(bytes + filled, count - filled, GRND_NONBLOCK);
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        break;
    }
    if (filled == count)
        return;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    static thread_local uint64_t state = 0;
    state ^= static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 32) ^
             (static_cast<uint64_t>(::getpid()) << 16) ^ reinterpret_cast<uintptr_t>(&now);
    while (filled < count) {
        const uint64_t word = next_mixed(state);
        const std::size_t take = count - filled < sizeof word ? count - filled : sizeof word;
        std::memcpy(bytes + filled, &word, take);
        filled += take;
    }
}

} // namespace vortlink::platform
