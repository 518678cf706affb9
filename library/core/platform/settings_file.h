#pragma once
// Per-user settings. On Windows they are the values of the key under HKEY_CURRENT_USER (REG_SZ,
// REG_DWORD), and a key's "file" is its key path. On Linux they are stored in a plain file, one
// value per line:
//   Name=text                 a string value, stored raw
//   Name=dword:000004d2       a 32-bit number, 8 hex digits
// The file of the key "Software\A\B\C" is ${XDG_CONFIG_HOME:-$HOME/.config}/A/B/C.conf.
// Value names compare without regard to case. Every read sees the file as it is now. Writes
// rewrite the file atomically (temporary file, then rename) with mode 0600, under an flock on the
// directory so that writers in different processes never lose each other's values; a write that
// waits 300 ms for that lock while no other write completes fails and changes nothing. A damaged
// line (no '=', empty name, "dword:" without exactly 8 hex digits, a NUL byte, over 64 KiB) is
// ignored on read and kept unchanged on write; only well-formed lines name a value, and the first
// of them wins. Lines may end in LF or CRLF.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vortlink::platform {

// Empty when neither XDG_CONFIG_HOME nor HOME gives an absolute directory, or when a part of the
// key is empty, "." or "..", or holds a '/'.
std::string settings_file_for_key(std::string_view key_path);

// Creates the file's directories (mode 0700) and, when missing, an empty file (mode 0600).
bool create_settings_file(const std::string &file);

struct setting_value {
    enum class kind { string, dword } type = kind::string;
    std::string text;   // string values
    uint32_t dword = 0; // dword values
};

// The stored value as it is, without interpreting it; nullopt when the file or the value is
// missing or unreadable.
std::optional<setting_value> read_setting_value(const std::string &file, std::string_view name);
// Replaces the first line of that name or appends one; directories are created as needed. False,
// with the file unchanged, for a name that is empty or holds '=', CR or LF, and for a string
// that holds CR, LF or NUL or begins with "dword:" (it could not be read back as written).
bool write_setting_value(const std::string &file, std::string_view name,
                         const setting_value &value);

} // namespace vortlink::platform
