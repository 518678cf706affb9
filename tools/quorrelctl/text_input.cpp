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

bool check_regular_file(const std::string &path, std::string &message) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        message = quoted_path(path) + ": not a regular file";
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool read_regular_file(const std::string &path, std::size_t max_size, std::vector<uint8_t> &bytes,
                       std::string &message) {
    // Non-blocking, so that opening a FIFO does not wait for a writer.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        message = quoted_path(path) + ": " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    bool taken = ::fstat(fd, &info) == 0;
    if (!taken) {
        message = quoted_path(path) + ": " + std::strerror(errno);
    } else if (!S_ISREG(info.st_mode)) {
        message = quoted_path(path) + ": not a regular file";
        taken = false;
    } else if (static_cast<uint64_t>(info.st_size) > max_size) {
        message = quoted_path(path) + ": " + std::to_string(info.st_size) +
                  " bytes, more than the " + std::to_string(max_size) + " one transfer takes";
        taken = false;
    }
    if (taken) {
        // One byte more than allowed tells a file that grew since fstat.
        bytes.assign(max_size + 1, 0);
        std::size_t have = 0;
        for (;;) {
            const ssize_t got = ::read(fd, bytes.data() + have, bytes.size() - have);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0) {
                message = quoted_path(path) + ": " + std::strerror(errno);
                taken = false;
                break;
            }
            if (got == 0)
                break;
            have += static_cast<std::size_t>(got);
            if (have > max_size) {
                message = quoted_path(path) + ": grew past " + std::to_string(max_size) +
                          " bytes while it was read";
                taken = false;
                break;
            }
        }
        bytes.resize(taken ? have : 0);
    }
    ::close(fd);
    return taken;
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
