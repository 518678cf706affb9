#include "commands/lighthead.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/protocol.h"
#include "core/state.h"

namespace vortlink {

namespace {

constexpr std::size_t led_group_offset = 48;
constexpr std::size_t led_group_size = 20;
constexpr std::size_t led_group_count = 4;
constexpr std::size_t part_number_offset = 8;
constexpr std::size_t part_number_size = 16;
constexpr std::size_t programmed_on_offset = part_number_offset + part_number_size;
// Bytes 4 to 7 mean something to the controller only; they are written as they always were.
constexpr uint8_t image_prefix[] = {0x00, lighthead_block_id, 0x01, 0x00, 0x0F, 0x07};

static_assert(led_group_offset + led_group_count * led_group_size == eeprom_block_size);
static_assert(programmed_on_offset + programmed_on_size + 4 == led_group_offset);
static_assert(sizeof(LightheadData::part_number) == part_number_size);
static_assert(sizeof(LightheadData::programmed_on) == programmed_on_size);

// Truncates toward zero. NaN and values outside the 32-bit range give INT32_MIN, as the x86
// truncating conversion does, so that such input is stored as zero bits rather than being
// undefined.
int32_t truncate_to_i32(double value) {
    if (!(value > -2147483649.0 && value < 2147483648.0))
        return INT32_MIN;
    return static_cast<int32_t>(value);
}

// The scale is applied in double precision: 2.3f A is 2299.99995 mA and is stored as 2299.
uint16_t to_scaled_u16(float value, double scale) {
    return static_cast<uint16_t>(static_cast<uint32_t>(truncate_to_i32(value * scale)) & 0xFFFF);
}

// The float nearest the stored number may lie just below it, and the truncating conversion
// would then write one unit less back: a record read and written unchanged would lose a unit
// in half of its values on every round. Of the two floats around the number, the one above is
// taken then.
float from_scaled_u16(const uint8_t *cursor, double scale) {
    uint16_t raw = 0;
    get_u16_be(cursor, raw);
    float value = static_cast<float>(raw / scale);
    if (static_cast<double>(value) * scale < raw)
        value = std::nextafter(value, std::numeric_limits<float>::infinity());
    return value;
}

void encode_group(const LedParameters &led, uint8_t *group) {
    uint8_t *cursor = group;
    cursor = put_u16_be(cursor, to_scaled_u16(led.led_rth, 10));
    cursor = put_u16_be(cursor, to_scaled_u16(led.tau, 1000));
    cursor = put_f32_be(cursor, led.vf_slope);
    cursor = put_u16_be(cursor, to_scaled_u16(led.vf_offset, 1000));
    *cursor++ = static_cast<uint8_t>(static_cast<uint32_t>(truncate_to_i32(led.tj_max)) & 0xFF);
    *cursor++ = static_cast<uint8_t>(((static_cast<uint32_t>(led.string_count) << 4) |
                                      (static_cast<uint32_t>(led.leds_per_string) & 0x0F)) &
                                     0xFF);
    cursor = put_u16_be(cursor, to_scaled_u16(led.heatsink_rth, 10));
    cursor = put_u16_be(cursor, to_scaled_u16(led.default_current, 1000));
    cursor = put_u16_be(cursor, to_scaled_u16(led.max_pulse_current, 1000));
    put_u16_be(cursor, to_scaled_u16(led.max_cont_current, 1000));
}

void decode_group(const uint8_t *group, LedParameters &led) {
    led.led_rth = from_scaled_u16(group + 0, 10);
    led.tau = from_scaled_u16(group + 2, 1000);
    led.vf_slope = get_f32_be(group + 4);
    led.vf_offset = from_scaled_u16(group + 8, 1000);
    led.tj_max = static_cast<float>(group[10]);
    led.string_count = group[11] >> 4;
    led.leds_per_string = group[11] & 0x0F;
    led.heatsink_rth = from_scaled_u16(group + 12, 10);
    led.default_current = from_scaled_u16(group + 14, 1000);
    led.max_pulse_current = from_scaled_u16(group + 16, 1000);
    led.max_cont_current = from_scaled_u16(group + 18, 1000);
}

} // namespace

void format_programmed_on(std::time_t when, char (&text)[programmed_on_size]) {
    // Formatted by hand: strftime's %b would follow the process locale.
    static constexpr const char *months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::fill(std::begin(text), std::end(text), '\0');
    std::tm local{};
    if (localtime_r(&when, &local) == nullptr || local.tm_mon < 0 || local.tm_mon > 11)
        return;
    std::snprintf(text, sizeof text, "%d-%s-%lld %d:%02d", local.tm_mday, months[local.tm_mon],
                  static_cast<long long>(local.tm_year) + 1900, local.tm_hour, local.tm_min);
}

void encode_lighthead(const LightheadData &record, const char (&programmed_on)[programmed_on_size],
                      uint8_t (&image)[eeprom_block_size]) {
    std::fill(std::begin(image), std::end(image), uint8_t{0});
    std::copy(std::begin(image_prefix), std::end(image_prefix), image + 2);
    std::memcpy(image + part_number_offset, record.part_number, part_number_size);
    std::memcpy(image + programmed_on_offset, programmed_on, programmed_on_size);
    for (std::size_t group = 0; group < led_group_count; ++group)
        encode_group(record.led[group], image + led_group_offset + group * led_group_size);
    seal_record(image);
}

void decode_lighthead(const uint8_t (&image)[eeprom_block_size], LightheadData &record) {
    std::memcpy(record.part_number, image + part_number_offset, part_number_size);
    std::memcpy(record.programmed_on, image + programmed_on_offset, programmed_on_size);
    for (std::size_t group = 0; group < led_group_count; ++group)
        decode_group(image + led_group_offset + group * led_group_size, record.led[group]);
}

} // namespace vortlink

using namespace vortlink;

extern "C" {

VORTLINK_API int16_t tkcmdset_set_lighthead_data(uint8_t slot, const LightheadData *record) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    char programmed_on[programmed_on_size];
    format_programmed_on(std::time(nullptr), programmed_on);
    uint8_t image[eeprom_block_size];
    encode_lighthead(*record, programmed_on, image);
    return tkcmdset_write_eemem_block(slot, lighthead_address, image, eeprom_block_size);
}

VORTLINK_API int16_t tkcmdset_get_lighthead_data(uint8_t slot, LightheadData *record) {
    if (status_t result = check_slot(slot); result != status::ok)
        return result;
    uint8_t image[eeprom_block_size];
    if (status_t result =
            tkcmdset_read_eemem_block(slot, lighthead_address, image, eeprom_block_size);
        result != status::ok)
        return result;
    if (!check_record(image, lighthead_block_id))
        return status::bad_lighthead_data;
    decode_lighthead(image, *record);
    return status::ok;
}
}
