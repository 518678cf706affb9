#include "text_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <locale>
#include <sstream>

namespace vortlink::ctl {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string quoted_path(const std::string &path) { return "'" + path + "'"; }

} // namespace

std::optional<uint64_t> parse_unsigned(std::string_view text, uint64_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty())
        return std::nullopt;
    uint64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

std::optional<int64_t> parse_signed(std::string_view text, int64_t min, int64_t max) {
    if (text.empty() || !(is_digit(text[0]) || (text[0] == '-' && text.size() > 1)))
        return std::nullopt;
    int64_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

std::optional<double> parse_real(std::string_view text) {
    // Digits, one point, an exponent: nothing that strtod would read as nan, inf or hex.
    if (text.empty() || text.size() > 64)
        return std::nullopt;
    for (char c : text)
        if (!is_digit(c) && c != '.' && c != '-' && c != '+' && c != 'e' && c != 'E')
            return std::nullopt;
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    double value = 0;
    in >> value;
    if (in.fail() || in.peek() != std::char_traits<char>::eof() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string text_field_problem(std::string_view option, std::string_view text,
                               std::size_t max_length) {
    if (text.size() > max_length)
        return std::string(option) + ": at most " + std::to_string(max_length) +
               " characters, got " + std::to_string(text.size()) + ": " + std::string(text);
    if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c <= 0x7E; }))
        return std::string(option) + ": printable ASCII characters only: " + std::string(text);
    return {};
}

namespace {

std::string symbolic_link(const std::string &path) {
    return quoted_path(path) + ": a symbolic link; name the file itself";
}

// O_NOFOLLOW's refusal reads as a loop of links, and a FIFO without a reader as a missing
// device: say what the path is instead.
std::string open_failure(const std::string &path, int error) {
    struct stat info {};
    if (error != ENOENT && ::lstat(path.c_str(), &info) == 0) {
        if (S_ISLNK(info.st_mode))
            return symbolic_link(path);
        if (!S_ISREG(info.st_mode))
            return quoted_path(path) + ": not a regular file";
    }
    return quoted_path(path) + ": " + std::strerror(error);
}

} // namespace

platform::unique_fd open_regular_file(const std::string &path, file_use use,
                                      std::string &message) {
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
    platform::unique_fd fd(::open(path.c_str(), flags, 0644));
    if (!fd.valid()) {
        message = open_failure(path, errno);
        return fd;
    }
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return platform::unique_fd();
    }
    if (!S_ISREG(info.st_mode)) {
        message = quoted_path(path) + ": not a regular file";
        return platform::unique_fd();
    }
    const int status_flags = ::fcntl(fd.get(), F_GETFL);
    if (status_flags < 0 || ::fcntl(fd.get(), F_SETFL, status_flags & ~O_NONBLOCK) != 0 ||
        (use == file_use::replace && ::ftruncate(fd.get(), 0) != 0)) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return platform::unique_fd();
    }
    return fd;
}

bool read_regular_file(const std::string &path, std::size_t max_size, std::vector<uint8_t> &bytes,
                       std::string &message) {
    bytes.clear();
    const platform::unique_fd fd = open_regular_file(path, file_use::read, message);
    if (!fd.valid())
        return false;
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return false;
    }
    if (static_cast<uint64_t>(info.st_size) > max_size) {
        message = quoted_path(path) + ": " + std::to_string(info.st_size) +
                  " bytes, more than the " + std::to_string(max_size) + " the tool takes";
        return false;
    }
    // One byte more than the file had tells a file that grew since fstat; it may grow up to
    // the limit, and one byte past it is refused.
    bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size())
            bytes.resize(std::min(bytes.size() * 2, max_size + 1));
        const ssize_t got = ::read(fd.get(), bytes.data() + have, bytes.size() - have);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            message = quoted_path(path) + ": " + std::strerror(errno);
            bytes.clear();
            return false;
        }
        if (got == 0)
            break;
        have += static_cast<std::size_t>(got);
        if (have > max_size) {
            message = quoted_path(path) + ": grew past " + std::to_string(max_size) +
                      " bytes while it was read";
            bytes.clear();
            return false;
        }
    }
    bytes.resize(have);
    return true;
}

bool write_regular_file(const std::string &path, const std::vector<uint8_t> &bytes,
                        std::string &message) {
    platform::unique_fd fd = open_regular_file(path, file_use::replace, message);
    if (!fd.valid())
        return false;
    const std::string_view data(reinterpret_cast<const char *>(bytes.data()), bytes.size());
    if (!platform::write_all(fd.get(), data) || !fd.close()) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool check_output_file(const std::string &path, std::string &message) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        message = quoted_path(path) + ": " + std::strerror(errno);
        return false;
    }
    if (S_ISLNK(info.st_mode)) {
        message = symbolic_link(path);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        message = quoted_path(path) + ": not a regular file";
        return false;
    }
    return true;
}

std::size_t edit_distance(std::string_view a, std::string_view b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string nearest_name(std::string_view text, const std::vector<std::string> &candidates) {
    std::string best;
    std::size_t best_distance = 0;
    for (const auto &candidate : candidates) {
        const std::size_t distance = edit_distance(text, candidate);
        if (best.empty() || distance < best_distance) {
            best = candidate;
            best_distance = distance;
        }
    }
    // Beyond about a third of the name, a suggestion is a guess.
    if (best.empty() || best_distance > std::max<std::size_t>(2, best.size() / 3))
        return {};
    return best;
}

} // namespace vortlink::ctl
