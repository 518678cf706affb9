#include "core/platform/files.h"

#include "core/platform/windows/user_identity.h"

#include <aclapi.h>
#include <windows.h>

namespace vortlink::platform {

const char path_separator = '\\';

bool current_directory(char *buffer, std::size_t size) {
    if (size == 0 || size > MAXDWORD)
        return false;
    const DWORD length = GetCurrentDirectoryA(static_cast<DWORD>(size), buffer);
    return length != 0 && length < size;
}

bool is_regular_file(const std::string &path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0;
}

const char *foreign_file_reason(const std::string &path) {
    if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
        return nullptr;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return "its owner cannot be read";
    const char *why = nullptr;
    if (!is_trusted_owner(owner))
        why = "it belongs to another user";
    else if (others_may(descriptor, FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER))
        why = "others may write to it";
    LocalFree(descriptor);
    return why;
}

std::string own_binary_directory() {
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&own_binary_directory), &module))
        return {};
    char path[MAX_PATH + 1];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return {};
    std::string directory(path, length);
    const auto separator = directory.find_last_of("\\/");
    if (separator == std::string::npos)
        return {};
    directory.resize(separator + 1);
    return directory;
}

} // namespace vortlink::platform
