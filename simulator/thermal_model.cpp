#include "thermal_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vortlink::sim::thermal {

namespace {

// Every string carries the channel current, so this is also each LED's current.
double forward_voltage(const led_group &led, double current_a) {
    return led.vf_offset + led.vf_slope * current_a;
}

double led_power_w(const led_group &led, double current_a) {
    return std::max(0.0, forward_voltage(led, current_a) * current_a);
}

double headroom_c(const led_group &led) {
    return led.tj_max - ambient_c;
}

// Share of the steady-state rise a pulse of this width reaches (first-order response).
double pulse_fraction(const led_group &led, uint32_t width_us) {
    return 1.0 - std::exp(-(width_us / 1000.0) / led.tau_ms);
}

} // namespace

bool usable(const led_group &led) {
    return led.string_count > 0 && led.leds_per_string > 0 && led.led_rth > 0.0 &&
           led.tau_ms > 0.0 && headroom_c(led) > 0.0 && std::isfinite(led.vf_slope) &&
           led.vf_slope >= 0.0;
}

double led_temperature_c(const led_group &led, uint32_t width_us, double current_a) {
    return ambient_c + led_power_w(led, current_a) * led.led_rth * pulse_fraction(led, width_us);
}

uint32_t max_width_us(const led_group &led, double current_a) {
    if (current_a > led.max_pulse_current)
        return 0;
    const double steady_rise = led_power_w(led, current_a) * led.led_rth;
    if (steady_rise <= headroom_c(led))
        return longest_width_us;
    const double width_ms = -led.tau_ms * std::log(1.0 - headroom_c(led) / steady_rise);
    return static_cast<uint32_t>(std::min(width_ms * 1000.0, double{longest_width_us}));
}

double max_current_a(const led_group &led, uint32_t width_us) {
    const double fraction = pulse_fraction(led, width_us);
    if (fraction <= 0.0)
        return led.max_pulse_current;
    // Largest current whose LED power stays within the limit: vf_slope I^2 + vf_offset I = P.
    const double power_limit = headroom_c(led) / (led.led_rth * fraction);
    double current = led.max_pulse_current;
    if (led.vf_slope > 0.0) {
        const double offset = led.vf_offset;
        current = (-offset + std::sqrt(offset * offset + 4.0 * led.vf_slope * power_limit)) /
                  (2.0 * led.vf_slope);
    } else if (led.vf_offset > 0.0) {
        current = power_limit / led.vf_offset;
    }
    return std::clamp(current, 0.0, led.max_pulse_current);
}

uint16_t max_frequency_hz(const led_group &led, uint32_t width_us, double current_a) {
    constexpr double highest = std::numeric_limits<uint16_t>::max();
    if (width_us == 0 || current_a <= 0.0)
        return static_cast<uint16_t>(highest);
    if (led_temperature_c(led, width_us, current_a) > led.tj_max ||
        current_a > led.max_pulse_current)
        return 0;
    // Averaged over many pulses the LEDs and the heatsink see the duty cycle's share of the
    // power; the strings together must also stay within the continuous current.
    const double led_power = led_power_w(led, current_a);
    const double lighthead_power = led_power * led.string_count * led.leds_per_string;
    const double average_rise_per_duty =
        led_power * led.led_rth + lighthead_power * led.heatsink_rth;
    double duty = 1.0;
    if (average_rise_per_duty > 0.0)
        duty = std::min(duty, headroom_c(led) / average_rise_per_duty);
    duty = std::min(duty, led.max_cont_current / current_a);
    const double frequency = duty / (width_us / 1e6);
    return static_cast<uint16_t>(std::clamp(std::floor(frequency), 0.0, highest));
}

double supply_voltage_v(const led_group &led, double current_a, double overhead_v) {
    return led.leds_per_string * forward_voltage(led, current_a) + overhead_v;
}

} // namespace vortlink::sim::thermal
