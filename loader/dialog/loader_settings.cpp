#include "dialog/loader_settings.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "core/platform/settings_file.h"

namespace vortlink::loader {

namespace {

// The file of the open key; empty while none is open. Used only from the user-interface thread.
std::string &open_settings_file() {
    static std::string file;
    return file;
}

// The value as the dialog reads it: strings as stored, numbers as decimal text.
bool query_setting(const std::string &file, const char *name, char *buffer, std::size_t size) {
    const std::optional<platform::setting_value> value = platform::read_setting_value(file, name);
    if (!value)
        return false;
    std::string text = value->text;
    if (value->type == platform::setting_value::kind::dword)
        text = std::to_string(value->dword);
    if (text.size() + 1 > size)
        return false;
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

} // namespace

status_t OpenSettingsKey(const char *subkey) {
    if (subkey == nullptr)
        return status::settings_open_failed;
    const std::string file = platform::settings_file_for_key(subkey);
    if (file.empty() || !platform::create_settings_file(file))
        return status::settings_open_failed;
    open_settings_file() = file;
    return status::ok;
}

void CloseSettingsKey() {
    open_settings_file().clear();
}

status_t WriteSetting(const char *name, const char *text) {
    const std::string &file = open_settings_file();
    if (file.empty())
        return status::settings_not_open;
    if (name == nullptr || text == nullptr)
        return status::setting_write_failed;
    platform::setting_value value;
    value.text = text;
    return platform::write_setting_value(file, name, value) ? status::ok
                                                            : status::setting_write_failed;
}

status_t ReadSetting(const char *name, const char *default_text, char *buffer, std::size_t size) {
    const std::string &file = open_settings_file();
    if (file.empty())
        return status::settings_not_open;
    if (name == nullptr || default_text == nullptr || buffer == nullptr || size == 0)
        return status::setting_read_failed;
    if (query_setting(file, name, buffer, size))
        return status::ok;
    if (status_t result = WriteSetting(name, default_text); result != status::ok)
        return result;
    return query_setting(file, name, buffer, size) ? status::ok : status::setting_read_failed;
}

} // namespace vortlink::loader
