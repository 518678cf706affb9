#pragma once
// The CRC-16 of the controller's EEPROM blocks and firmware image headers, as the library
// computes it.

#include "core/eeprom_blocks.h"

namespace vortlink::loader {
using vortlink::crc16;
} // namespace vortlink::loader
