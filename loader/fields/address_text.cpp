#include "fields/address_text.h"

#include <algorithm>
#include <cstdio>

#include "core/hex_digit.h"

namespace vortlink::loader::fields {

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// One scanf integer conversion ("%d" or "%x") at position, which moves past what was read.
// Large numbers saturate instead of overflowing; only their low bits are used anyway.
bool scan_integer(std::string_view text, std::size_t &position, unsigned base, uint32_t &value) {
    std::size_t at = position;
    while (at < text.size() && is_blank(text[at]))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    if (base == 16 && at + 2 < text.size() && text[at] == '0' &&
        (text[at + 1] == 'x' || text[at + 1] == 'X') && hex_digit_value(text[at + 2]) >= 0)
        at += 2;
    const std::size_t digits_start = at;
    uint64_t magnitude = 0;
    while (at < text.size()) {
        const int digit = hex_digit_value(text[at]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            break;
        magnitude =
            std::min<uint64_t>(magnitude * base + static_cast<unsigned>(digit), uint64_t{1} << 40);
        ++at;
    }
    if (at == digits_start)
        return false;
    const auto low_bits = static_cast<uint32_t>(magnitude);
    value = negative ? 0u - low_bits : low_bits;
    position = at;
    return true;
}

// Reads up to `count` integers separated by `separator`; returns how many were read.
std::size_t scan_groups(std::string_view text, unsigned base, char separator, uint32_t *groups,
                        std::size_t count) {
    std::size_t position = 0;
    for (std::size_t group = 0; group < count; ++group) {
        if (group > 0) {
            if (position >= text.size() || text[position] != separator)
                return group;
            ++position;
        }
        if (!scan_integer(text, position, base, groups[group]))
            return group;
    }
    return count;
}

bool is_digit_position(std::size_t position) {
    return position < mac_mask.size() && mac_mask[position] == '#';
}

void write_at(std::string &text, std::size_t position, char c) {
    if (position < text.size())
        text[position] = c;
    else
        text.push_back(c);
}

void put_back_at(edit_state &state, std::size_t caret) {
    state.start = caret;
    state.end = caret;
}

bool accepted_by_mac(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

} // namespace

uint32_t ip_text_to_value(std::string_view text) {
    uint32_t octets[4] = {0, 0, 0, 0};
    scan_groups(text, 10, ip_separator, octets, 4);
    uint32_t value = 0;
    for (uint32_t octet : octets)
        value = value * 256u + octet;
    return value;
}

std::string ip_value_to_text(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFFu,
                  (value >> 8) & 0xFFu, value & 0xFFu);
    return text;
}

std::string ip_normalised(std::string_view text) {
    return ip_value_to_text(ip_text_to_value(text));
}

edit_state ip_select_next_octet(std::string_view text, std::size_t caret) {
    const std::size_t before_caret = std::min(caret, text.size());
    const auto separators_before = static_cast<std::size_t>(std::count(
        text.begin(), text.begin() + static_cast<std::ptrdiff_t>(before_caret), ip_separator));
    const std::size_t octet_with_caret = std::min<std::size_t>(1 + separators_before, 4);

    edit_state state;
    state.text = ip_normalised(text);
    std::size_t next = 0;
    for (std::size_t step = 0; step < octet_with_caret; ++step) {
        const std::size_t separator = state.text.find(ip_separator, next);
        next = separator == std::string::npos ? 0 : separator + 1;
    }
    const std::size_t next_end = state.text.find(ip_separator, next);
    state.start = next;
    state.end = next_end == std::string::npos ? state.text.size() : next_end;
    return state;
}

void mac_text_to_bytes(std::string_view text, mac_bytes &bytes) {
    uint32_t groups[6] = {};
    const std::size_t read = scan_groups(text, 16, ':', groups, bytes.size());
    for (std::size_t i = 0; i < read; ++i)
        bytes[i] = static_cast<uint8_t>(groups[i] & 0xFFu);
}

std::string mac_bytes_to_text(const mac_bytes &bytes) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", bytes[0], bytes[1], bytes[2],
                  bytes[3], bytes[4], bytes[5]);
    return text;
}

std::optional<mac_bytes> mac_from_pasted_text(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);

    mac_bytes bytes{};
    if (text.size() == 12) {
        for (std::size_t i = 0; i < 12; ++i) {
            const int digit = hex_digit_value(text[i]);
            if (digit < 0)
                return std::nullopt;
            bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | digit);
        }
        return bytes;
    }

    char separator = 0;
    std::size_t position = 0;
    for (std::size_t group = 0; group < bytes.size(); ++group) {
        if (group > 0) {
            if (position >= text.size())
                return std::nullopt;
            const char found = text[position];
            if (found != ':' && found != '-')
                return std::nullopt;
            if (separator == 0)
                separator = found;
            else if (found != separator)
                return std::nullopt;
            ++position;
        }
        std::size_t digits = 0;
        unsigned value = 0;
        while (position < text.size() && hex_digit_value(text[position]) >= 0 && digits < 3) {
            value = value << 4 | static_cast<unsigned>(hex_digit_value(text[position]));
            ++position;
            ++digits;
        }
        if (digits == 0 || digits > 2)
            return std::nullopt;
        bytes[group] = static_cast<uint8_t>(value);
    }
    if (position != text.size())
        return std::nullopt;
    return bytes;
}

bool mac_type_character(edit_state &state, char typed) {
    const char c = (typed >= 'a' && typed <= 'z') ? static_cast<char>(typed - 'a' + 'A') : typed;
    const std::size_t mask_size = mac_mask.size();

    if (c == '\b') {
        std::size_t start = state.start;
        if (start == state.end && start > 0)
            --start;
        for (std::size_t i = start; i < state.end && i < state.text.size(); ++i)
            if (is_digit_position(i))
                state.text[i] = '0';
        put_back_at(state, start);
        return true;
    }
    if (c == '.')
        return mac_delete(state);
    if (accepted_by_mac(c)) {
        std::size_t position = state.start;
        if (position >= mask_size)
            return false;
        if (!is_digit_position(position)) {
            write_at(state.text, position, mac_mask[position]);
            ++position;
        }
        if (is_digit_position(position)) {
            write_at(state.text, position, c);
            ++position;
        }
        put_back_at(state, std::min(position, state.text.size()));
        return true;
    }
    if (state.start < mask_size && !is_digit_position(state.start) && mac_mask[state.start] == c) {
        write_at(state.text, state.start, c);
        put_back_at(state, state.start + 1);
        return true;
    }
    return false;
}

bool mac_delete(edit_state &state) {
    if (state.start == state.end) {
        if (state.start >= state.text.size())
            return false;
        if (is_digit_position(state.start))
            state.text[state.start] = '0';
        put_back_at(state, state.start + 1);
        return true;
    }
    for (std::size_t i = state.start; i < state.end && i < state.text.size(); ++i)
        if (is_digit_position(i))
            state.text[i] = '0';
    put_back_at(state, state.start);
    return true;
}

bool mac_clear(edit_state &state) {
    if (state.start == state.end)
        return false;
    if (state.end >= state.text.size()) {
        state.text.erase(std::min(state.start, state.text.size()));
    } else {
        for (std::size_t i = state.start; i < state.end && i < mac_mask.size(); ++i)
            state.text[i] = is_digit_position(i) ? '0' : mac_mask[i];
    }
    state.end = std::min(state.end, state.text.size());
    state.start = std::min(state.start, state.end);
    return true;
}

} // namespace vortlink::loader::fields
