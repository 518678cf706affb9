#include "core/platform/clock.h"

#include <windows.h>
#include <mmsystem.h>

namespace vortlink::platform {

// The multimedia timer's millisecond count wraps after 49.7 days, like the Linux clock's.
uint32_t monotonic_ms() {
    return static_cast<uint32_t>(timeGetTime());
}

void sleep_ms(uint32_t ms) {
    Sleep(ms);
}

} // namespace vortlink::platform
