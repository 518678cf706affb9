#include "setting_commands.h"

#include <arpa/inet.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>

#include "block_views.h"
#include "output.h"
#include "text_input.h"
#include "vortlink.h"

namespace vortlink::ctl {

namespace {

// Takes the arguments one by one, each named as the command's synopsis names it; the first
// that does not parse is remembered with a message naming it and its limit.
class argument_reader {
  public:
    argument_reader(const std::vector<std::string> &args, const char *synopsis)
        : args_(args) {
        std::string name;
        for (const char *c = synopsis;; ++c) {
            if (*c == ' ' || *c == '\0') {
                if (!name.empty())
                    names_.push_back(name);
                name.clear();
                if (*c == '\0')
                    break;
            } else {
                name += *c;
            }
        }
    }

    uint32_t number(uint64_t limit) {
        const std::string *text = take();
        if (text == nullptr)
            return 0;
        const std::optional<uint64_t> value = parse_unsigned(*text, limit);
        if (!value)
            return fail(current_name() + ": " + quoted(*text) + " is not a whole number from 0 to " +
                        std::to_string(limit));
        return static_cast<uint32_t>(*value);
    }

    float real() {
        const std::string *text = take();
        if (text == nullptr)
            return 0;
        const std::optional<double> value = parse_real(*text);
        if (!value || std::fabs(*value) > std::numeric_limits<float>::max())
            return static_cast<float>(
                fail(current_name() + ": " + quoted(*text) + " is not a finite number"));
        return static_cast<float>(*value);
    }

    // A dotted IPv4 address, or the 32-bit word as a number.
    uint32_t address() {
        const std::string *text = take();
        if (text == nullptr)
            return 0;
        in_addr parsed{};
        if (inet_pton(AF_INET, text->c_str(), &parsed) == 1)
            return ntohl(parsed.s_addr);
        const std::optional<uint64_t> value = parse_unsigned(*text, dword_limit);
        if (!value)
            return fail(current_name() + ": " + quoted(*text) +
                        " is neither a dotted IPv4 address nor a number from 0 to " +
                        std::to_string(dword_limit));
        return static_cast<uint32_t>(*value);
    }

    const std::string &text() {
        static const std::string empty;
        const std::string *taken = take();
        return taken != nullptr ? *taken : empty;
    }

    void refuse(const std::string &why) { (void)fail(current_name() + ": " + why); }

    // All arguments taken and all parsed.
    bool complete(std::string &message) const {
        if (!error_.empty())
            message = error_;
        else if (next_ != args_.size())
            message = "expected " + std::to_string(next_) + " argument" +
                      (next_ == 1 ? "" : "s") + ", got " + std::to_string(args_.size());
        return message.empty();
    }

  private:
    static constexpr uint64_t dword_limit = 0xFFFFFFFF;

    static std::string quoted(const std::string &text) { return "'" + text + "'"; }

    std::string current_name() const {
        return next_ - 1 < names_.size() ? names_[next_ - 1] : "argument " + std::to_string(next_);
    }
    const std::string *take() {
        if (next_ >= args_.size()) {
            ++next_;
            return nullptr;
        }
        return &args_[next_++];
    }
    uint32_t fail(std::string why) {
        if (error_.empty())
            error_ = std::move(why);
        return 0;
    }

    const std::vector<std::string> &args_;
    std::vector<std::string> names_;
    std::size_t next_ = 0;
    std::string error_;
};

// One command: reads its arguments (all before the exchange), then runs it.
struct setting_command {
    setting_verb verb;
    const char *name;
    const char *arguments;
    std::function<setting_runner(argument_reader &)> prepare;
};

// The controller answers temperatures, currents and voltages as the bits of a single-precision
// float in its 32-bit result.
float float_from_bits(uint32_t bits) {
    float value = 0;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

constexpr uint8_t byte_max = 0xFF;
constexpr uint16_t word_max = 0xFFFF;
constexpr uint32_t dword_max = 0xFFFFFFFF;

using runner = setting_runner;

const std::vector<setting_command> &commands() {
    using v = setting_verb;
    using json = nlohmann::ordered_json;
    static const std::vector<setting_command> table = {
        {v::get, "pulse", "CHANNEL",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint32_t width = 0;
                 uint16_t delay = 0;
                 float current = 0;
                 const status_t r = tkcmdset_get_pulse(s, ch, &width, &delay, &current);
                 out = {{"width", width}, {"delay", delay}, {"current", json_real(current)}};
                 return r;
             };
         }},
        {v::set, "pulse", "CHANNEL WIDTH DELAY CURRENT",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const auto delay = static_cast<uint16_t>(a.number(word_max));
             const float current = a.real();
             return [=](uint8_t s, json &) { return tkcmdset_set_pulse(s, ch, width, delay, current); };
         }},
        {v::get, "repeat", "CHANNEL",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint32_t value32 = 0;
                 uint16_t value16 = 0;
                 const status_t r = tkcmdset_get_repeat(s, ch, &value32, &value16);
                 out = {{"value32", value32}, {"value16", value16}};
                 return r;
             };
         }},
        {v::set, "repeat", "CHANNEL VALUE32 VALUE16",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t value32 = a.number(dword_max);
             const auto value16 = static_cast<uint16_t>(a.number(word_max));
             return [=](uint8_t s, json &) { return tkcmdset_set_repeat(s, ch, value32, value16); };
         }},
        {v::get, "trigger-map", "INDEX",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint8_t map_1 = 0, map_2 = 0;
                 const status_t r = tkcmdset_get_trigger_map(s, index, &map_1, &map_2);
                 out = {{"map_1", map_1}, {"map_2", map_2}};
                 return r;
             };
         }},
        {v::set, "trigger-map", "INDEX MAP1 MAP2",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const auto map_1 = static_cast<uint8_t>(a.number(byte_max));
             const auto map_2 = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &) { return tkcmdset_set_trigger_map(s, index, map_1, map_2); };
         }},
        {v::set, "gate-map", "INDEX MAP1 MAP2",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const auto map_1 = static_cast<uint8_t>(a.number(byte_max));
             const auto map_2 = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &) { return tkcmdset_set_gate_map(s, index, map_1, map_2); };
         }},
        {v::get, "hv-supply", "INDEX",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 float volts = 0;
                 const status_t r = tkcmdset_get_hv_supply(s, index, &volts);
                 out = {{"volts", json_real(volts)}};
                 return r;
             };
         }},
        {v::set, "hv-supply", "INDEX VOLTS",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const float volts = a.real();
             return [=](uint8_t s, json &) { return tkcmdset_set_hv_supply(s, index, volts); };
         }},
        {v::get, "lv-supply", "INDEX",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 float volts = 0;
                 const status_t r = tkcmdset_get_lv_supply(s, index, &volts);
                 out = {{"volts", json_real(volts)}};
                 return r;
             };
         }},
        {v::set, "lv-supply", "INDEX VOLTS",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const float volts = a.real();
             return [=](uint8_t s, json &) { return tkcmdset_set_lv_supply(s, index, volts); };
         }},
        {v::get, "pulse-out", "INDEX",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint8_t setting = 0;
                 const status_t r = tkcmdset_get_pulse_out(s, index, &setting);
                 out = {{"setting", setting}};
                 return r;
             };
         }},
        {v::set, "pulse-out", "INDEX SETTING",
         [](argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const auto setting = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &) { return tkcmdset_set_pulse_out(s, index, setting); };
         }},
        {v::get, "an-out", "CHANNEL",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint16_t value = 0;
                 const status_t r = tkcmdset_get_an_out(s, ch, &value);
                 out = {{"value", value}};
                 return r;
             };
         }},
        {v::set, "an-out", "CHANNEL VALUE",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const auto value = static_cast<uint16_t>(a.number(word_max));
             return [=](uint8_t s, json &) { return tkcmdset_set_an_out(s, ch, value); };
         }},
        {v::get, "an-in", "CHANNEL",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint16_t value = 0;
                 const status_t r = tkcmdset_get_an_in(s, ch, &value);
                 out = {{"value", value}};
                 return r;
             };
         }},
        {v::get, "volts", "CHANNEL",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 float volts = 0;
                 const status_t r = tkcmdset_get_volts(s, ch, &volts);
                 out = {{"volts", json_real(volts)}};
                 return r;
             };
         }},
        {v::get, "dig-out", "OUTPUT",
         [](argument_reader &a) -> runner {
             const auto output = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint8_t state = 0;
                 const status_t r = tkcmdset_get_dig_out(s, output, &state);
                 out = {{"state", state}};
                 return r;
             };
         }},
        {v::set, "dig-out", "OUTPUT STATE",
         [](argument_reader &a) -> runner {
             const auto output = static_cast<uint8_t>(a.number(byte_max));
             const auto state = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &) { return tkcmdset_set_dig_out(s, output, state); };
         }},
        {v::get, "dig-in", "INPUT",
         [](argument_reader &a) -> runner {
             const auto input = static_cast<uint8_t>(a.number(byte_max));
             return [=](uint8_t s, json &out) {
                 uint8_t state = 0;
                 const status_t r = tkcmdset_get_dig_in(s, input, &state);
                 out = {{"state", state}};
                 return r;
             };
         }},
        {v::get, "ip", "",
         [](argument_reader &) -> runner {
             return [=](uint8_t s, json &out) {
                 uint32_t ip_1 = 0, ip_2 = 0, ip_3 = 0;
                 const status_t r = tkcmdset_get_ip(s, &ip_1, &ip_2, &ip_3);
                 out = {{"ip_1", ip_text(ip_1)}, {"ip_2", ip_text(ip_2)}, {"ip_3", ip_text(ip_3)}};
                 return r;
             };
         }},
        {v::set, "ip", "IP1 IP2 IP3",
         [](argument_reader &a) -> runner {
             const uint32_t ip_1 = a.address();
             const uint32_t ip_2 = a.address();
             const uint32_t ip_3 = a.address();
             return [=](uint8_t s, json &) { return tkcmdset_set_ip(s, ip_1, ip_2, ip_3); };
         }},
        {v::get, "mac", "",
         [](argument_reader &) -> runner {
             return [=](uint8_t s, json &out) {
                 uint8_t mac[TKCMDSET_MAC_SIZE] = {};
                 const status_t r = tkcmdset_get_mac(s, mac);
                 out = {{"mac", mac_text(mac)}};
                 return r;
             };
         }},
        {v::set, "mac", "XX:XX:XX:XX:XX:XX",
         [](argument_reader &a) -> runner {
             std::vector<uint8_t> mac;
             if (const std::string &text = a.text(); !parse_hex_bytes(text, mac) || mac.size() != 6)
                 a.refuse(text + " is not six hex bytes");
             return [=](uint8_t s, json &) { return tkcmdset_set_mac(s, mac.data()); };
         }},
        {v::calc, "led-temp", "CHANNEL WIDTH CURRENT",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const float current = a.real();
             return [=](uint8_t s, json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_led_temp(s, ch, width, current, &result);
                 out = {{"led_temperature", json_real(float_from_bits(result))}};
                 return r;
             };
         }},
        {v::calc, "max-width", "CHANNEL CURRENT",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const float current = a.real();
             return [=](uint8_t s, json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_max_width(s, ch, current, &result);
                 out = {{"max_width", result}};
                 return r;
             };
         }},
        {v::calc, "max-current", "CHANNEL WIDTH",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             return [=](uint8_t s, json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_max_current(s, ch, width, &result);
                 out = {{"max_current", json_real(float_from_bits(result))}};
                 return r;
             };
         }},
        {v::calc, "max-freq", "CHANNEL WIDTH CURRENT",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const float current = a.real();
             return [=](uint8_t s, json &out) {
                 uint16_t result = 0;
                 const status_t r = tkcmdset_calc_max_freq(s, ch, width, current, &result);
                 out = {{"max_frequency", result}};
                 return r;
             };
         }},
        {v::calc, "supply-voltage", "CHANNEL WIDTH CURRENT",
         [](argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const float current = a.real();
             return [=](uint8_t s, json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_supply_voltage(s, ch, width, current, &result);
                 out = {{"supply_voltage", json_real(float_from_bits(result))}};
                 return r;
             };
         }},
    };
    return table;
}

} // namespace

bool prepare_setting(setting_verb verb, const std::string &name,
                     const std::vector<std::string> &args, setting_runner &run,
                     std::string &message) {
    std::vector<std::string> known;
    for (const auto &command : commands()) {
        if (command.verb != verb)
            continue;
        known.push_back(command.name);
        if (name != command.name)
            continue;
        argument_reader reader(args, command.arguments);
        run = command.prepare(reader);
        if (!reader.complete(message)) {
            message = name + (command.arguments[0] != '\0' ? " " : "") + command.arguments +
                      ": " + message;
            return false;
        }
        return true;
    }
    message = "unknown name '" + name + "'";
    if (const std::string near = nearest_name(name, known); !near.empty())
        message += "; did you mean '" + near + "'?";
    message += " (known: " + setting_names(verb) + ")";
    return false;
}

std::string setting_rows_text(const nlohmann::ordered_json &values) {
    // Units of the values that have one, as the library's header gives them.
    static const std::pair<const char *, const char *> units[] = {
        {"current", "A"},         {"volts", "V"},         {"led_temperature", "\u00B0C"},
        {"max_width", "\u00B5s"}, {"max_current", "A"},   {"max_frequency", "Hz"},
        {"supply_voltage", "V"}};
    text_rows rows;
    for (const auto &[key, value] : values.items()) {
        std::string text = value.is_string() ? value.get<std::string>()
                           : value.is_number_float() ? real_text(value.get<double>())
                                                     : value.dump();
        for (const auto &[unit_key, unit] : units)
            if (key == unit_key)
                text += std::string(" ") + unit;
        rows.push_back({key, text});
    }
    return render_rows(rows);
}

std::string setting_names(setting_verb verb) {
    std::string names;
    for (const auto &command : commands()) {
        if (command.verb != verb)
            continue;
        if (!names.empty())
            names += ", ";
        names += command.name;
        if (command.arguments[0] != '\0')
            names += std::string(" ") + command.arguments;
    }
    return names;
}

} // namespace vortlink::ctl
