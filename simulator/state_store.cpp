#include "state_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "unique_fd.h"

namespace vortlink::sim {

namespace {

std::string file_stem(const std::string &serial_number) {
    std::string stem;
    for (char c : serial_number) {
        const bool fits = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                          (c >= 'a' && c <= 'z') || c == '-' || c == '_' || c == '.';
        stem.push_back(fits ? c : '_');
    }
    // Neither empty nor a name the directory listing hides or gives a meaning.
    if (stem.empty() || stem.front() == '.')
        stem.insert(stem.begin(), '_');
    return stem;
}

std::string directory_of(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int write_all(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

int read_all(int fd, std::span<uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t got = ::read(fd, bytes.data(), bytes.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        if (got == 0)
            return EIO; // shrank while being read
        bytes = bytes.subspan(static_cast<std::size_t>(got));
    }
    return 0;
}

// Removes a temporary file that never made it to its name.
class temporary_file {
  public:
    explicit temporary_file(std::string path) : path_(std::move(path)) {}
    ~temporary_file() {
        if (!kept_)
            ::unlink(path_.c_str());
    }
    temporary_file(const temporary_file &) = delete;
    temporary_file &operator=(const temporary_file &) = delete;
    void keep() { kept_ = true; }

  private:
    std::string path_;
    bool kept_ = false;
};

} // namespace

state_files::state_files(const std::string &directory, const std::string &serial_number) {
    const std::string stem = directory + "/" + file_stem(serial_number);
    eeprom_path_ = stem + ".eeprom";
    firmware_path_ = stem + ".firmware";
}

load_result state_files::load(const std::string &path, std::span<uint8_t> contents,
                              std::string &problem) {
    unique_fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        if (errno == ENOENT)
            return load_result::missing;
        problem = std::strerror(errno);
        return load_result::damaged;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) {
        problem = std::strerror(errno);
        return load_result::damaged;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = "not a regular file";
        return load_result::damaged;
    }
    if (static_cast<std::size_t>(status.st_size) != contents.size()) {
        problem =
            std::to_string(status.st_size) + " bytes instead of " + std::to_string(contents.size());
        return load_result::damaged;
    }
    // Read into a scratch copy, so a read that fails half-way leaves `contents` untouched.
    std::vector<uint8_t> scratch(contents.size());
    if (const int error = read_all(file.get(), scratch); error != 0) {
        problem = std::strerror(error);
        return load_result::damaged;
    }
    std::copy(scratch.begin(), scratch.end(), contents.begin());
    return load_result::loaded;
}

int state_files::save(const std::string &path, std::span<const uint8_t> contents) {
    std::string temporary = path + ".tmp-XXXXXX";
    unique_fd file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!file.valid())
        return errno;
    temporary_file cleanup(temporary);
    if (const int error = write_all(file.get(), contents); error != 0)
        return error;
    if (::fsync(file.get()) != 0)
        return errno;
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return errno;
    cleanup.keep();
    // The rename itself must reach the disk too.
    unique_fd directory(::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.valid())
        (void)::fsync(directory.get());
    return 0;
}

int prepare_state_directory(const std::string &directory) {
    if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST)
        return errno;
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0)
        return errno;
    if (!S_ISDIR(status.st_mode))
        return ENOTDIR;
    if (::access(directory.c_str(), W_OK | X_OK) != 0)
        return errno;
    return 0;
}

state_writer::state_writer(state_files files, snapshot_function snapshot,
                           std::chrono::milliseconds quiet)
    : files_(std::move(files)), snapshot_(std::move(snapshot)), quiet_(quiet) {
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error &failure) {
        std::fprintf(stderr,
                     "quorrel-sim: cannot start the writer of %s: %s; it is written at exit\n",
                     files_.eeprom_path().c_str(), failure.what());
    }
}

state_writer::~state_writer() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
        return;
    }
    std::unique_lock lock(mutex_);
    write_pending(lock);
}

void state_writer::eeprom_changed() {
    {
        std::lock_guard lock(mutex_);
        eeprom_pending_ = true;
    }
    wake_.notify_all();
}

void state_writer::firmware_changed() {
    {
        std::lock_guard lock(mutex_);
        firmware_pending_ = true;
    }
    wake_.notify_all();
}

void state_writer::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return eeprom_pending_ || firmware_pending_ || stopping_; });
        // Let a run of changes settle first; a stop cuts the wait short.
        if (!stopping_)
            wake_.wait_for(lock, quiet_, [this] { return stopping_; });
        write_pending(lock);
        if (stopping_ && !eeprom_pending_ && !firmware_pending_)
            return;
    }
}

void state_writer::write_pending(std::unique_lock<std::mutex> &lock) {
    const bool eeprom = std::exchange(eeprom_pending_, false);
    const bool firmware = std::exchange(firmware_pending_, false);
    if (!eeprom && !firmware)
        return;
    lock.unlock();
    std::vector<uint8_t> eeprom_bytes;
    std::vector<uint8_t> firmware_bytes;
    snapshot_(eeprom, eeprom_bytes, firmware, firmware_bytes);
    // A failed write is reported and left: the next change tries again.
    if (eeprom)
        if (const int error = state_files::save(files_.eeprom_path(), eeprom_bytes); error != 0)
            std::fprintf(stderr, "quorrel-sim: cannot write %s: %s\n", files_.eeprom_path().c_str(),
                         std::strerror(error));
    if (firmware)
        if (const int error = state_files::save(files_.firmware_path(), firmware_bytes); error != 0)
            std::fprintf(stderr, "quorrel-sim: cannot write %s: %s\n",
                         files_.firmware_path().c_str(), std::strerror(error));
    lock.lock();
}

} // namespace vortlink::sim
