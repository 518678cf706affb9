#pragma once
// Where the error catalogue is, and look-ups in it.

#include <cstdint>
#include <string>

namespace vortlink {

// Resolves the "ErrorCodesFile" value: a path starting with '.' keeps only its file name and
// extension ('/' and '\' both separate) and is joined to the recorded working directory; any
// other path is used as it is.
std::string resolve_catalogue_path(const char *setting, const char *working_directory);

// The catalogue file a look-up reads right now, after the settings and the fallback to the
// catalogue installed with the library.
std::string catalogue_path();

} // namespace vortlink
