#include "blocks/config_block.h"

#include <cstring>

#include "blocks/block_bytes.h"
#include "blocks/field_text.h"

namespace vortlink::loader {

namespace {
constexpr std::size_t supply_overhead_offset = 6;
constexpr std::size_t initial_temperature_offset = 14;
constexpr std::size_t differential_offset = 22;
constexpr uint8_t differential_bit_1 = 0x01;
constexpr uint8_t differential_bit_2 = 0x02;

constexpr int channel_records = 4;
constexpr std::size_t first_channel_offset = 96;
constexpr std::size_t channel_record_size = 40;
constexpr std::size_t trigger_input_offset = 0;
constexpr std::size_t edge_offset = 1;
constexpr std::size_t mode_offset = 2;
constexpr std::size_t slew_offset = 3;
constexpr std::size_t delay_offset = 6;
constexpr std::size_t current_offset = 8;
constexpr std::size_t width_offset = 12;
constexpr uint8_t trigger_bit_1 = 0x01;
constexpr uint8_t trigger_bit_2 = 0x02;

uint8_t trigger_input_byte(trigger_choice choice) {
    switch (choice) {
    case trigger_choice::input_1:
        return 1;
    case trigger_choice::input_2:
        return 2;
    case trigger_choice::none:
    case trigger_choice::unselected:
        break;
    }
    return 0;
}

trigger_choice trigger_choice_of(uint8_t byte) {
    if (byte == 0)
        return trigger_choice::none;
    if ((byte & trigger_bit_1) != 0)
        return trigger_choice::input_1;
    if ((byte & trigger_bit_2) != 0)
        return trigger_choice::input_2;
    return trigger_choice::unselected;
}
} // namespace

uint8_t operating_mode_code(int position) {
    if (position < 0 || position >= operating_mode_positions)
        return 0;
    return operating_mode_codes[position];
}

std::optional<int> operating_mode_position(uint8_t code) {
    for (int position = 0; position < operating_mode_positions; ++position)
        if (operating_mode_codes[position] == code)
            return position;
    return std::nullopt;
}

void build_config_block(const config_fields &fields, uint8_t (&block)[config_block_size]) {
    using namespace block_bytes;
    std::memset(block, 0, sizeof block);
    put_head(block, config_block_identifier, 0x01, 0x0A);
    put_f32_be(block + supply_overhead_offset, lenient_float(fields.supply_overhead));
    block[differential_offset] =
        static_cast<uint8_t>((fields.differential_2 ? 2 : 0) + (fields.differential_1 ? 1 : 0));
    const uint8_t initial_temperature =
        static_cast<uint8_t>(lenient_int32(fields.initial_led_temperature));
    const uint8_t slew = fields.slew_position >= 0 && fields.slew_position < slew_rate_positions
                             ? static_cast<uint8_t>(fields.slew_position)
                             : no_slew_rate;
    for (int channel = 0; channel < channel_records; ++channel) {
        uint8_t *record = block + first_channel_offset + channel_record_size * channel;
        record[trigger_input_offset] = trigger_input_byte(fields.trigger_input);
        record[edge_offset] = fields.rising ? 1 : 0;
        put_u32_be(record + width_offset, static_cast<uint32_t>(lenient_int32(fields.width)));
        put_u16_be(record + delay_offset, static_cast<uint16_t>(lenient_int32(fields.delay)));
        put_f32_be(record + current_offset, lenient_float(fields.current));
        block[initial_temperature_offset + channel] = initial_temperature;
        record[slew_offset] = slew;
        record[mode_offset] = operating_mode_code(fields.mode_position);
    }
    seal_record(block);
}

void read_config_block(const uint8_t (&block)[config_block_size], config_fields &fields) {
    using namespace block_bytes;
    const uint8_t *record = block + first_channel_offset;
    fields.trigger_input = trigger_choice_of(record[trigger_input_offset]);
    fields.rising = record[edge_offset] != 0;
    fields.differential_1 = (block[differential_offset] & differential_bit_1) != 0;
    fields.differential_2 = (block[differential_offset] & differential_bit_2) != 0;
    fields.width = std::to_string(static_cast<int32_t>(get_u32_be(record + width_offset)));
    fields.delay = std::to_string(get_u16_be(record + delay_offset));
    fields.current = fixed_text(get_f32_be(record + current_offset), 5, 2);
    fields.supply_overhead = fixed_text(get_f32_be(block + supply_overhead_offset), 5, 2);
    fields.initial_led_temperature = std::to_string(block[initial_temperature_offset]);
    if (const std::optional<int> position = operating_mode_position(record[mode_offset]))
        fields.mode_position = *position;
    fields.slew_position = record[slew_offset] < slew_rate_positions
                               ? static_cast<int>(record[slew_offset])
                               : no_selection;
}

void show_config_defaults(config_fields &fields) {
    fields.trigger_input = trigger_choice::none;
    fields.rising = true;
    fields.width = "100";
    fields.delay = "0";
    fields.current = "1.0";
    fields.supply_overhead = "5.0";
    fields.mode_position = 0;
}

bool IsValidConfigBlock(const uint8_t (&block)[config_block_size]) {
    return check_record(block, config_block_identifier);
}

int mode_after_trigger_change(trigger_choice trigger_input, int mode_position) {
    const bool no_trigger_input = trigger_input == trigger_choice::none;
    if (no_trigger_input && mode_position == operating_mode_without_entry)
        mode_position = timing_bypass_position;
    if (!no_trigger_input && mode_position == timing_bypass_position)
        mode_position = operating_mode_without_entry;
    return mode_position;
}

} // namespace vortlink::loader
