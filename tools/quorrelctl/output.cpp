#include "output.h"

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/printable_text.h"

namespace vortlink::ctl {

namespace {
constexpr char hex_digits[] = "0123456789ABCDEF";
constexpr int bar_width = 40;

int digit_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}
// Length of the valid UTF-8 sequence at text[0], or 0 when it is none.
std::size_t utf8_sequence(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    std::size_t length = 0;
    uint32_t minimum = 0;
    uint32_t code = 0;
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0) {
        length = 2, minimum = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, minimum = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, minimum = 0x10000, code = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length)
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        code = code << 6 | (next & 0x3F);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    return length;
}

std::string escaped(std::string_view text, bool keep_line_ends) {
    std::string shown(VORTLINK_PRINTABLE_SIZE(text.size()), '\0');
    shown.resize(vortlink_printable_text(text.data(), text.size(), keep_line_ends ? 1 : 0,
                                         shown.data(), shown.size()));
    return shown;
}

} // namespace

std::string printable(std::string_view text) { return escaped(text, false); }

std::string printable_lines(std::string_view text) { return escaped(text, true); }

std::string device_text(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        const std::size_t length = utf8_sequence(bytes);
        if (length > 0) {
            text.append(bytes.substr(0, length));
            bytes.remove_prefix(length);
            continue;
        }
        const auto latin1 = static_cast<unsigned char>(bytes[0]);
        text += static_cast<char>(0xC0 | latin1 >> 6);
        text += static_cast<char>(0x80 | (latin1 & 0x3F));
        bytes.remove_prefix(1);
    }
    return text;
}

std::string device_text(const char *field, std::size_t size) {
    return device_text(std::string_view(field, strnlen(field, size)));
}

std::size_t display_width(std::string_view text) {
    std::size_t width = 0;
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++width;
    return width;
}

std::string pad_right(std::string_view text, std::size_t width) {
    std::string padded(text);
    for (std::size_t shown = display_width(text); shown < width; ++shown)
        padded += ' ';
    return padded;
}

std::string real_text(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

nlohmann::ordered_json json_real(float value) {
    char text[32];
    const auto result = std::to_chars(text, text + sizeof text, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

std::string json_text(const nlohmann::ordered_json &value, int indent) {
    return value.dump(indent, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

std::string hex_dump(uint32_t address, const std::vector<uint8_t> &bytes) {
    std::string text;
    char head[16];
    for (std::size_t i = 0; i < bytes.size(); i += 16) {
        std::snprintf(head, sizeof head, "%08X:", static_cast<unsigned>(address + i));
        text += head;
        for (std::size_t j = i; j < bytes.size() && j < i + 16; ++j) {
            text += ' ';
            text += hex_digits[bytes[j] >> 4];
            text += hex_digits[bytes[j] & 0x0F];
        }
        text += '\n';
    }
    return text;
}

std::string hex_string(const std::vector<uint8_t> &bytes) {
    std::string text;
    text.reserve(bytes.size() * 2);
    for (uint8_t byte : bytes) {
        text += hex_digits[byte >> 4];
        text += hex_digits[byte & 0x0F];
    }
    return text;
}

bool parse_hex_bytes(std::string_view text, std::vector<uint8_t> &bytes) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == '-' || c == '\t' || c == '\n') {
            if (high >= 0)
                return false;
            continue;
        }
        const int value = digit_value(c);
        if (value < 0)
            return false;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high * 16 + value));
            high = -1;
        }
    }
    return high < 0;
}

void progress_printer::show(uint32_t percent) {
    const int clamped = percent > 100 ? 100 : static_cast<int>(percent);
    if (clamped == last_percent_)
        return;
    last_percent_ = clamped;
    if (!terminal_) {
        std::printf("%d%%\n", clamped);
        std::fflush(stdout);
        return;
    }
    const int filled = clamped * bar_width / 100;
    std::printf("\r[%.*s%*s] %3d%%", filled, "########################################",
                bar_width - filled, "", clamped);
    std::fflush(stdout);
}

void progress_printer::finish() {
    if (terminal_ && last_percent_ >= 0)
        std::printf("\n");
    std::fflush(stdout);
}

} // namespace vortlink::ctl
