#include "blocks/lighthead_values.h"

#include <cstring>

#include "blocks/field_text.h"

namespace vortlink::loader {

const std::array<lighthead_row_layout, lighthead_rows> lighthead_layout = {{
    {"LED Rth (\u00B0C/W)", false},
    {"Tau (mSec)", false},
    {"Vf Slope", false},
    {"Vf Offset (V)", false},
    {"Tjmax (\u00B0 F)", false},
    {"Number of Strings", true},
    {"LEDs / String", true},
    {"Heatsink Rth (\u00B0C/W)", false},
    {"Default LED Current (A)", false},
    {"Max Pulse LED Current (A)", false},
    {"Max Cont. LED Current (A)", false},
}};

namespace {

// The real-valued rows, in the order of their fields in lighthead_values and LedParameters.
template <class Values> auto *real_field(Values &values, lighthead_row row) {
    using pointer = decltype(&values.led_rth);
    switch (row) {
    case lighthead_row::led_rth:
        return &values.led_rth;
    case lighthead_row::tau:
        return &values.tau;
    case lighthead_row::vf_slope:
        return &values.vf_slope;
    case lighthead_row::vf_offset:
        return &values.vf_offset;
    case lighthead_row::tj_max:
        return &values.tj_max;
    case lighthead_row::heatsink_rth:
        return &values.heatsink_rth;
    case lighthead_row::default_current:
        return &values.default_current;
    case lighthead_row::max_pulse_current:
        return &values.max_pulse_current;
    case lighthead_row::max_cont_current:
        return &values.max_cont_current;
    case lighthead_row::string_count:
    case lighthead_row::leds_per_string:
        break;
    }
    return static_cast<pointer>(nullptr);
}

template <class Values> auto *integer_field(Values &values, lighthead_row row) {
    using pointer = decltype(&values.string_count);
    if (row == lighthead_row::string_count)
        return &values.string_count;
    if (row == lighthead_row::leds_per_string)
        return &values.leds_per_string;
    return static_cast<pointer>(nullptr);
}

struct real_range {
    float minimum;
    float maximum;
};

// Rows 9 to 11 depend on the number of strings already taken; the quotients are single
// precision, as the values they bound.
real_range range_of(lighthead_row row, int32_t string_count) {
    const auto strings = static_cast<float>(string_count);
    switch (row) {
    case lighthead_row::led_rth:
    case lighthead_row::heatsink_rth:
        return {0.0F, 6000.0F};
    case lighthead_row::tau:
        return {0.0F, 65.0F};
    case lighthead_row::vf_slope:
        return {0.0F, 50.0F};
    case lighthead_row::vf_offset:
        return {0.0F, 20.0F};
    case lighthead_row::tj_max:
        return {0.0F, 250.0F};
    case lighthead_row::default_current:
    case lighthead_row::max_pulse_current:
        return {0.0F, 50.0F / strings};
    case lighthead_row::max_cont_current:
        return {0.0F, 2.0F / strings};
    case lighthead_row::string_count:
        return {1.0F, 10.0F};
    case lighthead_row::leds_per_string:
        return {1.0F, static_cast<float>(max_leds_per_string)};
    }
    return {0.0F, 0.0F};
}

} // namespace

void set_defaults(lighthead_values &values) {
    values.led_rth = 0.0F;
    values.tau = 1.0F;
    values.vf_slope = 0.4F;
    values.vf_offset = 3.5F;
    values.tj_max = 100.0F;
    values.string_count = 1;
    values.leds_per_string = 1;
    values.heatsink_rth = 0.0F;
    values.default_current = 1.0F;
    values.max_pulse_current = 1.0F;
    values.max_cont_current = 1.0F;
    values.programming_text = lighthead_not_programmed;
}

void load_record(lighthead_values &values, const LightheadData &record) {
    const LedParameters &group = record.led[0];
    values.led_rth = group.led_rth;
    values.tau = group.tau;
    values.vf_slope = group.vf_slope;
    values.vf_offset = group.vf_offset;
    values.tj_max = group.tj_max;
    values.string_count = group.string_count;
    values.leds_per_string = group.leds_per_string;
    values.heatsink_rth = group.heatsink_rth;
    values.default_current = group.default_current;
    values.max_pulse_current = group.max_pulse_current;
    values.max_cont_current = group.max_cont_current;
    values.programming_text =
        std::string(lighthead_programmed_prefix) +
        std::string(record.programmed_on,
                    strnlen(record.programmed_on, sizeof record.programmed_on));
}

void store_record(const lighthead_values &values, LightheadData &record) {
    LedParameters &group = record.led[0];
    group.led_rth = values.led_rth;
    group.tau = values.tau;
    group.vf_slope = values.vf_slope;
    group.vf_offset = values.vf_offset;
    group.tj_max = values.tj_max;
    group.string_count = values.string_count;
    group.leds_per_string = values.leds_per_string;
    group.heatsink_rth = values.heatsink_rth;
    group.default_current = values.default_current;
    group.max_pulse_current = values.max_pulse_current;
    group.max_cont_current = values.max_cont_current;
}

std::string row_text(const lighthead_values &values, lighthead_row row) {
    if (const int32_t *integer = integer_field(values, row))
        return std::to_string(*integer);
    return general_text(*real_field(values, row), 6);
}

std::optional<lighthead_refusal>
take_over_rows(lighthead_values &values, const std::array<std::string, lighthead_rows> &texts) {
    for (int index = 0; index < lighthead_rows; ++index) {
        const auto row = static_cast<lighthead_row>(index);
        const real_range range = range_of(row, values.string_count);
        if (int32_t *integer = integer_field(values, row)) {
            const std::optional<int32_t> taken = strict_int32(texts[index]);
            if (!taken)
                return lighthead_refusal{row, "Please enter an integer."};
            const auto minimum = static_cast<int32_t>(range.minimum);
            const auto maximum = static_cast<int32_t>(range.maximum);
            if (*taken < minimum || *taken > maximum)
                return lighthead_refusal{row, "Please enter an integer between " +
                                                  std::to_string(minimum) + " and " +
                                                  std::to_string(maximum) + "."};
            *integer = *taken;
            continue;
        }
        const std::optional<float> taken = strict_float(texts[index]);
        if (!taken)
            return lighthead_refusal{row, "Please enter a number."};
        if (*taken < range.minimum || *taken > range.maximum)
            return lighthead_refusal{row, "Please enter a number between " +
                                              general_text(range.minimum, 6) + " and " +
                                              general_text(range.maximum, 6) + "."};
        *real_field(values, row) = *taken;
    }
    return std::nullopt;
}

} // namespace vortlink::loader
