// Regular files on Win32 handles. A name is opened as itself, never through a reparse point
// (symbolic link or junction), and only a file on a disk is taken.

#include <windows.h>

#include <string>
#include <utility>

#include "core/platform/regular_file.h"

namespace vortlink::platform {

namespace {

HANDLE native(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The UTF-8 path as the system's wide string; empty when it is not valid UTF-8.
std::wstring wide_path(const std::string &path) {
    if (path.empty() || path.size() > 0x7FFF)
        return {};
    const int length = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                                             static_cast<int>(path.size()), nullptr, 0);
    if (length <= 0)
        return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path.data(),
                          static_cast<int>(path.size()), wide.data(), length);
    return wide;
}

path_kind kind_of_attributes(DWORD attributes) {
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return path_kind::symbolic_link;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return path_kind::other;
    return path_kind::regular;
}

std::string system_text(DWORD error) {
    wchar_t *text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string result;
    if (length > 0) {
        const int size = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length),
                                               nullptr, 0, nullptr, nullptr);
        result.resize(static_cast<std::size_t>(size > 0 ? size : 0));
        ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), result.data(), size,
                              nullptr, nullptr);
    }
    if (text != nullptr)
        ::LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.'))
        result.pop_back();
    return result.empty() ? "error " + std::to_string(error) : result;
}

} // namespace

long regular_file::read(void *buffer, std::size_t size) {
    DWORD got = 0;
    const DWORD wanted = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!::ReadFile(native(handle_), buffer, wanted, &got, nullptr))
        return ::GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<long>(got);
}

long regular_file::write_once(const void *bytes, std::size_t size) {
    DWORD written = 0;
    const DWORD count = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!::WriteFile(native(handle_), bytes, count, &written, nullptr))
        return -1;
    return static_cast<long>(written);
}

std::optional<uint64_t> regular_file::size() const {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(native(handle_), &size))
        return std::nullopt;
    return static_cast<uint64_t>(size.QuadPart);
}

bool regular_file::flush_to_disk() {
    return ::FlushFileBuffers(native(handle_)) != 0;
}

bool regular_file::close() {
    if (handle_ == -1)
        return true;
    return ::CloseHandle(native(std::exchange(handle_, -1))) != 0;
}

regular_file open_regular_file(const std::string &path, file_use use, path_kind &refusal,
                               std::string &reason) {
    regular_file file;
    refusal = path_kind::unknown;
    const std::wstring name = wide_path(path);
    if (name.empty()) {
        reason = system_text(ERROR_INVALID_NAME);
        return file;
    }
    DWORD access = GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if (use == file_use::append) {
        // Every write lands at the end, whoever else appends.
        access = FILE_APPEND_DATA | SYNCHRONIZE;
        disposition = OPEN_ALWAYS;
    } else if (use == file_use::replace) {
        access = GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
    }
    const HANDLE handle = ::CreateFileW(name.c_str(), access,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, disposition,
                                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        std::string ignored;
        const path_kind there = inspect_path(path, ignored);
        refusal = there == path_kind::regular ? path_kind::unknown : there;
        reason = system_text(error);
        return file;
    }
    file.handle_ = reinterpret_cast<intptr_t>(handle);
    BY_HANDLE_FILE_INFORMATION information{};
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        refusal = path_kind::other;
        reason = "not a regular file";
        return regular_file();
    }
    if (!::GetFileInformationByHandle(handle, &information)) {
        reason = system_text(::GetLastError());
        return regular_file();
    }
    refusal = kind_of_attributes(information.dwFileAttributes);
    if (refusal != path_kind::regular) {
        reason = "not a regular file";
        return regular_file();
    }
    if (use == file_use::replace && !::SetEndOfFile(handle)) {
        refusal = path_kind::unknown;
        reason = system_text(::GetLastError());
        return regular_file();
    }
    return file;
}

path_kind inspect_path(const std::string &path, std::string &reason) {
    const std::wstring name = wide_path(path);
    if (name.empty()) {
        reason = system_text(ERROR_INVALID_NAME);
        return path_kind::unknown;
    }
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return path_kind::missing;
        reason = system_text(error);
        return path_kind::unknown;
    }
    return kind_of_attributes(attributes);
}

// NTFS journals the names it creates.
void sync_parent_directory(const std::string &) {}

std::string last_system_error() {
    return system_text(::GetLastError());
}

} // namespace vortlink::platform
