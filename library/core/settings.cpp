#include "core/settings.h"

#include <charconv>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>

#include "core/platform/settings_file.h"
#include "core/platform/static_mutex.h"
#include "core/platform/text_file.h"

namespace vortlink {

namespace {

// These routines run from the library's load and unload hooks, possibly before any dynamic
// initialiser of this library has run: the key's state is constant-initialised and needs no
// destructor.
constinit platform::static_mutex key_mutex;
// The open key's file; empty when no key is open. Guarded by key_mutex.
constinit char key_file[PATH_MAX] = {};

bool key_is_open() {
    return key_file[0] != '\0';
}

// A hand-edited file may hold "TCP Port=1234" or "TCP Port=0x4d2" where a DWORD is expected.
bool parse_number(std::string_view text, uint32_t &number) {
    text = platform::trim_blanks(text);
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    if (text.empty())
        return false;
    uint32_t parsed = 0;
    const char *end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, parsed, base);
    if (result.ec != std::errc() || result.ptr != end)
        return false;
    number = parsed;
    return true;
}

std::optional<platform::setting_value> read_value(const char *name) {
    if (name == nullptr)
        return std::nullopt;
    return platform::read_setting_value(key_file, name);
}

// The stored type is not compared: the caller gets the value's data as it is stored.
status_t read_raw_locked(const char *name, void *buffer, uint32_t size) {
    const std::optional<platform::setting_value> value = read_value(name);
    if (!value || buffer == nullptr)
        return status::setting_read_failed;
    if (value->type == platform::setting_value::kind::dword) {
        if (size < sizeof value->dword)
            return status::setting_read_failed;
        std::memcpy(buffer, &value->dword, sizeof value->dword);
        return status::ok;
    }
    if (value->text.size() >= size)
        return status::setting_read_failed;
    std::memcpy(buffer, value->text.c_str(), value->text.size() + 1);
    return status::ok;
}

// Only a string value counts: four bytes of a DWORD would leave the caller's text unterminated.
status_t read_string_locked(const char *name, char *buffer, uint32_t size) {
    const std::optional<platform::setting_value> value = read_value(name);
    if (!value || value->type != platform::setting_value::kind::string ||
        value->text.size() >= size)
        return status::setting_read_failed;
    std::memcpy(buffer, value->text.c_str(), value->text.size() + 1);
    return status::ok;
}

status_t read_dword_locked(const char *name, uint32_t &number) {
    const std::optional<platform::setting_value> value = read_value(name);
    if (!value)
        return status::setting_read_failed;
    if (value->type == platform::setting_value::kind::dword) {
        number = value->dword;
        return status::ok;
    }
    return parse_number(value->text, number) ? status::ok : status::setting_read_failed;
}

status_t write_locked(const char *name, const platform::setting_value &value) {
    if (name == nullptr || !platform::write_setting_value(key_file, name, value))
        return status::setting_write_failed;
    return status::ok;
}

status_t write_string_locked(const char *name, const char *text) {
    if (text == nullptr)
        return status::setting_write_failed;
    platform::setting_value value;
    value.text = text;
    return write_locked(name, value);
}

status_t write_dword_locked(const char *name, uint32_t number) {
    platform::setting_value value;
    value.type = platform::setting_value::kind::dword;
    value.dword = number;
    return write_locked(name, value);
}

} // namespace

status_t open_settings_key(const char *key_path) {
    const std::lock_guard lock(key_mutex);
    key_file[0] = '\0';
    if (key_path == nullptr)
        return status::settings_open_failed;
    const std::string file = platform::settings_file_for_key(key_path);
    if (file.empty() || file.size() >= sizeof key_file || !platform::create_settings_file(file))
        return status::settings_open_failed;
    std::memcpy(key_file, file.c_str(), file.size() + 1);
    return status::ok;
}

status_t close_settings_key() {
    const std::lock_guard lock(key_mutex);
    key_file[0] = '\0';
    return status::ok;
}

status_t read_setting(const char *name, void *buffer, uint32_t size) {
    const std::lock_guard lock(key_mutex);
    if (!key_is_open())
        return status::settings_not_open;
    return read_raw_locked(name, buffer, size);
}

status_t write_setting_string(const char *name, const char *text) {
    const std::lock_guard lock(key_mutex);
    if (!key_is_open())
        return status::settings_not_open;
    return write_string_locked(name, text);
}

status_t write_setting_dword(const char *name, uint32_t value) {
    const std::lock_guard lock(key_mutex);
    if (!key_is_open())
        return status::settings_not_open;
    return write_dword_locked(name, value);
}

status_t read_setting_string(const char *name, const char *default_text, char *buffer,
                             uint32_t size) {
    const std::lock_guard lock(key_mutex);
    if (!key_is_open())
        return status::settings_not_open;
    // Without a buffer every read fails, and the default would be written over a good value.
    if (buffer == nullptr)
        return status::setting_read_failed;
    if (read_string_locked(name, buffer, size) == status::ok)
        return status::ok;
    if (const status_t written = write_string_locked(name, default_text); written != status::ok)
        return written;
    return read_string_locked(name, buffer, size);
}

status_t read_setting_dword(const char *name, uint32_t default_value, uint32_t &value) {
    const std::lock_guard lock(key_mutex);
    if (!key_is_open())
        return status::settings_not_open;
    if (read_dword_locked(name, value) == status::ok)
        return status::ok;
    if (const status_t written = write_dword_locked(name, default_value); written != status::ok)
        return written;
    return read_dword_locked(name, value);
}

status_t read_setting_dword_within(const char *name, uint32_t default_value, uint32_t lowest,
                                    uint32_t highest, uint32_t &value) {
    const std::lock_guard lock(key_mutex);
    if (!key_is_open())
        return status::settings_not_open;
    if (read_dword_locked(name, value) == status::ok && value >= lowest && value <= highest)
        return status::ok;
    if (const status_t written = write_dword_locked(name, default_value); written != status::ok)
        return written;
    if (read_dword_locked(name, value) != status::ok || value < lowest || value > highest)
        return status::setting_read_failed;
    return status::ok;
}

} // namespace vortlink
