// Analog and digital I/O and single memory bytes: one exchange each.

#include "commands/command.h"
#include "core/state.h"

using namespace vortlink;

namespace {

namespace opcode = protocol::opcode;

// The controller may report any non-zero byte for a set line.
status_t read_line(uint8_t slot, uint8_t opcode, uint8_t line, uint8_t *state) {
    return query_values(
        slot, opcode, [&] { *state = 0; },
        [&](const uint8_t *data) { *state = data[0] != 0 ? 1 : 0; }, line);
}

status_t read_analog(uint8_t slot, uint8_t opcode, uint8_t channel, uint16_t *value) {
    return query_values(
        slot, opcode, [&] { *value = 0; }, [&](const uint8_t *data) { *value = get_u16_be(data); },
        channel);
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
    return query_values(
        slot, opcode::get_volts, [&] { *volts = 0.0f; },
        [&](const uint8_t *data) { *volts = get_f32_be(data); }, channel);
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
    return query_values(
        slot, opcode::read_mem, [] {}, [&](const uint8_t *data) { *value = data[0]; }, address);
}
}
