#pragma once
// File-system queries the library needs outside of its settings and catalogue readers.

#include <cstddef>
#include <string>

namespace vortlink::platform {

// The separator of directories in this system's paths.
extern const char path_separator;

// The process's current directory, zero-terminated; false when it does not fit in size bytes.
bool current_directory(char *buffer, std::size_t size);

bool is_regular_file(const std::string &path);

// Why the existing file at path cannot be trusted to hold what this user put there: it belongs
// to a user other than this one or the system (root), or others than its owner may write it.
// nullptr when it can be trusted or does not exist.
const char *foreign_file_reason(const std::string &path);

// Directory of the loaded library file (or program) that holds this code, with a trailing '/';
// empty when it cannot be found.
std::string own_binary_directory();

} // namespace vortlink::platform
