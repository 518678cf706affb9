#include "core/protocol.h"

#include <array>
#include <bit>
#include <cstring>

#include "core/status.h"

namespace vortlink::protocol {

const command_descriptor command_table[command_count] = {
    {0x00, 50, 50},  {0x01, 0, 20},   {0x02, 0, 2},   {0x03, 1, 0},  {0x04, 2, 0},
    {0x05, 6, 4},    {0x20, 4, 0},    {0x21, 2, 2},   {0x24, 2, 2},  {0x25, 2, 4},
    {0x40, 2, 0},    {0x41, 1, 1},    {0x42, 1, 1},   {0x50, 6, 0},  {0x51, 4, 2},
    {0x52, 118, 0},  {0x53, 6, 112},  {0x54, 118, 0}, {0x55, 6, 112}, {0x56, 4, 0},
    {0x80, 9, 0},    {0x81, 1, 9},    {0x82, 3, 0},   {0x83, 1, 3},  {0x84, 5, 0},
    {0x85, 1, 4},    {0x86, 4, 0},    {0x87, 0, 4},   {0x88, 1, 0},  {0x89, 1, 0},
    {0x8A, 0, 1},    {0x8B, 3, 0},    {0x90, 7, 4},   {0x91, 5, 2},  {0x92, 3, 4},
    {0x93, 7, 2},    {0x94, 7, 4},    {0xA0, 11, 0},  {0xA1, 1, 11}, {0xA2, 9, 4},
    {0xA3, 5, 4},    {0xA4, 5, 4},    {0xA5, 9, 2},   {0xA6, 9, 4},  {0xA7, 0, 12},
    {0xA8, 0, 6},    {0xA9, 12, 0},   {0xAA, 6, 0},   {0xAB, 7, 0},  {0xAC, 1, 6},
};

int16_t lookup_command(uint8_t opcode, bool want_request_length, uint16_t &length) {
    length = 0;
    for (const command_descriptor &row : command_table) {
        if (row.opcode == opcode) {
            length = want_request_length ? row.request_length : row.reply_length;
            return status::ok;
        }
    }
    return status::unknown_opcode;
}

namespace {
constexpr std::array<uint8_t, 256> make_crc8_table() {
    std::array<uint8_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x80) ? ((crc << 1) ^ 0x07) : (crc << 1);
        table[i] = static_cast<uint8_t>(crc);
    }
    return table;
}
constexpr std::array<uint8_t, 256> crc8_table = make_crc8_table();
static_assert(crc8_table[1] == 0x07 && crc8_table[2] == 0x0E && crc8_table[5] == 0x1B);
} // namespace

uint8_t crc8(const uint8_t *bytes, uint16_t count) {
    uint8_t crc = 0;
    for (uint16_t i = 0; i < count; ++i)
        crc = crc8_table[static_cast<uint8_t>(bytes[i] ^ crc)];
    return crc;
}

const char *opcode_name(uint8_t opcode) {
    switch (opcode) {
    case opcode::echo: return "echo";
    case opcode::fw_version: return "fw_version";
    case opcode::status: return "status";
    case opcode::run_diags: return "run_diags";
    case 0x04: return "opcode_04";
    case opcode::special: return "special";
    case opcode::set_an_out: return "set_an_out";
    case opcode::get_an_out: return "get_an_out";
    case opcode::get_an_in: return "get_an_in";
    case opcode::get_volts: return "get_volts";
    case opcode::set_dig_out: return "set_dig_out";
    case opcode::get_dig_out: return "get_dig_out";
    case opcode::get_dig_in: return "get_dig_in";
    case opcode::write_mem: return "write_mem";
    case opcode::read_mem: return "read_mem";
    case opcode::write_mem_block: return "write_mem_block";
    case opcode::read_mem_block: return "read_mem_block";
    case opcode::write_eemem_block: return "write_eemem_block";
    case opcode::read_eemem_block: return "read_eemem_block";
    case opcode::execute: return "execute";
    case 0x80: return "opcode_80";
    case 0x81: return "opcode_81";
    case opcode::set_trigger_map: return "set_trigger_map";
    case opcode::get_trigger_map: return "get_trigger_map";
    case opcode::set_hv_supply: return "set_hv_supply";
    case opcode::get_hv_supply: return "get_hv_supply";
    case opcode::set_lv_supply: return "set_lv_supply";
    case opcode::get_lv_supply: return "get_lv_supply";
    case opcode::trigger: return "trigger";
    case opcode::set_pulse_out: return "set_pulse_out";
    case opcode::get_pulse_out: return "get_pulse_out";
    case opcode::set_gate_map: return "set_gate_map";
    case 0x90: return "opcode_90";
    case 0x91: return "opcode_91";
    case 0x92: return "opcode_92";
    case 0x93: return "opcode_93";
    case 0x94: return "opcode_94";
    case opcode::set_pulse: return "set_pulse";
    case opcode::get_pulse: return "get_pulse";
    case opcode::calc_led_temp: return "calc_led_temp";
    case opcode::calc_max_width: return "calc_max_width";
    case opcode::calc_max_current: return "calc_max_current";
    case opcode::calc_max_freq: return "calc_max_freq";
    case opcode::calc_supply_voltage: return "calc_supply_voltage";
    case opcode::get_ip: return "get_ip";
    case opcode::get_mac: return "get_mac";
    case opcode::set_ip: return "set_ip";
    case opcode::set_mac: return "set_mac";
    case opcode::set_repeat: return "set_repeat";
    case opcode::get_repeat: return "get_repeat";
    case error_reply_marker: return "error_reply";
    default: return "unknown";
    }
}

} // namespace vortlink::protocol
