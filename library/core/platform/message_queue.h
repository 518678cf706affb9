#pragma once
// The calling thread's own window message queue, on a system that has one (Windows). Elsewhere
// a thread has no queue: nothing is dispatched and nothing posted.

#include <cstdint>

namespace vortlink::platform {

// True when the calling thread has a window message queue that waits should keep serving.
bool thread_has_message_queue();

// Takes every waiting message off the calling thread's queue, translating and dispatching each.
// True when a quit message was met: dispatching stops there and the quit is posted again, so the
// application's own message loop still sees it.
bool dispatch_thread_messages();

// Posts the progress message (0x464, kind, address) to the calling thread's active window.
void post_progress_message(uint32_t kind, uint32_t address);

} // namespace vortlink::platform
