#pragma once
// The lighthead record's EEPROM image.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "core/eeprom_blocks.h"
#include "vortlink.h"

namespace vortlink {

// The library reads and writes the 128-byte blocks: the lighthead image and the manufacturing
// block.
inline constexpr std::size_t eeprom_block_size = lighthead_layout::size;
static_assert(mfg_layout::size == eeprom_block_size);
inline constexpr uint16_t lighthead_address = lighthead_layout::address;
inline constexpr uint16_t lighthead_block_id = lighthead_layout::identifier;
inline constexpr uint16_t mfg_block_address = mfg_layout::address;
inline constexpr uint16_t mfg_block_id = mfg_layout::identifier;

// "7-Dec-2026 4:59" is at most 17 characters; the image keeps 20 bytes for it.
inline constexpr std::size_t programmed_on_size = 20;

// Day, English month, year, hour and minute of the local time at `when`, whatever the process
// locale; the text is empty if the time cannot be converted.
void format_programmed_on(std::time_t when, char (&text)[programmed_on_size]);

// The complete image of record with the given programmed-on text, CRC-16 included.
void encode_lighthead(const LightheadData &record, const char (&programmed_on)[programmed_on_size],
                      uint8_t (&image)[eeprom_block_size]);

// Fills part_number, programmed_on and the four LED groups of record from image; the reserved
// parts of record are left as they are. The image is not checked here.
void decode_lighthead(const uint8_t (&image)[eeprom_block_size], LightheadData &record);

} // namespace vortlink
