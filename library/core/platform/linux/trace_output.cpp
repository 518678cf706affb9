#include "core/platform/trace_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <string>

#include "core/platform/text_file.h"

namespace vortlink::platform {

bool write_error_line(std::string_view line) {
    return write_all(STDERR_FILENO, line);
}

append_result append_line(const char *path, std::string_view line, const char *&refusal) {
    // No link is followed (a link planted in a shared directory must not redirect the trace),
    // and a FIFO without a reader neither blocks the open nor, being refused, any write.
    unique_fd fd(::open(path,
                        O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW |
                            O_NONBLOCK,
                        0600));
    if (!fd.valid()) {
        refusal = errno == ELOOP ? "it is a symbolic link"
                  : errno == EISDIR ? "it is a directory"
                                    : "it cannot be opened";
        return append_result::refused;
    }
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        refusal = "it is not a regular file";
        return append_result::refused;
    }
    // A file that another user created first, however open its mode, would let that user read
    // every frame.
    if (status.st_uid != ::geteuid()) {
        refusal = "it belongs to another user";
        return append_result::refused;
    }
    // One write call per line: with O_APPEND the line lands whole at the end of the file.
    const bool written = write_all(fd.get(), line);
    return fd.close() && written ? append_result::written : append_result::failed;
}

std::string utc_timestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(now.tv_nsec / 1000000));
    return text;
}

} // namespace vortlink::platform
