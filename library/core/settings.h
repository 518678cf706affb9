#pragma once
// The library's settings key and the routines that read and write its values. The key is per
// process and shared by its threads; every routine may be called from any thread, and from the
// library's load and unload hooks.

#include <cstdint>

#include "core/status.h"

namespace vortlink {

inline constexpr const char *library_settings_key =
    "Software\\Kestrova\\Quorrel\\Command Set Toolkit";

// Closes the open key, then opens (creating when missing) key_path. -10600 on failure, which
// leaves no key open.
status_t open_settings_key(const char *key_path);
status_t close_settings_key();

// Reads a value's data: a string as its characters and a terminating zero, a DWORD as four
// bytes in host order. -10601 no key open, -10602 missing or not fitting the buffer.
status_t read_setting(const char *name, void *buffer, uint32_t size);
status_t write_setting_string(const char *name, const char *text); // -10601, -10603
status_t write_setting_dword(const char *name, uint32_t value);    // -10601, -10603

// Read; when that fails store the default and read again (-10602 if the second read fails).
// Unlike read_setting they look at the stored type: read_setting_string takes only a string
// value (a buffer too small for it also counts as a failed read), read_setting_dword a DWORD or
// a string holding a plain decimal or 0x-prefixed hex number. Anything else is replaced by the
// default. A null buffer gives -10602 without writing anything.
status_t read_setting_string(const char *name, const char *default_text, char *buffer,
                             uint32_t size);
status_t read_setting_dword(const char *name, uint32_t default_value, uint32_t &value);
// read_setting_dword for a value that only has meaning from lowest to highest: a value outside
// counts as a failed read, so the default is stored in its place.
status_t read_setting_dword_within(const char *name, uint32_t default_value, uint32_t lowest,
                                    uint32_t highest, uint32_t &value);

} // namespace vortlink
