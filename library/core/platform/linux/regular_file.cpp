// Regular files on POSIX descriptors.

#include "core/platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vortlink::platform {

namespace {

int descriptor(intptr_t handle) {
    return static_cast<int>(handle);
}

// A refusal of O_NOFOLLOW reads as a loop of links, and a FIFO without a reader as a missing
// device: look at what the path is instead.
path_kind refusal_of(const std::string &path, int error) {
    if (error == ENOENT)
        return path_kind::missing;
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return path_kind::symbolic_link;
        if (!S_ISREG(info.st_mode))
            return path_kind::other;
    }
    return path_kind::unknown;
}

} // namespace

long regular_file::read(void *buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(descriptor(handle_), buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

long regular_file::write_once(const void *bytes, std::size_t size) {
    for (;;) {
        const ssize_t written = ::write(descriptor(handle_), bytes, size);
        if (written >= 0 || errno != EINTR)
            return written;
    }
}

std::optional<uint64_t> regular_file::size() const {
    struct stat info {};
    if (::fstat(descriptor(handle_), &info) != 0)
        return std::nullopt;
    return static_cast<uint64_t>(info.st_size);
}

bool regular_file::flush_to_disk() {
    return ::fsync(descriptor(handle_)) == 0;
}

bool regular_file::close() {
    if (handle_ < 0)
        return true;
    return ::close(descriptor(std::exchange(handle_, -1))) == 0;
}

regular_file open_regular_file(const std::string &path, file_use use, path_kind &refusal,
                               std::string &reason) {
    int flags = O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK;
    switch (use) {
    case file_use::read:
        flags |= O_RDONLY;
        break;
    case file_use::append:
        flags |= O_WRONLY | O_APPEND | O_CREAT;
        break;
    case file_use::replace:
        flags |= O_WRONLY | O_CREAT;
        break;
    }
    regular_file file;
    refusal = path_kind::unknown;
    const int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        const int error = errno;
        refusal = refusal_of(path, error);
        reason = std::strerror(error);
        return file;
    }
    file.handle_ = fd;
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        reason = std::strerror(errno);
        return regular_file();
    }
    if (!S_ISREG(info.st_mode)) {
        refusal = path_kind::other;
        reason = "not a regular file";
        return regular_file();
    }
    // Blocking as usual from here on; nothing is emptied before the checks passed.
    const int status_flags = ::fcntl(fd, F_GETFL);
    if (status_flags < 0 || ::fcntl(fd, F_SETFL, status_flags & ~O_NONBLOCK) != 0 ||
        (use == file_use::replace && ::ftruncate(fd, 0) != 0)) {
        reason = std::strerror(errno);
        return regular_file();
    }
    refusal = path_kind::regular;
    return file;
}

path_kind inspect_path(const std::string &path, std::string &reason) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return path_kind::missing;
        reason = std::strerror(errno);
        return path_kind::unknown;
    }
    if (S_ISLNK(info.st_mode))
        return path_kind::symbolic_link;
    return S_ISREG(info.st_mode) ? path_kind::regular : path_kind::other;
}

void sync_parent_directory(const std::string &path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir_fd >= 0) {
        (void)::fsync(dir_fd);
        ::close(dir_fd);
    }
}

std::string last_system_error() {
    return std::strerror(errno);
}

} // namespace vortlink::platform
