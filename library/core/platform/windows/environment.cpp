#include "core/platform/environment.h"

#include <windows.h>

#include <cstdlib>

namespace vortlink::platform {

// Both the C runtime's copy (getenv) and the process's own block (GetEnvironmentVariable).
bool set_environment_variable(const char *name, const char *value) {
    return ::_putenv_s(name, value) == 0 && ::SetEnvironmentVariableA(name, value) != 0;
}

} // namespace vortlink::platform
