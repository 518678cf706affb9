#pragma once
// The utility's own settings key, kept in the same per-user file format as the library's. One
// key is open per process; every value is a string.

#include <cstddef>

#include "common/status.h"

namespace vortlink::loader {

inline constexpr const char *loader_settings_key = "Software\\Kestrova\\Quorrel\\H8 Userloader";
// Room the dialog gives every value, terminating zero included: longer values are replaced by
// their default when read.
inline constexpr std::size_t setting_buffer_size = 260;

namespace status {
inline constexpr status_t settings_open_failed = -10600;
inline constexpr status_t settings_not_open = -10601;
inline constexpr status_t setting_read_failed = -10602;
inline constexpr status_t setting_write_failed = -10603;
} // namespace status

// Opens (creating when missing) the key "Software\..." for the rest of the process.
status_t OpenSettingsKey(const char *subkey);
// Forgets the open key (the next reads and writes give settings_not_open).
void CloseSettingsKey();

// Copies the value into buffer (at most size bytes with its terminating zero). A value that is
// missing, unreadable or does not fit is first replaced by default_text. A failed read leaves
// the buffer as it was.
status_t ReadSetting(const char *name, const char *default_text, char *buffer, std::size_t size);
status_t WriteSetting(const char *name, const char *text);

} // namespace vortlink::loader
