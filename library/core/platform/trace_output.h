#pragma once
// Where frame-trace lines go: standard error or the end of a file. Nothing above this layer
// writes files directly.

#include <string>
#include <string_view>

namespace vortlink::platform {

// Writes one whole line (the caller includes the line end) to standard error.
bool write_error_line(std::string_view line);
// Writes "vortlink: " and the text as one line to standard error, every control character of the
// text shown as \xHH so that names from files and the environment cannot drive the terminal.
bool write_error_notice(std::string_view text);

enum class append_result { written, failed, refused };

// Appends one whole line to the regular file at path, creating it (mode 0600, readable by its
// owner alone) when missing. Opened per line with O_APPEND so that lines from several processes
// and threads never interleave. `refused`, with the reason, when path is a symbolic link, a
// directory, a FIFO or anything else that is not a regular file, belongs to another user, or
// cannot be opened.
append_result append_line(const char *path, std::string_view line, const char *&refusal);

// The wall-clock time as "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC).
std::string utc_timestamp();

} // namespace vortlink::platform
