#include "text_input.h"

#include <algorithm>
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

std::string refusal_text(const std::string &path, platform::path_kind kind,
                         const std::string &reason) {
    switch (kind) {
    case platform::path_kind::symbolic_link:
        return symbolic_link(path);
    case platform::path_kind::other:
        return quoted_path(path) + ": not a regular file";
    default:
        return quoted_path(path) + ": " + reason;
    }
}

} // namespace

platform::regular_file open_regular_file(const std::string &path, file_use use,
                                         std::string &message) {
    platform::path_kind refusal = platform::path_kind::unknown;
    std::string reason;
    platform::regular_file file = platform::open_regular_file(path, use, refusal, reason);
    if (!file.valid())
        message = refusal_text(path, refusal, reason);
    return file;
}

bool read_regular_file(const std::string &path, std::size_t max_size, std::vector<uint8_t> &bytes,
                       std::string &message) {
    bytes.clear();
    platform::regular_file file = open_regular_file(path, file_use::read, message);
    if (!file.valid())
        return false;
    const std::optional<uint64_t> size = file.size();
    if (!size) {
        message = quoted_path(path) + ": " + platform::last_system_error();
        return false;
    }
    if (*size > max_size) {
        message = quoted_path(path) + ": " + std::to_string(*size) + " bytes, more than the " +
                  std::to_string(max_size) + " the tool takes";
        return false;
    }
    // One byte more than the file had tells a file that grew since its size was taken; it may
    // grow up to the limit, and one byte past it is refused.
    bytes.resize(static_cast<std::size_t>(*size) + 1);
    std::size_t have = 0;
    for (;;) {
        if (have == bytes.size())
            bytes.resize(std::min(bytes.size() * 2, max_size + 1));
        const long got = file.read(bytes.data() + have, bytes.size() - have);
        if (got < 0) {
            message = quoted_path(path) + ": " + platform::last_system_error();
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
    platform::regular_file file = open_regular_file(path, file_use::replace, message);
    if (!file.valid())
        return false;
    if (!file.write_all(bytes.data(), bytes.size()) || !file.close()) {
        message = quoted_path(path) + ": " + platform::last_system_error();
        return false;
    }
    return true;
}

bool check_output_file(const std::string &path, std::string &message) {
    std::string reason;
    const platform::path_kind kind = platform::inspect_path(path, reason);
    if (kind == platform::path_kind::missing || kind == platform::path_kind::regular)
        return true;
    message = refusal_text(path, kind, reason);
    return false;
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
