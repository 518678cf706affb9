#pragma once
// A small INI reader: "[section]" lines, "key=value" lines, names compared without regard to
// case, blanks around names and values trimmed, first match wins. A missing file, section or
// key gives the default. Never reads past a buffer; a file of any content is safe.
// Lines end in LF or CRLF; lines starting with ';' or '#' are comments; a UTF-8 byte order mark
// at the start is skipped; a line holding a NUL byte is ignored. A key=value line before the
// first section header belongs to no section. Values are returned as written, quotes included.
// The whole file is read on every call, so a change to it is seen at once.

#include <cstddef>

namespace vortlink::platform {

// Copies the value (or default_text) into buffer, at most size - 1 characters and a zero.
// Size 0 (or a null buffer) writes nothing. A null default_text counts as "". Returns the number
// of characters copied, the zero not counted.
std::size_t read_ini_string(const char *path, const char *section, const char *key,
                            const char *default_text, char *buffer, std::size_t size);

} // namespace vortlink::platform
