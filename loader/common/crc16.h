#pragma once
// CRC-16 of the controller's EEPROM blocks and firmware image headers (CRC-16/ARC). Every place
// that stores one writes it big-endian.

#include <cstdint>
#include <span>

namespace vortlink::loader {

uint16_t crc16(std::span<const uint8_t> bytes);

} // namespace vortlink::loader
