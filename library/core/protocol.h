#pragma once
// The controller's wire protocol: command descriptor table, CRC-8 and the packing routines.
// Shared by the library and the simulated controller; nothing here knows about transports.

#include <cstddef>
#include <cstdint>

#include "core/byte_order.h"
#include "vortlink.h"

namespace vortlink::protocol {

// Every command builds its request and receives its reply in buffers of this size.
inline constexpr std::size_t frame_buffer_size = 200;

// Byte 1 of an error reply.
inline constexpr uint8_t error_reply_marker = '*';
// A TCP error reply is always this long: header, '*', two unread bytes, code low, code high, CRC.
inline constexpr std::size_t tcp_error_reply_size = 7;

// HID usages whose reports carry the command set.
inline constexpr uint8_t usage_request = 0xA6;
inline constexpr uint8_t usage_long_request = 0xA7;
inline constexpr uint8_t usage_reply = 0xA8;
inline constexpr uint8_t usage_long_reply = 0xA9;
inline constexpr uint8_t usage_feature = 0xAA;

// Reply time-outs in milliseconds.
inline constexpr uint16_t timeout_normal_ms = 1500;
inline constexpr uint16_t timeout_setup_ms = 5000;
inline constexpr uint16_t timeout_long_ms = 6000;

namespace opcode {
inline constexpr uint8_t echo = 0x00;
inline constexpr uint8_t fw_version = 0x01;
inline constexpr uint8_t status = 0x02;
inline constexpr uint8_t run_diags = 0x03;
inline constexpr uint8_t special = 0x05;
inline constexpr uint8_t set_an_out = 0x20;
inline constexpr uint8_t get_an_out = 0x21;
inline constexpr uint8_t get_an_in = 0x24;
inline constexpr uint8_t get_volts = 0x25;
inline constexpr uint8_t set_dig_out = 0x40;
inline constexpr uint8_t get_dig_out = 0x41;
inline constexpr uint8_t get_dig_in = 0x42;
inline constexpr uint8_t write_mem = 0x50;
inline constexpr uint8_t read_mem = 0x51;
inline constexpr uint8_t write_mem_block = 0x52;
inline constexpr uint8_t read_mem_block = 0x53;
inline constexpr uint8_t write_eemem_block = 0x54;
inline constexpr uint8_t read_eemem_block = 0x55;
inline constexpr uint8_t execute = 0x56;
inline constexpr uint8_t set_trigger_map = 0x82;
inline constexpr uint8_t get_trigger_map = 0x83;
inline constexpr uint8_t set_hv_supply = 0x84;
inline constexpr uint8_t get_hv_supply = 0x85;
inline constexpr uint8_t set_lv_supply = 0x86;
inline constexpr uint8_t get_lv_supply = 0x87;
inline constexpr uint8_t trigger = 0x88;
inline constexpr uint8_t set_pulse_out = 0x89;
inline constexpr uint8_t get_pulse_out = 0x8A;
inline constexpr uint8_t set_gate_map = 0x8B;
inline constexpr uint8_t set_pulse = 0xA0;
inline constexpr uint8_t get_pulse = 0xA1;
inline constexpr uint8_t calc_led_temp = 0xA2;
inline constexpr uint8_t calc_max_width = 0xA3;
inline constexpr uint8_t calc_max_current = 0xA4;
inline constexpr uint8_t calc_max_freq = 0xA5;
inline constexpr uint8_t calc_supply_voltage = 0xA6;
inline constexpr uint8_t get_ip = 0xA7;
inline constexpr uint8_t get_mac = 0xA8;
inline constexpr uint8_t set_ip = 0xA9;
inline constexpr uint8_t set_mac = 0xAA;
inline constexpr uint8_t set_repeat = 0xAB;
inline constexpr uint8_t get_repeat = 0xAC;
} // namespace opcode

// Error numbers the controller sends in error replies ('*'), as the public header names them.
namespace device_error {
#define CONTROLLER_CODE(name, code, title, text) inline constexpr int16_t name = code;
#include "core/status_codes.inc"
} // namespace device_error

struct command_descriptor {
    uint8_t opcode;
    uint8_t request_length; // data bytes after header and opcode, without the CRC-8
    uint8_t reply_length;
};

inline constexpr std::size_t command_count = 50;
extern const command_descriptor command_table[command_count];

// Returns 0 and the request (want_request_length) or reply data length of the first row
// with the opcode; -10208 with length 0 when no row has it.
int16_t lookup_command(uint8_t opcode, bool want_request_length, uint16_t &length);

// CRC-8 with polynomial 0x07, initial 0, MSB first, no final XOR.
uint8_t crc8(const uint8_t *bytes, uint16_t count);

// The packing routines of the commands and the simulated controller.
using vortlink::get_u16_be;
using vortlink::get_u32_be;
using vortlink::get_u8;
using vortlink::put_f32_be;
using vortlink::put_u16_be;
using vortlink::put_u32_be;
using vortlink::put_u8;

// Name of an opcode for logs ("status", "read_eemem_block", ...); "unknown" when in no row.
const char *opcode_name(uint8_t opcode);

} // namespace vortlink::protocol
