#include "core/platform/text_file.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The descriptor flags that only POSIX systems have mean nothing on Windows, where files are
// read in binary.
#if defined(_WIN32)
#define O_CLOEXEC O_BINARY
#define O_NONBLOCK 0
#define O_NOCTTY 0
#endif

namespace vortlink::platform {

unique_fd &unique_fd::operator=(unique_fd &&other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.release();
    }
    return *this;
}

unique_fd::~unique_fd() {
    close();
}

int unique_fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool unique_fd::close() {
    if (fd_ < 0)
        return true;
    // Linux releases the descriptor even when close reports EINTR, so it is never retried.
    const int result = ::close(fd_);
    fd_ = -1;
    return result == 0;
}

file_read read_small_file(const char *path, std::size_t max_size, std::string &contents) {
    contents.clear();
    // O_NONBLOCK keeps the open itself from waiting for a writer when the path names a FIFO.
    unique_fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (!fd.valid())
        return errno == ENOENT || errno == ENOTDIR ? file_read::missing : file_read::failed;

    struct stat info {};
    if (fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<unsigned long long>(info.st_size) > max_size)
        return file_read::failed;

    // The size is only a hint: the file may grow or shrink while it is read.
    char chunk[16384];
    for (;;) {
        const ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            contents.clear();
            return file_read::failed;
        }
        if (got == 0)
            break;
        if (contents.size() + static_cast<std::size_t>(got) > max_size) {
            contents.clear();
            return file_read::failed;
        }
        contents.append(chunk, static_cast<std::size_t>(got));
    }
    return file_read::ok;
}

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        // Windows' write takes an unsigned int count: a chunk at a time.
        const auto chunk = static_cast<unsigned>(std::min<std::size_t>(data.size(), 1u << 30));
        const auto written = ::write(fd, data.data(), chunk);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
    const auto lower = [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i]))
            return false;
    return true;
}

std::string_view trim_blanks(std::string_view text) {
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == text.npos)
        return {};
    const std::size_t last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

} // namespace vortlink::platform
