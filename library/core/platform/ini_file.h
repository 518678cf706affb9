#pragma once
// A small INI reader: "[section]" lines, "key=value" lines, names compared without regard to
// case, blanks around names and values trimmed, first match wins. A missing file, section or
// key gives the default. Never reads past a buffer; a file of any content is safe.

#include <cstddef>

namespace vortlink::platform {

// Copies the value (or default_text) into buffer, at most size - 1 characters and a zero.
// Size 0 writes nothing. Returns the number of characters copied.
std::size_t read_ini_string(const char *path, const char *section, const char *key,
                            const char *default_text, char *buffer, std::size_t size);

} // namespace vortlink::platform
