// Linux threads have no window message queue; an application's events reach the library through
// the pump hook instead.
#include "core/platform/message_queue.h"

namespace vortlink::platform {

bool thread_has_message_queue() {
    return false;
}

bool dispatch_thread_messages() {
    return false;
}

void post_progress_message(uint32_t, uint32_t) {}

} // namespace vortlink::platform
