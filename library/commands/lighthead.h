#pragma once
// The lighthead record's EEPROM image and the CRC-16 that protects every 128-byte EEPROM block
// the library reads.

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "vortlink.h"

namespace vortlink {

inline constexpr std::size_t eeprom_block_size = 128;
inline constexpr uint16_t lighthead_address = 1024;
inline constexpr uint16_t lighthead_block_id = 5;
inline constexpr uint16_t mfg_block_address = 0;
inline constexpr uint16_t mfg_block_id = 2;

// "7-Dec-2026 4:59" is at most 17 characters; the image keeps 20 bytes for it.
inline constexpr std::size_t programmed_on_size = 20;

// CRC-16/ARC: reflected polynomial 0xA001, initial 0, no final XOR.
uint16_t crc16(const uint8_t *bytes, std::size_t count);

// True when bytes 2-3 hold block_id and bytes 0-1 the crc16 of bytes 2 to 127, both big-endian.
bool check_record(const uint8_t *block, uint16_t block_id);

// The float whose bytes are those of value in reverse order.
float swap_f32(float value);

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
