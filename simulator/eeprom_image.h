#pragma once
// The controller's EEPROM as the factory leaves it: the manufacturing block, the configuration
// block and the lighthead image, each protected by the CRC-16 the loader and the library check;
// and the lighthead's LED figures read back from such an image.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace vortlink::sim {

inline constexpr uint32_t mfg_block_address = 0;
inline constexpr uint16_t mfg_block_size = 128;
inline constexpr uint16_t mfg_block_id = 2;
inline constexpr uint32_t config_block_address = 512;
inline constexpr uint16_t config_block_size = 256;
inline constexpr uint16_t config_block_id = 4;
inline constexpr uint32_t lighthead_image_address = 1024;
inline constexpr uint16_t lighthead_image_size = 128;
inline constexpr uint16_t lighthead_image_id = 5;
inline constexpr uint8_t led_group_count = 4;

// CRC-16/ARC (reflected polynomial 0xA001, initial 0, no final XOR).
uint16_t crc16(std::span<const uint8_t> bytes);

// True when the block's big-endian identifier at bytes 2-3 is `id` and its big-endian CRC-16 at
// bytes 0-1 covers bytes 2 to the end.
bool block_valid(std::span<const uint8_t> block, uint16_t id);

// What the factory writes into a new controller.
struct factory_identity {
    std::string serial_number; // at most 16 characters are kept
    // "PART Rev ECO" fills the part number (16 characters) and the ECO revision (4) fields;
    // any other text goes whole into the part number field, with ECO revision "A".
    std::string hw_version;
    bool with_lighthead = true; // false: the lighthead area stays erased
};

// Fills an EEPROM image (at least 64 KiB) with 0xFF and the three factory blocks.
void write_factory_eeprom(std::span<uint8_t> eeprom, const factory_identity &identity);

// The MAC address and default IPv4 address the factory derives from a serial number.
struct factory_network {
    uint8_t mac[6];
    uint32_t ip; // first octet in the most significant byte
};
factory_network network_for_serial(const std::string &serial_number);

// One LED group of the lighthead image, in engineering units.
struct led_group {
    double led_rth;   // C/W
    double tau_ms;    // ms
    double vf_slope;  // V/A
    double vf_offset; // V
    double tj_max;    // C
    unsigned string_count;
    unsigned leds_per_string;
    double heatsink_rth; // C/W
    double default_current;
    double max_pulse_current;
    double max_cont_current;
};

// The group from a valid lighthead image in `eeprom`; nullopt when the image is not valid or the
// group is out of range.
std::optional<led_group> read_led_group(std::span<const uint8_t> eeprom, uint8_t group);

// The supply overhead (V) of a valid configuration block in `eeprom`; nullopt otherwise.
std::optional<float> read_supply_overhead(std::span<const uint8_t> eeprom);

} // namespace vortlink::sim
