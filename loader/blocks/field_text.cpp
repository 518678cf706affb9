#include "blocks/field_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace vortlink::loader {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

std::string_view trim_leading(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    return text;
}

std::string_view trim(std::string_view text) {
    text = trim_leading(text);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Length of the longest prefix of the form digits[.digits][(e|E)[sign]digits] with at least one
// mantissa digit, after an optional sign; 0 when there is none.
std::size_t real_prefix_length(std::string_view text) {
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        ++at;
    std::size_t mantissa_digits = 0;
    while (at < text.size() && is_digit(text[at])) {
        ++at;
        ++mantissa_digits;
    }
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && is_digit(text[at])) {
            ++at;
            ++mantissa_digits;
        }
    }
    if (mantissa_digits == 0)
        return 0;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        std::size_t exponent_at = at + 1;
        if (exponent_at < text.size() && (text[exponent_at] == '+' || text[exponent_at] == '-'))
            ++exponent_at;
        if (exponent_at < text.size() && is_digit(text[exponent_at])) {
            while (exponent_at < text.size() && is_digit(text[exponent_at]))
                ++exponent_at;
            at = exponent_at;
        }
    }
    return at;
}

// A real in the form real_prefix_length accepts, as a double; beyond the double range it is an
// infinity, below it zero.
double read_real(std::string_view number) {
    bool negative = false;
    if (!number.empty() && (number.front() == '+' || number.front() == '-')) {
        negative = number.front() == '-';
        number.remove_prefix(1);
    }
    double value = 0;
    const auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value,
                                              std::chars_format::general);
    (void)end;
    if (error == std::errc::result_out_of_range) {
        // Out of range is either too large or too small; a mantissa with a non-zero digit and a
        // negative exponent can only be the latter.
        const std::size_t exponent_at = number.find_first_of("eE");
        const bool tiny = exponent_at != std::string_view::npos &&
                          exponent_at + 1 < number.size() && number[exponent_at + 1] == '-';
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    }
    return negative ? -value : value;
}

float to_single(double value) {
    // Converting a double beyond the float range is undefined; the typed value meant infinity.
    if (value > std::numeric_limits<float>::max())
        return std::numeric_limits<float>::infinity();
    if (value < -std::numeric_limits<float>::max())
        return -std::numeric_limits<float>::infinity();
    return static_cast<float>(value);
}

} // namespace

int32_t lenient_int32(std::string_view text) {
    text = trim_leading(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int64_t magnitude = 0;
    constexpr int64_t limit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (char c : text) {
        if (!is_digit(c))
            break;
        magnitude = std::min<int64_t>(magnitude * 10 + (c - '0'), limit);
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    return static_cast<int32_t>(value);
}

float lenient_float(std::string_view text) {
    text = trim_leading(text);
    const std::size_t length = real_prefix_length(text);
    if (length == 0)
        return 0.0F;
    return to_single(read_real(text.substr(0, length)));
}

std::optional<int32_t> strict_int32(std::string_view text) {
    text = trim(text);
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-'))
        digits.remove_prefix(1);
    if (digits.empty())
        return std::nullopt;
    for (char c : digits)
        if (!is_digit(c))
            return std::nullopt;
    // from_chars takes a minus sign but no plus sign.
    if (text.front() == '+')
        text.remove_prefix(1);
    int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<float> strict_float(std::string_view text) {
    text = trim(text);
    const std::size_t length = real_prefix_length(text);
    if (length == 0 || length != text.size())
        return std::nullopt;
    const float value = to_single(read_real(text));
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

std::string fixed_text(double value, int width, int precision) {
    char buffer[400];
    const auto [end, error] =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    std::string text = error == std::errc() ? std::string(buffer, end) : std::string();
    if (static_cast<int>(text.size()) < width)
        text.insert(0, static_cast<std::size_t>(width) - text.size(), ' ');
    return text;
}

std::string general_text(double value, int significant_digits) {
    char buffer[64];
    const auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                            std::chars_format::general, significant_digits);
    return error == std::errc() ? std::string(buffer, end) : std::string();
}

} // namespace vortlink::loader
