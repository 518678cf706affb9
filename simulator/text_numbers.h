#pragma once
// Numbers and byte strings as the simulator's command line and control protocol write them.

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vortlink::sim {

// Decimal, or hexadecimal after "0x"; nullopt for anything else or a value above max.
inline std::optional<uint32_t> parse_unsigned(std::string_view word, uint32_t max) {
    int base = 10;
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
        word.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value, base);
    if (word.empty() || error != std::errc() || end != word.data() + word.size() || value > max)
        return std::nullopt;
    return value;
}

// A signed decimal device error code.
inline std::optional<int16_t> parse_code(std::string_view word) {
    int16_t value = 0;
    const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (word.empty() || error != std::errc() || end != word.data() + word.size())
        return std::nullopt;
    return value;
}

// Contiguous lower-case hex digits.
inline std::string to_hex(const std::vector<uint8_t> &bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text.push_back(digits[byte >> 4]);
        text.push_back(digits[byte & 0x0F]);
    }
    return text;
}

} // namespace vortlink::sim
