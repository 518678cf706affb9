#include "setting_commands.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "output.h"
#include "vortlink.h"

namespace vortlink::ctl {

namespace {

// Takes the arguments one by one; the first that does not parse is remembered.
class argument_reader {
  public:
    explicit argument_reader(const std::vector<std::string> &args) : args_(args) {}

    uint32_t number(uint64_t limit) {
        const std::string *text = take();
        if (text == nullptr)
            return 0;
        errno = 0;
        char *end = nullptr;
        const unsigned long long value = std::strtoull(text->c_str(), &end, 0);
        if (text->empty() || (*text)[0] == '-' || errno != 0 || *end != '\0' || value > limit)
            return fail(*text + " is not a number from 0 to " + std::to_string(limit));
        return static_cast<uint32_t>(value);
    }

    float real() {
        const std::string *text = take();
        if (text == nullptr)
            return 0;
        errno = 0;
        char *end = nullptr;
        const float value = std::strtof(text->c_str(), &end);
        if (text->empty() || errno != 0 || *end != '\0' || !std::isfinite(value))
            return static_cast<float>(fail(*text + " is not a number"));
        return value;
    }

    const std::string &text() {
        static const std::string empty;
        const std::string *taken = take();
        return taken != nullptr ? *taken : empty;
    }

    void refuse(std::string why) { (void)fail(std::move(why)); }

    // All arguments taken and all parsed.
    bool complete(std::string &message) const {
        if (!error_.empty())
            message = error_;
        else if (next_ != args_.size())
            message = "expected " + std::to_string(next_) + " arguments, got " +
                      std::to_string(args_.size());
        return message.empty();
    }

  private:
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
    std::size_t next_ = 0;
    std::string error_;
};

// One command: reads its arguments (all before the exchange), then runs it.
struct setting_command {
    setting_verb verb;
    const char *name;
    const char *arguments;
    std::function<std::function<status_t(nlohmann::ordered_json &)>(uint8_t, argument_reader &)>
        prepare;
};

constexpr uint8_t byte_max = 0xFF;
constexpr uint16_t word_max = 0xFFFF;
constexpr uint32_t dword_max = 0xFFFFFFFF;

std::string mac_string(const uint8_t *mac) {
    char text[24];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

using runner = std::function<status_t(nlohmann::ordered_json &)>;

const std::vector<setting_command> &commands() {
    using v = setting_verb;
    using json = nlohmann::ordered_json;
    static const std::vector<setting_command> table = {
        {v::get, "pulse", "CHANNEL",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint32_t width = 0;
                 uint16_t delay = 0;
                 float current = 0;
                 const status_t r = tkcmdset_get_pulse(s, ch, &width, &delay, &current);
                 out = {{"width", width}, {"delay", delay}, {"current", current}};
                 return r;
             };
         }},
        {v::set, "pulse", "CHANNEL WIDTH DELAY CURRENT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const auto delay = static_cast<uint16_t>(a.number(word_max));
             const float current = a.real();
             return [=](json &) { return tkcmdset_set_pulse(s, ch, width, delay, current); };
         }},
        {v::get, "repeat", "CHANNEL",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint32_t value32 = 0;
                 uint16_t value16 = 0;
                 const status_t r = tkcmdset_get_repeat(s, ch, &value32, &value16);
                 out = {{"value32", value32}, {"value16", value16}};
                 return r;
             };
         }},
        {v::set, "repeat", "CHANNEL VALUE32 VALUE16",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t value32 = a.number(dword_max);
             const auto value16 = static_cast<uint16_t>(a.number(word_max));
             return [=](json &) { return tkcmdset_set_repeat(s, ch, value32, value16); };
         }},
        {v::get, "trigger-map", "INDEX",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint8_t map_1 = 0, map_2 = 0;
                 const status_t r = tkcmdset_get_trigger_map(s, index, &map_1, &map_2);
                 out = {{"map_1", map_1}, {"map_2", map_2}};
                 return r;
             };
         }},
        {v::set, "trigger-map", "INDEX MAP1 MAP2",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const auto map_1 = static_cast<uint8_t>(a.number(byte_max));
             const auto map_2 = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &) { return tkcmdset_set_trigger_map(s, index, map_1, map_2); };
         }},
        {v::set, "gate-map", "INDEX MAP1 MAP2",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const auto map_1 = static_cast<uint8_t>(a.number(byte_max));
             const auto map_2 = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &) { return tkcmdset_set_gate_map(s, index, map_1, map_2); };
         }},
        {v::get, "hv-supply", "INDEX",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 float volts = 0;
                 const status_t r = tkcmdset_get_hv_supply(s, index, &volts);
                 out = {{"volts", volts}};
                 return r;
             };
         }},
        {v::set, "hv-supply", "INDEX VOLTS",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const float volts = a.real();
             return [=](json &) { return tkcmdset_set_hv_supply(s, index, volts); };
         }},
        {v::get, "lv-supply", "INDEX",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 float volts = 0;
                 const status_t r = tkcmdset_get_lv_supply(s, index, &volts);
                 out = {{"volts", volts}};
                 return r;
             };
         }},
        {v::set, "lv-supply", "INDEX VOLTS",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const float volts = a.real();
             return [=](json &) { return tkcmdset_set_lv_supply(s, index, volts); };
         }},
        {v::get, "pulse-out", "INDEX",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint8_t setting = 0;
                 const status_t r = tkcmdset_get_pulse_out(s, index, &setting);
                 out = {{"setting", setting}};
                 return r;
             };
         }},
        {v::set, "pulse-out", "INDEX SETTING",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto index = static_cast<uint8_t>(a.number(byte_max));
             const auto setting = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &) { return tkcmdset_set_pulse_out(s, index, setting); };
         }},
        {v::get, "an-out", "CHANNEL",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint16_t value = 0;
                 const status_t r = tkcmdset_get_an_out(s, ch, &value);
                 out = {{"value", value}};
                 return r;
             };
         }},
        {v::set, "an-out", "CHANNEL VALUE",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const auto value = static_cast<uint16_t>(a.number(word_max));
             return [=](json &) { return tkcmdset_set_an_out(s, ch, value); };
         }},
        {v::get, "an-in", "CHANNEL",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint16_t value = 0;
                 const status_t r = tkcmdset_get_an_in(s, ch, &value);
                 out = {{"value", value}};
                 return r;
             };
         }},
        {v::get, "volts", "CHANNEL",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 float volts = 0;
                 const status_t r = tkcmdset_get_volts(s, ch, &volts);
                 out = {{"volts", volts}};
                 return r;
             };
         }},
        {v::get, "dig-out", "OUTPUT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto output = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint8_t state = 0;
                 const status_t r = tkcmdset_get_dig_out(s, output, &state);
                 out = {{"state", state}};
                 return r;
             };
         }},
        {v::set, "dig-out", "OUTPUT STATE",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto output = static_cast<uint8_t>(a.number(byte_max));
             const auto state = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &) { return tkcmdset_set_dig_out(s, output, state); };
         }},
        {v::get, "dig-in", "INPUT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto input = static_cast<uint8_t>(a.number(byte_max));
             return [=](json &out) {
                 uint8_t state = 0;
                 const status_t r = tkcmdset_get_dig_in(s, input, &state);
                 out = {{"state", state}};
                 return r;
             };
         }},
        {v::get, "ip", "",
         [](uint8_t s, argument_reader &) -> runner {
             return [=](json &out) {
                 uint32_t ip_1 = 0, ip_2 = 0, ip_3 = 0;
                 const status_t r = tkcmdset_get_ip(s, &ip_1, &ip_2, &ip_3);
                 out = {{"ip_1", ip_1}, {"ip_2", ip_2}, {"ip_3", ip_3}};
                 return r;
             };
         }},
        {v::set, "ip", "IP1 IP2 IP3",
         [](uint8_t s, argument_reader &a) -> runner {
             const uint32_t ip_1 = a.number(dword_max);
             const uint32_t ip_2 = a.number(dword_max);
             const uint32_t ip_3 = a.number(dword_max);
             return [=](json &) { return tkcmdset_set_ip(s, ip_1, ip_2, ip_3); };
         }},
        {v::get, "mac", "",
         [](uint8_t s, argument_reader &) -> runner {
             return [=](json &out) {
                 uint8_t mac[6] = {};
                 const status_t r = tkcmdset_get_mac(s, mac);
                 out = {{"mac", mac_string(mac)}};
                 return r;
             };
         }},
        {v::set, "mac", "XX:XX:XX:XX:XX:XX",
         [](uint8_t s, argument_reader &a) -> runner {
             std::vector<uint8_t> mac;
             if (const std::string &text = a.text(); !parse_hex_bytes(text, mac) || mac.size() != 6)
                 a.refuse(text + " is not six hex bytes");
             return [=](json &) { return tkcmdset_set_mac(s, mac.data()); };
         }},
        {v::calc, "led-temp", "CHANNEL WIDTH CURRENT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const float current = a.real();
             return [=](json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_led_temp(s, ch, width, current, &result);
                 out = {{"result", result}};
                 return r;
             };
         }},
        {v::calc, "max-width", "CHANNEL CURRENT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const float current = a.real();
             return [=](json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_max_width(s, ch, current, &result);
                 out = {{"result", result}};
                 return r;
             };
         }},
        {v::calc, "max-current", "CHANNEL WIDTH",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             return [=](json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_max_current(s, ch, width, &result);
                 out = {{"result", result}};
                 return r;
             };
         }},
        {v::calc, "max-freq", "CHANNEL WIDTH CURRENT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const float current = a.real();
             return [=](json &out) {
                 uint16_t result = 0;
                 const status_t r = tkcmdset_calc_max_freq(s, ch, width, current, &result);
                 out = {{"result", result}};
                 return r;
             };
         }},
        {v::calc, "supply-voltage", "CHANNEL WIDTH CURRENT",
         [](uint8_t s, argument_reader &a) -> runner {
             const auto ch = static_cast<uint8_t>(a.number(byte_max));
             const uint32_t width = a.number(dword_max);
             const float current = a.real();
             return [=](json &out) {
                 uint32_t result = 0;
                 const status_t r = tkcmdset_calc_supply_voltage(s, ch, width, current, &result);
                 out = {{"result", result}};
                 return r;
             };
         }},
    };
    return table;
}

} // namespace

status_t run_setting(setting_verb verb, uint8_t slot, const std::string &name,
                     const std::vector<std::string> &args, nlohmann::ordered_json &out,
                     std::string &message) {
    for (const auto &command : commands()) {
        if (command.verb != verb || name != command.name)
            continue;
        argument_reader reader(args);
        runner run = command.prepare(slot, reader);
        if (!reader.complete(message)) {
            message = name + " " + command.arguments + ": " + message;
            return setting_usage;
        }
        return run(out);
    }
    message = "unknown name: " + name + " (known: " + setting_names(verb) + ")";
    return setting_usage;
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
