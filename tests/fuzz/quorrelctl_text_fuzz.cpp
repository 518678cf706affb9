// Arbitrary text as what a user gives quorrelctl: numbers, reals, text fields and misspelt
// names. The first byte picks the reader and its limit, the rest is the text. Besides the
// sanitizers' findings, every reading is checked against the C library's own conversion: a
// number taken is the one strtoull, strtoll or strtod reads from the whole text, within its
// limits; a whole decimal number within the limits is never refused; a text field taken is
// printable ASCII within its length.

#include <cerrno>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.h"
#include "text_input.h"

namespace {

using namespace fuzz;
using namespace vortlink::ctl;

bool all_digits(std::string_view text, bool hexadecimal) {
    if (text.empty())
        return false;
    for (char c : text)
        if (!(c >= '0' && c <= '9') &&
            !(hexadecimal && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))))
            return false;
    return true;
}

void unsigned_reading(const std::string &text, uint64_t max) {
    const std::optional<uint64_t> value = parse_unsigned(text, max);
    const bool hexadecimal = text.size() > 2 && text[0] == '0' && (text[1] | 0x20) == 'x';
    const std::string digits = hexadecimal ? text.substr(2) : text;
    errno = 0;
    const unsigned long long expected =
        std::strtoull(digits.c_str(), nullptr, hexadecimal ? 16 : 10);
    const bool representable = all_digits(digits, hexadecimal) && errno != ERANGE;
    if (value)
        require(representable && *value == expected && *value <= max);
    else
        require(!representable || expected > max);
}

void signed_reading(const std::string &text, int64_t min, int64_t max) {
    const std::optional<int64_t> value = parse_signed(text, min, max);
    const bool negative = !text.empty() && text[0] == '-';
    errno = 0;
    const long long expected = std::strtoll(text.c_str(), nullptr, 10);
    const bool representable =
        all_digits(std::string_view(text).substr(negative ? 1 : 0), false) && errno != ERANGE;
    if (value)
        require(representable && *value == expected && *value >= min && *value <= max);
    else
        require(!representable || expected < min || expected > max);
}

void real_reading(const std::string &text) {
    const std::optional<double> value = parse_real(text);
    if (!value)
        return;
    char *end = nullptr;
    const double expected = std::strtod(text.c_str(), &end);
    require(std::isfinite(*value) && end == text.c_str() + text.size() && *value == expected);
}

void text_field(const std::string &text, std::size_t max_length) {
    if (!text_field_problem("--serial-number", text, max_length).empty())
        return;
    require(text.size() <= max_length);
    for (char c : text)
        require(c >= 0x20 && c <= 0x7E);
}

void names(const std::string &text) {
    static const std::vector<std::string> candidates = {"status",    "program",     "mfg", "config",
                                                        "lighthead", "diagnostics", "wait"};
    const std::string nearest = nearest_name(text, candidates);
    require(nearest.empty() ||
            std::find(candidates.begin(), candidates.end(), nearest) != candidates.end());
    const std::string_view half = std::string_view(text).substr(0, text.size() / 2);
    const std::string_view rest = std::string_view(text).substr(text.size() / 2);
    const std::size_t distance = edit_distance(half, rest);
    require(distance == edit_distance(rest, half));
    require(distance <= std::max(half.size(), rest.size()));
    require(distance >= std::max(half.size(), rest.size()) - std::min(half.size(), rest.size()));
    require(edit_distance(text, text) == 0);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    std::setlocale(LC_ALL, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    const uint8_t choice = data[0];
    const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
    static constexpr uint64_t unsigned_limits[] = {0, 1, 255, 65535, 0xFFFFFFFF, UINT64_MAX};
    switch (choice % 5) {
    case 0:
        unsigned_reading(text, unsigned_limits[(choice / 5) % std::size(unsigned_limits)]);
        break;
    case 1:
        signed_reading(text, -int64_t{choice} * 1000, int64_t{choice} * 100000);
        break;
    case 2:
        real_reading(text);
        break;
    case 3:
        text_field(text, choice / 5);
        break;
    default:
        names(text);
        break;
    }
    return 0;
}
