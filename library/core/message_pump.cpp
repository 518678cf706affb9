#include "core/message_pump.h"

#include "core/platform/clock.h"
#include "core/platform/message_queue.h"
#include "vortlink.h"

namespace vortlink {

namespace {
struct message_pump {
    int (*pump)(void *context) = nullptr;
    void *context = nullptr;
};
struct progress_handler {
    void (*handler)(void *context, uint32_t kind, uint32_t address) = nullptr;
    void *context = nullptr;
};
thread_local message_pump thread_pump;
thread_local progress_handler thread_progress;

// While an application pump is installed, or the thread has a message queue, it gets a turn at
// least this often during a wait.
constexpr uint32_t pump_interval_ms = 10;
} // namespace

uint32_t pump_slice_ms() {
    return thread_pump.pump != nullptr || platform::thread_has_message_queue() ? pump_interval_ms
                                                                               : 0;
}

// A registered pump replaces the thread's own message queue; without one, the queue is served.
status_t pump_once() {
    if (thread_pump.pump != nullptr)
        return thread_pump.pump(thread_pump.context) != 0 ? status::quit_requested : status::ok;
    return platform::dispatch_thread_messages() ? status::quit_requested : status::ok;
}

status_t pump_messages(uint32_t wait_ms) {
    // A zero wait lets the window repaint once; it does not wait for the clock to tick.
    if (wait_ms == 0)
        return pump_once();
    const uint32_t start = platform::monotonic_ms();
    for (;;) {
        if (status_t result = pump_once(); result != status::ok)
            return result;
        const uint32_t elapsed = platform::monotonic_ms() - start;
        if (elapsed > wait_ms)
            return status::ok;
        // Sleep until the clock has moved past the wait, giving an installed pump its turns.
        uint32_t pause = wait_ms - elapsed + 1;
        if (const uint32_t slice = pump_slice_ms(); slice != 0 && pause > slice)
            pause = slice;
        platform::sleep_ms(pause);
    }
}

void report_progress(uint32_t kind, uint32_t address) {
    platform::post_progress_message(kind, address);
    if (thread_progress.handler != nullptr)
        thread_progress.handler(thread_progress.context, kind, address);
}

} // namespace vortlink

extern "C" {

VORTLINK_API int16_t tkcmdset_set_message_pump(int (*pump)(void *context), void *context) {
    vortlink::thread_pump = {pump, context};
    return vortlink::status::ok;
}

VORTLINK_API int16_t tkcmdset_set_progress_handler(void (*handler)(void *context, uint32_t kind,
                                                                   uint32_t address),
                                                   void *context) {
    vortlink::thread_progress = {handler, context};
    return vortlink::status::ok;
}
}
