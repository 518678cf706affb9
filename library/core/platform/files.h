#pragma once
// File-system queries the library needs outside of its settings and catalogue readers.

#include <cstdint>
#include <string>

namespace vortlink::platform {

bool is_regular_file(const std::string &path);

// Why the existing file at path cannot be trusted to hold what this user put there: it belongs
// to a user other than this one or the system (root), or others than its owner may write it.
// nullptr when it can be trusted or does not exist.
const char *foreign_file_reason(const std::string &path);

// flock(descriptor, operation) without an unbounded wait: retried in short sleeps for at most
// limit_ms (at least one try). False when the lock was not had in that time or flock failed.
bool lock_file_within(int descriptor, int operation, uint32_t limit_ms);

// Directory of the loaded library file (or program) that holds this code, with a trailing '/';
// empty when it cannot be found.
std::string own_binary_directory();

} // namespace vortlink::platform
