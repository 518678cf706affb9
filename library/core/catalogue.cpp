#include "core/catalogue.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "core/platform/files.h"
#include "core/platform/ini_file.h"
#include "core/platform/shared_segment.h"
#include "core/platform/trace_output.h"
#include "core/platform/version_info.h"
#include "core/settings.h"
#include "core/state.h"

namespace vortlink {

namespace {
constexpr const char *default_catalogue_setting = ".\\ecodes.ini";
constexpr const char *catalogue_file_name = "ecodes.ini";

bool is_default_setting(const char *setting) {
    return std::strcmp(setting, default_catalogue_setting) == 0 ||
           std::strcmp(setting, "./ecodes.ini") == 0;
}

// The catalogue that ships with the library: next to it in a build tree, under share/ of the
// same install tree when installed (found relative to the library, so the tree may be moved).
std::string installed_catalogue() {
    const std::string directory = platform::own_binary_directory();
    if (directory.empty())
        return {};
    for (const std::string &candidate :
         {directory + catalogue_file_name,
          directory + VORTLINK_DATA_FROM_LIBDIR + catalogue_file_name}) {
        if (platform::is_regular_file(candidate))
            return candidate;
    }
    return {};
}

int16_t look_up(int16_t code, const char *key, const char *default_text, char *buffer,
                uint16_t size) {
    if (buffer == nullptr || size == 0)
        return status::ok;
    const std::string path = catalogue_path();
    char section[8];
    std::snprintf(section, sizeof section, "%d", code);
    platform::read_ini_string(path.c_str(), section, key, default_text, buffer, size);
    return status::ok;
}
} // namespace

std::string resolve_catalogue_path(const char *setting, const char *working_directory) {
    if (setting[0] != '.')
        return setting;
    const char *file_name = setting;
    for (const char *cursor = setting; *cursor != '\0'; ++cursor)
        if (*cursor == '/' || *cursor == '\\')
            file_name = cursor + 1;
    std::string path = working_directory != nullptr ? working_directory : "";
    if (!path.empty() && path.back() != platform::path_separator)
        path += platform::path_separator;
    return path + file_name;
}

std::string catalogue_path() {
    // A value of another type comes back without a terminator; the last byte always ends it.
    char setting[platform::working_directory_size] = {};
    if (read_setting("ErrorCodesFile", setting, sizeof setting - 1) != status::ok)
        std::strcpy(setting, default_catalogue_setting);
    const platform::shared_data *shared = shared_state();
    std::string path =
        resolve_catalogue_path(setting, shared != nullptr ? shared->working_directory : nullptr);
    // A catalogue that another user could have put there (a shared working directory such as
    // /tmp) could rename any code, so it is treated as missing.
    if (const char *why = platform::foreign_file_reason(path)) {
        std::string installed = installed_catalogue();
        static std::atomic_flag told = ATOMIC_FLAG_INIT;
        if (!told.test_and_set())
            (void)platform::write_error_notice("the error catalogue " + path + " is not used (" +
                                               why + "); using " +
                                               (installed.empty() ? "none" : installed));
        return installed;
    }
    if (is_default_setting(setting) && !platform::is_regular_file(path)) {
        std::string installed = installed_catalogue();
        if (!installed.empty())
            return installed;
    }
    return path;
}

} // namespace vortlink

extern "C" {

VORTLINK_API int16_t tkcmdset_get_error_name(int16_t code, char *buffer, uint16_t size) {
    return vortlink::look_up(code, "Name", "Unknown Error", buffer, size);
}

VORTLINK_API int16_t tkcmdset_get_error_text(int16_t code, char *buffer, uint16_t size) {
    return vortlink::look_up(code, "Text", "No further information", buffer, size);
}

VORTLINK_API uint16_t tkcmdset_get_dll_version(void) {
    return vortlink::platform::library_version_word();
}
}
