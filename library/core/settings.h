#pragma once
// The library's settings key and the routines that read and write its values.

#include <cstdint>

#include "core/status.h"

namespace vortlink {

inline constexpr const char *library_settings_key =
    "Software\\Kestrova\\Quorrel\\Command Set Toolkit";

// Closes the open key, then opens (creating when missing) key_path. -10600 on failure.
status_t open_settings_key(const char *key_path);
status_t close_settings_key();

// Reads a value's data: a string as its characters and a terminating zero, a DWORD as four
// bytes in host order. -10601 no key open, -10602 missing or not fitting the buffer.
status_t read_setting(const char *name, void *buffer, uint32_t size);
status_t write_setting_string(const char *name, const char *text);  // -10601, -10603
status_t write_setting_dword(const char *name, uint32_t value);     // -10601, -10603

// Read; when that fails store the default and read again (-10602 if the second read fails).
status_t read_setting_string(const char *name, const char *default_text, char *buffer,
                             uint32_t size);
status_t read_setting_dword(const char *name, uint32_t default_value, uint32_t &value);

} // namespace vortlink
