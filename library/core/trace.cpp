#include "core/trace.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "core/platform/trace_output.h"
#include "core/protocol.h"

namespace vortlink {

namespace {
// A destination that was refused once stays off, so the refusal is told once, not per frame.
std::mutex refused_mutex;
std::string refused_destination;

bool refused(const char *destination) {
    const std::lock_guard hold(refused_mutex);
    return !refused_destination.empty() && refused_destination == destination;
}

void refuse(const char *destination, const char *why) {
    {
        const std::lock_guard hold(refused_mutex);
        if (refused_destination == destination)
            return;
        refused_destination = destination;
    }
    std::string text = "VORTLINK_TRACE=";
    text += destination;
    text += " is not used (";
    text += why;
    text += "); tracing is off";
    (void)platform::write_error_notice(text);
}
} // namespace

const char *trace_destination() {
    const char *value = std::getenv("VORTLINK_TRACE");
    if (value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0)
        return nullptr;
    if (std::strcmp(value, "1") != 0 && refused(value))
        return nullptr;
    return value;
}

void trace_frame(const char *destination, uint8_t slot, const char *transport,
                 trace_direction direction, uint8_t opcode, const uint8_t *bytes,
                 std::size_t length, status_t result) {
    if (destination == nullptr)
        return;
    static constexpr char hex_digits[] = "0123456789ABCDEF";
    std::string line = platform::utc_timestamp();
    line += " slot ";
    line += std::to_string(slot);
    line += ' ';
    line += transport;
    line += direction == trace_direction::request ? " -> " : " <- ";
    line += protocol::opcode_name(opcode);
    line += " [";
    for (std::size_t i = 0; bytes != nullptr && i < length; ++i) {
        if (i != 0)
            line += ' ';
        line += hex_digits[bytes[i] >> 4];
        line += hex_digits[bytes[i] & 0x0F];
    }
    line += "] status ";
    line += std::to_string(result);
    line += '\n';
    // A trace that cannot be written must not change the exchange's outcome.
    if (std::strcmp(destination, "1") == 0)
        (void)platform::write_error_line(line);
    else if (const char *why = nullptr;
             platform::append_line(destination, line, why) == platform::append_result::refused)
        refuse(destination, why);
}

} // namespace vortlink
