// flock exists on Linux only: the settings file and the shared block's guard use it there.
#include "core/platform/text_file.h"

#include <cerrno>
#include <ctime>
#include <sys/file.h>

namespace vortlink::platform {

namespace {
uint64_t monotonic_now_ms() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}
} // namespace

bool lock_file_within(int descriptor, int operation, uint32_t limit_ms) {
    const uint64_t deadline = monotonic_now_ms() + limit_ms;
    uint32_t pause_ms = 1;
    for (;;) {
        if (::flock(descriptor, operation | LOCK_NB) == 0)
            return true;
        if (errno == EINTR)
            continue;
        if (errno != EWOULDBLOCK || monotonic_now_ms() >= deadline)
            return false;
        timespec pause{0, static_cast<long>(pause_ms) * 1000000L};
        ::nanosleep(&pause, nullptr);
        pause_ms = pause_ms < 16 ? pause_ms * 2 : pause_ms;
    }
}

} // namespace vortlink::platform
