#include "production_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "output.h"
#include "text_input.h"

namespace vortlink::ctl {

production_log::~production_log() {
    if (fd_ >= 0)
        ::close(fd_);
}

bool production_log::open(const std::string &path, std::string &message) {
    platform::unique_fd file = open_regular_file(path, file_use::append, message);
    if (!file.valid()) {
        message = "--log " + message;
        return false;
    }
    const int fd = file.release();
    // The file's name must survive a power cut as well as its lines.
    const std::string::size_type slash = path.rfind('/');
    const std::string directory =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    if (const int dir_fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        dir_fd >= 0) {
        (void)::fsync(dir_fd);
        ::close(dir_fd);
    }
    fd_ = fd;
    path_ = path;
    return true;
}

bool production_log::append(const nlohmann::ordered_json &entry, std::string &message) {
    const std::string line = json_text(entry, -1) + "\n";
    std::lock_guard lock(mutex_);
    ssize_t written = -1;
    do {
        written = ::write(fd_, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    if (written != static_cast<ssize_t>(line.size())) {
        message = "--log '" + path_ + "': the record was not written whole: " +
                  (written < 0 ? std::strerror(errno) : "short write");
        return false;
    }
    if (::fsync(fd_) != 0) {
        message = "--log '" + path_ + "': " + std::strerror(errno);
        return false;
    }
    return true;
}

std::string production_log::utc_now() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    return text;
}

} // namespace vortlink::ctl
