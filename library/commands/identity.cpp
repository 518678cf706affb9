#include "commands/command.h"
#include "core/state.h"

using namespace vortlink;

extern "C" {

VORTLINK_API int16_t tkcmdset_status(uint8_t slot, uint16_t *status_word) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    *status_word = 0;
    command_frames frames;
    status_t result = run_exchange(slot, header_pair::normal, protocol::opcode::status, frames,
                                   protocol::timeout_normal_ms);
    if (result != status::ok)
        return result;
    protocol::get_u16_be(frames.reply_data(), *status_word);
    return status::ok;
}
}
