// Pulse, repeat, trigger and gate maps, supplies, pulse output and network addresses: one
// exchange each. Changing a pulse or a supply takes the controller longer to confirm.

#include <cstring>

#include "commands/command.h"
#include "core/state.h"

using namespace vortlink;

namespace {

namespace opcode = protocol::opcode;

constexpr std::size_t mac_size = TKCMDSET_MAC_SIZE;

status_t read_supply(uint8_t slot, uint8_t opcode, uint8_t index, float *volts) {
    return query_values(
        slot, opcode, [&] { *volts = 0.0f; },
        [&](const uint8_t *data) { *volts = get_f32_be(data); }, index);
}

status_t write_supply(uint8_t slot, uint8_t opcode, uint8_t index, float volts) {
    return send_values(slot, opcode, protocol::timeout_setup_ms, index, volts);
}

status_t write_map(uint8_t slot, uint8_t opcode, uint8_t index, uint8_t map_1, uint8_t map_2) {
    return send_values(slot, opcode, protocol::timeout_normal_ms, index, map_1, map_2);
}

} // namespace

extern "C" {

VORTLINK_API int16_t tkcmdset_set_pulse(uint8_t slot, uint8_t channel, uint32_t width,
                                        uint16_t delay, float current) {
    return send_values(slot, opcode::set_pulse, protocol::timeout_setup_ms, channel, width, delay,
                       current);
}

VORTLINK_API int16_t tkcmdset_get_pulse(uint8_t slot, uint8_t channel, uint32_t *width,
                                        uint16_t *delay, float *current) {
    const auto clear = [&] {
        *width = 0;
        *delay = 0;
        *current = 0.0f;
    };
    // The reply starts with the channel again, which is not checked.
    const auto read = [&](const uint8_t *data) {
        get_f32_be(get_u16_be(get_u32_be(data + 1, *width), *delay), *current);
    };
    return query_values(slot, opcode::get_pulse, clear, read, channel);
}

VORTLINK_API int16_t tkcmdset_set_repeat(uint8_t slot, uint8_t channel, uint32_t value32,
                                         uint16_t value16) {
    return send_values(slot, opcode::set_repeat, protocol::timeout_setup_ms, channel, value32,
                       value16);
}

VORTLINK_API int16_t tkcmdset_get_repeat(uint8_t slot, uint8_t channel, uint32_t *value32,
                                         uint16_t *value16) {
    const auto clear = [&] {
        *value32 = 0;
        *value16 = 0;
    };
    const auto read = [&](const uint8_t *data) {
        get_u16_be(get_u32_be(data, *value32), *value16);
    };
    return query_values(slot, opcode::get_repeat, clear, read, channel);
}

VORTLINK_API int16_t tkcmdset_set_trigger_map(uint8_t slot, uint8_t index, uint8_t map_1,
                                              uint8_t map_2) {
    return write_map(slot, opcode::set_trigger_map, index, map_1, map_2);
}

VORTLINK_API int16_t tkcmdset_get_trigger_map(uint8_t slot, uint8_t index, uint8_t *map_1,
                                              uint8_t *map_2) {
    const auto clear = [&] {
        *map_1 = 0;
        *map_2 = 0;
    };
    // The reply starts with the index again, which is not checked.
    const auto read = [&](const uint8_t *data) { get_u8(get_u8(data + 1, *map_1), *map_2); };
    return query_values(slot, opcode::get_trigger_map, clear, read, index);
}

VORTLINK_API int16_t tkcmdset_set_gate_map(uint8_t slot, uint8_t index, uint8_t map_1,
                                           uint8_t map_2) {
    return write_map(slot, opcode::set_gate_map, index, map_1, map_2);
}

VORTLINK_API int16_t tkcmdset_set_hv_supply(uint8_t slot, uint8_t index, float volts) {
    return write_supply(slot, opcode::set_hv_supply, index, volts);
}

VORTLINK_API int16_t tkcmdset_get_hv_supply(uint8_t slot, uint8_t index, float *volts) {
    return read_supply(slot, opcode::get_hv_supply, index, volts);
}

// Over TCP the controller's frame for 0x86 has room for the index and three bytes of volts only,
// and 0x87 none for the index; over USB the whole report carries what is packed here.
VORTLINK_API int16_t tkcmdset_set_lv_supply(uint8_t slot, uint8_t index, float volts) {
    return write_supply(slot, opcode::set_lv_supply, index, volts);
}

VORTLINK_API int16_t tkcmdset_get_lv_supply(uint8_t slot, uint8_t index, float *volts) {
    return read_supply(slot, opcode::get_lv_supply, index, volts);
}

VORTLINK_API int16_t tkcmdset_trigger(uint8_t slot, uint8_t index) {
    return send_values(slot, opcode::trigger, protocol::timeout_normal_ms, index);
}

// As with the low-voltage supply, TCP frames for 0x89 and 0x8A are shorter than what is packed.
VORTLINK_API int16_t tkcmdset_set_pulse_out(uint8_t slot, uint8_t index, uint8_t setting) {
    return send_values(slot, opcode::set_pulse_out, protocol::timeout_normal_ms, index, setting);
}

VORTLINK_API int16_t tkcmdset_get_pulse_out(uint8_t slot, uint8_t index, uint8_t *setting) {
    return query_values(
        slot, opcode::get_pulse_out, [] {}, [&](const uint8_t *data) { *setting = data[0]; },
        index);
}

VORTLINK_API int16_t tkcmdset_set_ip(uint8_t slot, uint32_t ip_1, uint32_t ip_2, uint32_t ip_3) {
    return send_values(slot, opcode::set_ip, protocol::timeout_normal_ms, ip_1, ip_2, ip_3);
}

VORTLINK_API int16_t tkcmdset_get_ip(uint8_t slot, uint32_t *ip_1, uint32_t *ip_2, uint32_t *ip_3) {
    const auto read = [&](const uint8_t *data) {
        get_u32_be(get_u32_be(get_u32_be(data, *ip_1), *ip_2), *ip_3);
    };
    return query_values(
        slot, opcode::get_ip, [] {}, read);
}

VORTLINK_API int16_t tkcmdset_set_mac(uint8_t slot, const uint8_t *mac) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    command_frames frames;
    std::memcpy(frames.request_data(), mac, mac_size);
    return run_exchange(slot, header_pair::normal, opcode::set_mac, frames,
                        protocol::timeout_normal_ms);
}

VORTLINK_API int16_t tkcmdset_get_mac(uint8_t slot, uint8_t *mac) {
    return query_values(
        slot, opcode::get_mac, [] {},
        [&](const uint8_t *data) { std::memcpy(mac, data, mac_size); });
}
}
