// On Windows the settings live where the design keeps them: values of a key under
// HKEY_CURRENT_USER, REG_SZ (stored with their terminating zero) and REG_DWORD. The "file" of a
// key is the key path itself. Every read opens the key afresh, so it sees what another process
// or the user wrote meanwhile; the registry makes each value's write atomic.
#include "core/platform/settings_file.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace vortlink::platform {

namespace {
class open_key {
  public:
    open_key(const std::string &path, REGSAM access, bool create) {
        const LSTATUS opened =
            create ? RegCreateKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, access, nullptr, &key_, nullptr)
                   : RegOpenKeyExA(HKEY_CURRENT_USER, path.c_str(), 0, access, &key_);
        if (opened != ERROR_SUCCESS)
            key_ = nullptr;
    }
    ~open_key() {
        if (key_ != nullptr)
            RegCloseKey(key_);
    }
    open_key(const open_key &) = delete;
    open_key &operator=(const open_key &) = delete;
    HKEY get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

// The settings values are small; anything larger is not one of ours.
constexpr DWORD largest_value = 64 * 1024;
} // namespace

std::string settings_file_for_key(std::string_view key_path) {
    if (key_path.empty() || key_path.front() == '\\' || key_path.back() == '\\')
        return {};
    std::size_t begin = 0;
    while (begin <= key_path.size()) {
        const std::size_t end = std::min(key_path.find('\\', begin), key_path.size());
        const std::string_view part = key_path.substr(begin, end - begin);
        if (part.empty() || part == "." || part == ".." || part.find('/') != std::string_view::npos)
            return {};
        begin = end + 1;
    }
    return std::string(key_path);
}

bool create_settings_file(const std::string &file) {
    return open_key(file, KEY_ALL_ACCESS, true).get() != nullptr;
}

std::optional<setting_value> read_setting_value(const std::string &file, std::string_view name) {
    const open_key key(file, KEY_QUERY_VALUE, false);
    if (key.get() == nullptr || name.empty())
        return std::nullopt;
    const std::string value_name(name);
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), value_name.c_str(), nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS ||
        size > largest_value)
        return std::nullopt;
    std::string data(size, '\0');
    if (RegQueryValueExA(key.get(), value_name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE *>(data.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);
    setting_value value;
    if (type == REG_DWORD && size == sizeof value.dword) {
        value.type = setting_value::kind::dword;
        std::memcpy(&value.dword, data.data(), sizeof value.dword);
        return value;
    }
    if (type != REG_SZ)
        return std::nullopt; // another type is not a value of ours: it reads as missing
    // Stored with its terminator, or without one by a careless writer; a zero inside ends it.
    value.text = data.substr(0, data.find('\0'));
    return value;
}

bool write_setting_value(const std::string &file, std::string_view name,
                         const setting_value &value) {
    if (name.empty() || name.find('\0') != std::string_view::npos)
        return false;
    if (value.type == setting_value::kind::string &&
        value.text.find('\0') != std::string::npos)
        return false;
    const open_key key(file, KEY_SET_VALUE, true);
    if (key.get() == nullptr)
        return false;
    const std::string value_name(name);
    if (value.type == setting_value::kind::dword)
        return RegSetValueExA(key.get(), value_name.c_str(), 0, REG_DWORD,
                              reinterpret_cast<const BYTE *>(&value.dword),
                              sizeof value.dword) == ERROR_SUCCESS;
    return RegSetValueExA(key.get(), value_name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE *>(value.text.c_str()),
                          static_cast<DWORD>(value.text.size() + 1)) == ERROR_SUCCESS;
}

} // namespace vortlink::platform
