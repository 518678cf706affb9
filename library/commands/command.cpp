#include "commands/command.h"

#include "core/exchange.h"
#include "core/state.h"

namespace vortlink {

status_t run_exchange(uint8_t slot, header_pair pair, uint8_t opcode, command_frames &frames,
                      uint16_t timeout_ms) {
    const bool long_request = pair == header_pair::long_request || pair == header_pair::long_both;
    const bool long_reply = pair == header_pair::long_reply || pair == header_pair::long_both;
    const auto &reports = slot_of(slot).reports;
    frames.request[0] =
        reports[long_request ? usage_index_long_request : usage_index_request].report_id;
    frames.request[1] = opcode;
    frames.reply[0] = reports[long_reply ? usage_index_long_reply : usage_index_reply].report_id;

    const transport_operations *road = slot_of(slot).road;
    return exchange(road != nullptr ? *road : usb_operations(), slot, frames.request, frames.reply,
                    timeout_ms);
}

} // namespace vortlink
