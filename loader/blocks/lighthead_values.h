#pragma once
// The lighthead editor's values: LED group 0 of the lighthead record, its programming text, and
// the take-over of typed texts with the editor's range checks. Qt-free, so that a command-line
// tool checks a record the same way the dialog does.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "vortlink.h"

namespace vortlink::loader {

enum class lighthead_row : int {
    led_rth,
    tau,
    vf_slope,
    vf_offset,
    tj_max,
    string_count,
    leds_per_string,
    heatsink_rth,
    default_current,
    max_pulse_current,
    max_cont_current,
};
inline constexpr int lighthead_rows = 11;

struct lighthead_row_layout {
    const char *label;
    bool integer; // otherwise a single-precision real
};

// Labels and kinds in the order the editor shows and takes them.
extern const std::array<lighthead_row_layout, lighthead_rows> lighthead_layout;

inline constexpr const char *lighthead_not_programmed = "Lighthead not programmed";
inline constexpr const char *lighthead_programmed_prefix = "Lighthead last programmed on ";

// The image keeps the LEDs per string in four bits: the editor takes no more than fit.
inline constexpr int32_t max_leds_per_string = 15;

struct lighthead_values {
    float led_rth = 0;
    float tau = 0;
    float vf_slope = 0;
    float vf_offset = 0;
    float tj_max = 0;
    int32_t string_count = 0;
    int32_t leds_per_string = 0;
    float heatsink_rth = 0;
    float default_current = 0;
    float max_pulse_current = 0;
    float max_cont_current = 0;
    std::string programming_text;
};

void set_defaults(lighthead_values &values);
// From LED group 0 and the record's programming date.
void load_record(lighthead_values &values, const LightheadData &record);
// Into LED group 0; nothing else in the record changes.
void store_record(const lighthead_values &values, LightheadData &record);

// A row's value as the editor shows it: reals as "%g", integers in decimal.
std::string row_text(const lighthead_values &values, lighthead_row row);

// Why a row's text was refused, and the message that says so.
struct lighthead_refusal {
    lighthead_row row;
    std::string message;
};

// Takes the texts over into values one row at a time, in table order, each checked against its
// range (the current limits from the number of strings just taken) before the next is read. The
// first text that is not a number or is out of range stops the take-over; rows before it keep
// their new values, the refused row keeps its old one.
std::optional<lighthead_refusal>
take_over_rows(lighthead_values &values, const std::array<std::string, lighthead_rows> &texts);

} // namespace vortlink::loader
