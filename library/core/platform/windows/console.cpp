// The Windows console: UTF-8 output, and lines redrawn through its virtual-terminal mode where
// the console has one.

#include <windows.h>

#include "core/platform/console.h"

namespace vortlink::platform {

namespace {
bool redraws_lines = false;
} // namespace

void prepare_console() {
    (void)::SetConsoleOutputCP(CP_UTF8);
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    // Not a console (a pipe, a file), or one without the mode: plain lines.
    redraws_lines = output != INVALID_HANDLE_VALUE && ::GetConsoleMode(output, &mode) &&
                    ::SetConsoleMode(output, mode | ENABLE_PROCESSED_OUTPUT |
                                                 ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

bool output_redraws_lines() {
    return redraws_lines;
}

} // namespace vortlink::platform
