// Analog and digital I/O and single memory bytes: one exchange each.


#include "commands/command.h"
#include "core/state.h"

using namespace vortlink;

namespace {

namespace opcode = protocol::opcode;

status_t exchange_normal(uint8_t slot, uint8_t opcode, command_frames &frames) {
    return run_exchange(slot, header_pair::normal, opcode, frames, protocol::timeout_normal_ms);
}

// The controller may report any non-zero byte for a set line.
status_t read_line(uint8_t slot, uint8_t opcode, uint8_t line, uint8_t *state) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    *state = 0;
    command_frames frames;
    protocol::put_u8(frames.request_data(), line);
    if (status_t result = exchange_normal(slot, opcode, frames); result != status::ok)
        return result;
    *state = frames.reply_data()[0] != 0 ? 1 : 0;
    return status::ok;
}

status_t read_analog(uint8_t slot, uint8_t opcode, uint8_t channel, uint16_t *value) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    *value = 0;
    command_frames frames;
    protocol::put_u8(frames.request_data(), channel);
    if (status_t result = exchange_normal(slot, opcode, frames); result != status::ok)
        return result;
    protocol::get_u16_be(frames.reply_data(), *value);
    return status::ok;
}

} // namespace

extern "C" {

VORTLINK_API int16_t tkcmdset_set_an_out(uint8_t slot, uint8_t channel, uint16_t value) {
    return send_values(slot, opcode::set_an_out, protocol::timeout_normal_ms, channel, value);
}

VORTLINK_API int16_t tkcmdset_get_an_out(uint8_t slot, uint8_t channel, uint16_t *value) {
    return read_analog(slot, opcode::get_an_out, channel, value);
}

VORTLINK_API int16_t tkcmdset_get_an_in(uint8_t slot, uint8_t channel, uint16_t *value) {
    return read_analog(slot, opcode::get_an_in, channel, value);
}

VORTLINK_API int16_t tkcmdset_get_volts(uint8_t slot, uint8_t channel, float *volts) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    *volts = 0.0f;
    command_frames frames;
    protocol::put_u8(frames.request_data(), channel);
    if (status_t result = exchange_normal(slot, opcode::get_volts, frames); result != status::ok)
        return result;
    *volts = get_f32_be(frames.reply_data());
    return status::ok;
}

VORTLINK_API int16_t tkcmdset_set_dig_out(uint8_t slot, uint8_t output, uint8_t state) {
    return send_values(slot, opcode::set_dig_out, protocol::timeout_normal_ms, output, state);
}

VORTLINK_API int16_t tkcmdset_get_dig_out(uint8_t slot, uint8_t output, uint8_t *state) {
    return read_line(slot, opcode::get_dig_out, output, state);
}

VORTLINK_API int16_t tkcmdset_get_dig_in(uint8_t slot, uint8_t input, uint8_t *state) {
    return read_line(slot, opcode::get_dig_in, input, state);
}

VORTLINK_API int16_t tkcmdset_write_mem(uint8_t slot, uint32_t address, uint8_t value) {
    return send_values(slot, opcode::write_mem, protocol::timeout_normal_ms, address, value);
}

// Unlike the other readers, the byte is not cleared: after a failure it keeps its value.
VORTLINK_API int16_t tkcmdset_read_mem(uint8_t slot, uint32_t address, uint8_t *value) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    command_frames frames;
    protocol::put_u32_be(frames.request_data(), address);
    if (status_t result = exchange_normal(slot, opcode::read_mem, frames); result != status::ok)
        return result;
    *value = frames.reply_data()[0];
    return status::ok;
}
}
