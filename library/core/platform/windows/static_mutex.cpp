#include "core/platform/static_mutex.h"

#include <windows.h>

namespace vortlink::platform {

static_assert(sizeof(SRWLOCK) == sizeof(void *));

void static_mutex::lock() {
    AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&slim_lock_));
}

void static_mutex::unlock() {
    ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&slim_lock_));
}

} // namespace vortlink::platform
