#pragma once
// The controller's configuration block: 256 bytes at EEPROM address 512, identifier 4. After a
// short head (supply overhead, initial LED temperature per channel, differential trigger) come
// four channel records that the utility always writes alike and reads from the first.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/eeprom_blocks.h"

namespace vortlink::loader {

inline constexpr uint16_t config_block_address = config_layout::address;
inline constexpr std::size_t config_block_size = config_layout::size;
inline constexpr uint16_t config_block_identifier = config_layout::identifier;

inline constexpr int no_selection = -1;

// The operating mode list shows positions 0 to 3; position 4 is a mode the controller knows
// (code 18) that has no entry of its own, so selecting it leaves the list without a selection.
inline constexpr int operating_mode_positions = 5;
inline constexpr int operating_mode_list_entries = 4;
inline constexpr int operating_mode_without_entry = 4;
inline constexpr const char *operating_mode_names[operating_mode_list_entries] = {
    "Pulsed", "Timing Bypass", "Repeat", "Internal Trigger"};
inline constexpr uint8_t operating_mode_codes[operating_mode_positions] = {1, 2, 5, 8, 18};
inline constexpr int timing_bypass_position = 1;

inline constexpr int slew_rate_positions = 4;
inline constexpr const char *slew_rate_names[slew_rate_positions] = {"SLOW", "MED-SLOW", "MED-FAST",
                                                                     "FAST"};
inline constexpr uint8_t no_slew_rate = 0xFF;

// The radios "None", "1" and "2"; unselected when none of them is.
enum class trigger_choice : uint8_t { none = 0, input_1 = 1, input_2 = 2, unselected };

// The "Configuration Data" fields: the texts as shown, the selections as positions.
struct config_fields {
    trigger_choice trigger_input = trigger_choice::unselected;
    bool rising = false; // "Rising" selected; otherwise "Falling" counts
    bool differential_1 = false;
    bool differential_2 = false;
    std::string width;
    std::string delay;
    std::string current;
    std::string supply_overhead;
    std::string initial_led_temperature;
    int mode_position = no_selection; // 0 to 4, or no_selection
    int slew_position = no_selection; // 0 to 3, or no_selection
};

// The mode code written for a list position: 0 when no position is selected.
uint8_t operating_mode_code(int position);
// The list position of a mode code; nullopt for a code the utility does not know.
std::optional<int> operating_mode_position(uint8_t code);

// The whole block for these fields, CRC-16 included. Numbers are read from the texts leniently
// and cut to their field's width.
void build_config_block(const config_fields &fields, uint8_t (&block)[config_block_size]);

// Shows a valid block's first channel record and head in fields. A mode code the utility does not
// know leaves fields.mode_position as it was; a slew rate beyond the list clears the selection.
void read_config_block(const uint8_t (&block)[config_block_size], config_fields &fields);

// What an invalid block shows: no trigger input, rising edge, width 100, delay 0, current 1.0,
// supply overhead 5.0, "Pulsed". The differential trigger, the initial LED temperature and the
// slew rate keep what they show.
void show_config_defaults(config_fields &fields);

// Identifier 4 in bytes 2 and 3, and the CRC-16 over bytes 2 to 255 in bytes 0 and 1.
bool IsValidConfigBlock(const uint8_t (&block)[config_block_size]);

// The operating mode after the trigger input or the mode changed: "Timing Bypass" needs no
// trigger input, and the mode without entry needs one.
int mode_after_trigger_change(trigger_choice trigger_input, int mode_position);

} // namespace vortlink::loader
