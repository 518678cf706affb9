// The one form of the library's notices on standard error, the same on every system.
#include "core/platform/trace_output.h"

#include <string>

namespace vortlink::platform {

bool write_error_notice(std::string_view text) {
    static constexpr char hex_digits[] = "0123456789abcdef";
    std::string line = "vortlink: ";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            line += "\\x";
            line += hex_digits[byte >> 4];
            line += hex_digits[byte & 0x0F];
        } else {
            line += c;
        }
    }
    line += '\n';
    return write_error_line(line);
}

} // namespace vortlink::platform
