#include "output.h"

#include <cstdio>

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
} // namespace

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
