// The text handling that both the hidraw backend and the simulated bus need: UTF-8 sysfs
// attributes and USB string descriptors turned into UTF-16, cut without splitting a pair.
#include "core/platform/hidraw_backend.h"

namespace vortlink::platform {

std::u16string utf16_from_utf8(std::string_view text) {
    constexpr char16_t replacement = 0xFFFD;
    std::u16string result;
    result.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        const auto lead = static_cast<uint8_t>(text[at]);
        if (lead < 0x80) {
            result.push_back(lead);
            ++at;
            continue;
        }
        std::size_t length = 0;
        uint32_t code = 0;
        // The second byte's range is narrower after some leads: that is what rules out overlong
        // forms, surrogates and code points above U+10FFFF.
        uint8_t second_low = 0x80;
        uint8_t second_high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1Fu;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0Fu;
            second_low = lead == 0xE0 ? 0xA0 : 0x80;
            second_high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07u;
            second_low = lead == 0xF0 ? 0x90 : 0x80;
            second_high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            result.push_back(replacement);
            ++at;
            continue;
        }
        std::size_t taken = 1;
        for (; taken < length && at + taken < text.size(); ++taken) {
            const auto byte = static_cast<uint8_t>(text[at + taken]);
            const uint8_t low = taken == 1 ? second_low : 0x80;
            const uint8_t high = taken == 1 ? second_high : 0xBF;
            if (byte < low || byte > high)
                break;
            code = code << 6 | (byte & 0x3Fu);
        }
        at += taken;
        if (taken < length) {
            // The valid beginning of a sequence counts as one error, the byte that broke it
            // starts afresh.
            result.push_back(replacement);
        } else if (code >= 0x10000) {
            code -= 0x10000;
            result.push_back(static_cast<char16_t>(0xD800 | code >> 10));
            result.push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
        } else {
            result.push_back(static_cast<char16_t>(code));
        }
    }
    return result;
}

status_t decode_string_descriptor(std::span<const uint8_t> bytes, std::u16string &text) {
    constexpr uint8_t string_descriptor_type = 3;
    text.clear();
    if (bytes.size() < 2)
        return status::no_string;
    const std::size_t length = bytes[0];
    if (length < 2 || length > bytes.size() || length % 2 != 0 ||
        bytes[1] != string_descriptor_type)
        return status::no_string;
    for (std::size_t at = 2; at < length; at += 2)
        text.push_back(static_cast<char16_t>(bytes[at] | bytes[at + 1] << 8));
    return status::ok;
}

void cut_to_units(std::u16string &text, std::size_t max_units) {
    if (text.size() <= max_units)
        return;
    text.resize(max_units);
    if (!text.empty() && text.back() >= 0xD800 && text.back() <= 0xDBFF)
        text.pop_back();
}

} // namespace vortlink::platform
