#pragma once
// The controller's manufacturing block: 128 bytes at EEPROM address 0, identifier 2, which
// carries the unit's serial number, manufacturing date, hardware part number and revision, MAC
// address, default IP address and the 48 V limit flag.

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "core/eeprom_blocks.h"
#include "vortlink.h"

namespace vortlink::loader {

inline constexpr uint16_t mfg_block_address = mfg_layout::address;
inline constexpr std::size_t mfg_block_size = mfg_layout::size;
inline constexpr uint16_t mfg_block_identifier = mfg_layout::identifier;
// The text fields' widths in the block; a text that fills one has no terminator.
inline constexpr std::size_t serial_number_size = mfg_layout::serial_number_size;
inline constexpr std::size_t hardware_part_number_size = mfg_layout::hardware_part_number_size;
inline constexpr std::size_t eco_revision_size = mfg_layout::eco_revision_size;

// What the dialog's "Manufacturing Data" group and the settings put into the block.
struct mfg_fields {
    std::string serial_number;        // first 16 characters kept, no terminator when 16 or more
    std::array<uint8_t, TKCMDSET_MAC_SIZE> mac{}; // first byte first
    uint32_t ip = 0;                  // first octet in the most significant byte
    std::string hardware_part_number; // first 16 characters kept
    std::string eco_revision;         // first 4 characters kept
    bool limit_48v = false;
};

// "%03d%04d" of the day of the year (0 for 1 January) and the year.
std::string mfg_date_code(const std::tm &local_date);

// The whole block for these fields written on local_date, CRC-16 included.
void build_mfg_block(const mfg_fields &fields, const std::tm &local_date,
                     uint8_t (&block)[mfg_block_size]);

// The fields as a block holds them; texts end at their first zero byte or their field's end.
mfg_fields read_mfg_block(const uint8_t (&block)[mfg_block_size]);

// Identifier 2 in bytes 2 and 3, and the CRC-16 over bytes 2 to 127 in bytes 0 and 1.
bool IsValidMfgBlock(const uint8_t (&block)[mfg_block_size]);

} // namespace vortlink::loader
