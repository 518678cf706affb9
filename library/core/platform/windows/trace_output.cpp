#include "core/platform/trace_output.h"

#include "core/platform/windows/user_identity.h"

#include <aclapi.h>
#include <windows.h>

#include <cstdio>

namespace vortlink::platform {

namespace {
bool write_whole(HANDLE file, std::string_view data) {
    while (!data.empty()) {
        const DWORD chunk = data.size() > 0x10000 ? 0x10000 : static_cast<DWORD>(data.size());
        DWORD written = 0;
        if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0)
            return false;
        data.remove_prefix(written);
    }
    return true;
}
} // namespace

bool write_error_line(std::string_view line) {
    HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    return error != nullptr && error != INVALID_HANDLE_VALUE && write_whole(error, line);
}

append_result append_line(const char *path, std::string_view line, const char *&refusal) {
    // Appending only: every write lands at the end of the file, whole, whoever else appends.
    // A reparse point (a link planted in a shared directory) is opened as itself, not followed.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA | READ_CONTROL,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD attributes = GetFileAttributesA(path);
        const bool directory = attributes != INVALID_FILE_ATTRIBUTES &&
                               (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        refusal = directory ? "it is a directory" : "it cannot be opened";
        return append_result::refused;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    refusal = nullptr;
    if (GetFileType(file) != FILE_TYPE_DISK || !GetFileInformationByHandle(file, &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        refusal = "it is not a regular file";
    else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        refusal = "it is a symbolic link";
    else {
        // A file that another user created first could let that user read every frame.
        PSID owner = nullptr;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                            nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
            !is_trusted_owner(owner))
            refusal = "it belongs to another user";
        if (descriptor != nullptr)
            LocalFree(descriptor);
    }
    if (refusal != nullptr) {
        CloseHandle(file);
        return append_result::refused;
    }
    const bool written = write_whole(file, line);
    return CloseHandle(file) && written ? append_result::written : append_result::failed;
}

std::string utc_timestamp() {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    return text;
}

} // namespace vortlink::platform
