#pragma once
// Helpers for the small text files the library reads (settings, the error catalogue): whole-file
// reads, an owner for file descriptors, and the name comparison and trimming both formats use.
//
// These run from the library's load hook: nothing here depends on dynamic initialisation of
// namespace-scope objects.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vortlink::platform {

// Closes the descriptor it holds when it goes out of scope.
class unique_fd {
  public:
    unique_fd() = default;
    explicit unique_fd(int fd) : fd_(fd) {}
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept;
    ~unique_fd();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    // Closes now and reports whether close succeeded (a failed close can mean lost data).
    bool close();

  private:
    int fd_ = -1;
};

enum class file_read { ok, missing, failed };

// Reads the whole of a regular file of at most max_size bytes into contents. Anything that is not
// a regular file (a directory, a FIFO, a device) or is larger than max_size gives `failed`, so a
// path pointing somewhere odd can neither block nor exhaust memory.
file_read read_small_file(const char *path, std::size_t max_size, std::string &contents);

// Writes all of data, retrying short writes and EINTR.
bool write_all(int fd, std::string_view data);

// Linux: flock(descriptor, operation) without an unbounded wait: retried in short sleeps for at most
// limit_ms (at least one try). False when the lock was not had in that time or flock failed.
bool lock_file_within(int descriptor, int operation, uint32_t limit_ms);

// Names in both files compare without regard to ASCII case, independent of the locale.
bool equal_ignoring_case(std::string_view a, std::string_view b);

// Without the spaces and tabs at either end.
std::string_view trim_blanks(std::string_view text);

} // namespace vortlink::platform
