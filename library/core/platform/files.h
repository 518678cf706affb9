#pragma once
// File-system queries the library needs outside of its settings and catalogue readers.

#include <string>

namespace vortlink::platform {

bool is_regular_file(const std::string &path);

// Directory of the loaded library file (or program) that holds this code, with a trailing '/';
// empty when it cannot be found.
std::string own_binary_directory();

} // namespace vortlink::platform
