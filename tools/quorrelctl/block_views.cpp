#include "block_views.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "blocks/lighthead_values.h"
#include "common/byte_order.h"
#include "output.h"
#include "text_input.h"

namespace vortlink::ctl {

namespace {

constexpr std::size_t serial_offset = 6, serial_size = 16;
constexpr std::size_t date_offset = 22, date_size = 8;
constexpr std::size_t first_channel_offset = 96;

constexpr const char *month_names[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

float get_f32_be(const uint8_t *bytes) {
    const uint32_t bits = loader::get_u32_be(bytes);
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

const char *on_off(bool value) { return value ? "on" : "off"; }

bool leap_year(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

} // namespace

std::string render_rows(const text_rows &rows) {
    std::size_t width = 0;
    for (const auto &[label, value] : rows)
        width = std::max(width, display_width(label) + 1);
    std::string text;
    for (const auto &[label, value] : rows)
        text += pad_right(label + ":", width + 1) + printable(value) + "\n";
    return text;
}

std::string mac_text(const uint8_t *mac) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

std::string ip_text(uint32_t ip) {
    char text[20];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xFF, (ip >> 8) & 0xFF,
                  ip & 0xFF);
    return text;
}

std::string iso_date_from_code(std::string_view code) {
    if (code.size() != 7)
        return {};
    const auto day = parse_unsigned(code.substr(0, 3), 365);
    const auto year = parse_unsigned(code.substr(3, 4), 9999);
    if (!day || !year || *year < 1 || (*day == 365 && !leap_year(static_cast<int>(*year))))
        return {};
    const int days_in[12] = {31, leap_year(static_cast<int>(*year)) ? 29 : 28, 31, 30, 31, 30,
                             31, 31,  30, 31, 30, 31};
    int month = 0;
    auto left = static_cast<int>(*day);
    while (left >= days_in[month])
        left -= days_in[month++];
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", static_cast<int>(*year), month + 1,
                  left + 1);
    return text;
}

std::string iso_time_from_programmed_on(std::string_view text) {
    // d-Mon-yyyy h:mm
    const std::size_t first_dash = text.find('-');
    const std::size_t second_dash = text.find('-', first_dash + 1);
    const std::size_t blank = text.find(' ');
    const std::size_t colon = text.find(':');
    if (first_dash == std::string_view::npos || second_dash != first_dash + 4 ||
        blank != second_dash + 5 || colon == std::string_view::npos || colon < blank ||
        text.size() != colon + 3)
        return {};
    const auto day = parse_unsigned(text.substr(0, first_dash), 31);
    const auto year = parse_unsigned(text.substr(second_dash + 1, 4), 9999);
    const auto hour = parse_unsigned(text.substr(blank + 1, colon - blank - 1), 23);
    const auto minute = parse_unsigned(text.substr(colon + 1), 59);
    int month = -1;
    for (int i = 0; i < 12; ++i)
        if (text.substr(first_dash + 1, 3) == month_names[i])
            month = i;
    if (!day || *day == 0 || !year || !hour || !minute || month < 0 ||
        text[colon + 1] < '0' || text[colon + 1] > '9')
        return {};
    char iso[32];
    std::snprintf(iso, sizeof iso, "%04u-%02d-%02uT%02u:%02u", static_cast<unsigned>(*year),
                  month + 1, static_cast<unsigned>(*day), static_cast<unsigned>(*hour),
                  static_cast<unsigned>(*minute));
    return iso;
}

block_view mfg_view(const uint8_t (&block)[loader::mfg_block_size]) {
    block_view view;
    const bool valid = loader::IsValidMfgBlock(block);
    view.data["valid"] = valid;
    if (!valid) {
        view.rows.push_back({"Manufacturing block", "not valid (wrong identifier or CRC-16)"});
        return view;
    }
    const loader::mfg_fields fields = loader::read_mfg_block(block);
    const std::string serial =
        device_text(reinterpret_cast<const char *>(block + serial_offset), serial_size);
    const std::string date_code =
        device_text(reinterpret_cast<const char *>(block + date_offset), date_size);
    const std::string date = iso_date_from_code(date_code);
    const std::string part = device_text(fields.hardware_part_number);
    const std::string eco = device_text(fields.eco_revision);
    const std::string mac = mac_text(fields.mac.data());
    const std::string ip = ip_text(fields.ip);
    view.data["serial_number"] = serial;
    view.data["manufactured_on"] = date.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(date);
    view.data["hardware_part_number"] = part;
    view.data["eco_revision"] = eco;
    view.data["mac"] = mac;
    view.data["ip"] = ip;
    view.data["limit_48v"] = fields.limit_48v;
    view.rows = {{"Serial number", serial},
                 {"Manufactured on", date.empty() ? "(date code " + date_code + ")" : date},
                 {"Hardware part number", part},
                 {"ECO revision", eco},
                 {"MAC address", mac},
                 {"IP address", ip},
                 {"48 V limit", on_off(fields.limit_48v)}};
    return view;
}

block_view config_view(const uint8_t (&block)[loader::config_block_size]) {
    block_view view;
    const bool valid = loader::IsValidConfigBlock(block);
    view.data["valid"] = valid;
    if (!valid) {
        view.rows.push_back({"Configuration block", "not valid (wrong identifier or CRC-16)"});
        return view;
    }
    const uint8_t *record = block + first_channel_offset;
    const uint8_t trigger = record[0];
    const bool rising = record[1] != 0;
    const uint8_t mode_code = record[2];
    const uint8_t slew = record[3];
    const uint16_t delay = loader::get_u16_be(record + 6);
    const float current = get_f32_be(record + 8);
    const auto width = static_cast<int32_t>(loader::get_u32_be(record + 12));
    const float supply_overhead = get_f32_be(block + 6);
    const uint8_t initial_temperature = block[14];
    const bool differential_1 = (block[22] & 1) != 0;
    const bool differential_2 = (block[22] & 2) != 0;

    const std::optional<int> mode_position = loader::operating_mode_position(mode_code);
    nlohmann::ordered_json mode;
    std::string mode_shown = "code " + std::to_string(mode_code);
    if (mode_position && *mode_position < loader::operating_mode_list_entries) {
        mode = loader::operating_mode_names[*mode_position];
        mode_shown = mode.get<std::string>();
    }
    nlohmann::ordered_json slew_name;
    if (slew < loader::slew_rate_positions)
        slew_name = loader::slew_rate_names[slew];
    nlohmann::ordered_json trigger_name;
    if (trigger <= 2)
        trigger_name = trigger == 0 ? "none" : std::to_string(trigger);

    view.data["trigger_input"] = trigger_name;
    view.data["edge"] = rising ? "rising" : "falling";
    view.data["differential_1"] = differential_1;
    view.data["differential_2"] = differential_2;
    view.data["width"] = width;
    view.data["delay"] = delay;
    view.data["current"] = json_real(current);
    view.data["supply_overhead"] = json_real(supply_overhead);
    view.data["initial_led_temperature"] = initial_temperature;
    view.data["operating_mode"] = mode;
    view.data["operating_mode_code"] = mode_code;
    view.data["slew_rate"] = slew_name;
    view.rows = {
        {"Trigger input",
         trigger_name.is_null() ? "code " + std::to_string(trigger) : trigger_name.get<std::string>()},
        {"Trigger edge", rising ? "rising" : "falling"},
        {"Differential trigger 1", on_off(differential_1)},
        {"Differential trigger 2", on_off(differential_2)},
        {"Width", std::to_string(width)},
        {"Delay", std::to_string(delay)},
        {"Current", real_text(current) + " A"},
        {"Supply overhead", real_text(supply_overhead) + " V"},
        {"Initial LED temperature", std::to_string(initial_temperature) + " \u00B0C"},
        {"Operating mode", mode_shown},
        {"Slew rate",
         slew_name.is_null() ? (slew == loader::no_slew_rate ? "none" : "code " + std::to_string(slew))
                             : slew_name.get<std::string>()}};
    return view;
}

block_view lighthead_view(const LightheadData &record) {
    block_view view;
    const std::string part = device_text(record.part_number, sizeof record.part_number);
    const std::string programmed =
        device_text(record.programmed_on, sizeof record.programmed_on);
    const std::string iso = iso_time_from_programmed_on(programmed);
    view.data["part_number"] = part;
    view.data["programmed_on"] = iso.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(iso);
    view.rows = {{"Part number", part},
                 {"Programmed on", iso.empty() ? "(\"" + programmed + "\")" : iso}};

    const LedParameters &led = record.led[0];
    const std::pair<const char *, float> reals[] = {
        {"led_rth", led.led_rth},         {"tau", led.tau},
        {"vf_slope", led.vf_slope},       {"vf_offset", led.vf_offset},
        {"tj_max", led.tj_max},           {"heatsink_rth", led.heatsink_rth},
        {"default_current", led.default_current}, {"max_pulse_current", led.max_pulse_current},
        {"max_cont_current", led.max_cont_current}};
    nlohmann::ordered_json group = nlohmann::ordered_json::object();
    for (int row = 0; row < loader::lighthead_rows; ++row) {
        const auto kind = static_cast<loader::lighthead_row>(row);
        const char *label = loader::lighthead_layout[static_cast<std::size_t>(row)].label;
        std::string text;
        switch (kind) {
        case loader::lighthead_row::string_count:
            group["string_count"] = led.string_count;
            text = std::to_string(led.string_count);
            break;
        case loader::lighthead_row::leds_per_string:
            group["leds_per_string"] = led.leds_per_string;
            text = std::to_string(led.leds_per_string);
            break;
        default: {
            const int real_index = row < static_cast<int>(loader::lighthead_row::string_count)
                                       ? row
                                       : row - 2;
            const auto &[key, value] = reals[real_index];
            group[key] = json_real(value);
            text = real_text(value);
        }
        }
        view.rows.push_back({label, text});
    }
    view.data["led_group_0"] = group;
    return view;
}

} // namespace vortlink::ctl
