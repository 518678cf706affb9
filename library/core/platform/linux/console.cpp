// A POSIX terminal takes UTF-8 and redraws lines as it is.

#include "core/platform/console.h"

#include <unistd.h>

namespace vortlink::platform {

void prepare_console() {}

bool output_redraws_lines() {
    return ::isatty(STDOUT_FILENO) == 1;
}

} // namespace vortlink::platform
