#pragma once
// Where frame-trace lines go: standard error or the end of a file. Nothing above this layer
// writes files directly.

#include <string>
#include <string_view>

namespace vortlink::platform {

// Writes one whole line (the caller includes the line end) to standard error.
bool write_error_line(std::string_view line);

// Appends one whole line to the file at path, creating it (mode 0644) when missing. Opened per
// line with O_APPEND so that lines from several processes and threads never interleave.
bool append_line(const char *path, std::string_view line);

// The wall-clock time as "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC).
std::string utc_timestamp();

} // namespace vortlink::platform
