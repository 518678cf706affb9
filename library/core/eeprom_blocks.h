#pragma once
// The controller's EEPROM blocks as the library, the loader and quorrelctl read and write them.
// Every block starts with its CRC-16 over the rest of the block and its identifier, both
// big-endian. (The simulated controller keeps its own copy of this on purpose: it checks both.)

#include <cstddef>
#include <cstdint>
#include <span>

namespace vortlink {

// CRC-16/ARC: reflected polynomial 0xA001, initial 0, no final XOR. Protects the EEPROM blocks
// and the firmware image headers; every place that stores one writes it big-endian.
uint16_t crc16(std::span<const uint8_t> bytes);
inline uint16_t crc16(const uint8_t *bytes, std::size_t count) {
    return crc16({bytes, count});
}

// Bytes 2 and 3 hold the identifier and bytes 0 and 1 the CRC-16 of everything after them.
bool check_record(std::span<const uint8_t> block, uint16_t identifier);
// Writes the CRC-16 of everything after the first two bytes into them.
void seal_record(std::span<uint8_t> block);

// The manufacturing block: the unit's identity, written by the loader, read by the library
// over TCP for the hardware version and serial number.
namespace mfg_layout {
inline constexpr uint16_t address = 0;
inline constexpr std::size_t size = 128;
inline constexpr uint16_t identifier = 2;
inline constexpr std::size_t serial_number_offset = 6;
inline constexpr std::size_t serial_number_size = 16;
inline constexpr std::size_t date_code_offset = 22;
inline constexpr std::size_t hardware_part_number_offset = 38;
inline constexpr std::size_t hardware_part_number_size = 16;
inline constexpr std::size_t eco_revision_offset = 54;
inline constexpr std::size_t eco_revision_size = 4;
inline constexpr std::size_t mac_offset = 61;
inline constexpr std::size_t ip_offset = 68;
inline constexpr std::size_t flags_offset = 72;
inline constexpr uint8_t flag_limit_48v = 0x01;
} // namespace mfg_layout

// The configuration block: operating settings the loader writes.
namespace config_layout {
inline constexpr uint16_t address = 512;
inline constexpr std::size_t size = 256;
inline constexpr uint16_t identifier = 4;
} // namespace config_layout

// The lighthead's data record, which the library converts to and from engineering units.
namespace lighthead_layout {
inline constexpr uint16_t address = 1024;
inline constexpr std::size_t size = 128;
inline constexpr uint16_t identifier = 5;
} // namespace lighthead_layout

} // namespace vortlink
