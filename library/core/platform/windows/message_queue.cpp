#include "core/platform/message_queue.h"

#include <windows.h>

namespace vortlink::platform {

namespace {
constexpr UINT progress_message = 0x464;
}

bool thread_has_message_queue() {
    // A thread that never called into the window system has no queue, and nothing to dispatch.
    return IsGUIThread(FALSE) != FALSE;
}

bool dispatch_thread_messages() {
    MSG message{};
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam));
            return true;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return false;
}

void post_progress_message(uint32_t kind, uint32_t address) {
    // Without an active window on this thread there is nobody to tell.
    if (HWND window = GetActiveWindow(); window != nullptr)
        PostMessageA(window, progress_message, kind, address);
}

} // namespace vortlink::platform
