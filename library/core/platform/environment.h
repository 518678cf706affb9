#pragma once
// The process's environment variables, which the library reads as it goes.

namespace vortlink::platform {

// Sets name to value for this process and what it loads; false when the system refused.
bool set_environment_variable(const char *name, const char *value);

} // namespace vortlink::platform
