#pragma once
// Hexadecimal digits as the settings files, S-records, typed addresses and dumps spell them.

namespace vortlink {

// 0 to 15 for '0' to '9', 'a' to 'f' and 'A' to 'F'; -1 for any other character.
constexpr int hex_digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace vortlink
