#include "core/platform/environment.h"

#include <cstdlib>

namespace vortlink::platform {

bool set_environment_variable(const char *name, const char *value) {
    return ::setenv(name, value, 1) == 0;
}

} // namespace vortlink::platform
