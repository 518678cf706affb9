#pragma once
// The controller's answers to the thermal limit queries, worked out from one LED group of the
// lighthead image (see README.md, "Thermal model").

#include <cstdint>

#include "eeprom_image.h"

namespace vortlink::sim::thermal {

// The lighthead's surroundings, and the longest pulse the controller's timer can make.
inline constexpr double ambient_c = 25.0;
inline constexpr uint32_t longest_width_us = 1000000;
// Used when the configuration block holds no usable supply overhead.
inline constexpr double default_supply_overhead_v = 5.0;

// False for a group that drives no LEDs (an unused group of the image) or whose figures cannot
// give a limit; the controller then refuses the query.
bool usable(const led_group &led);

// Every routine below expects a usable group and a current that is finite and not negative.
double led_temperature_c(const led_group &led, uint32_t width_us, double current_a);
uint32_t max_width_us(const led_group &led, double current_a);
double max_current_a(const led_group &led, uint32_t width_us);
uint16_t max_frequency_hz(const led_group &led, uint32_t width_us, double current_a);
double supply_voltage_v(const led_group &led, double current_a, double overhead_v);

} // namespace vortlink::sim::thermal
