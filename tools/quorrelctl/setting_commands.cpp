#include "setting_commands.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <tuple>
#include <type_traits>

#include "block_views.h"
#include "core/ipv4_text.h"
#include "output.h"
#include "text_input.h"
#include "vortlink.hpp"

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
        if (const std::optional<uint32_t> parsed = parse_dotted_quad(*text))
            return *parsed;
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

// An argument of the type the binding's method takes, read as the synopsis names it.
template <typename T> T take(argument_reader &a) {
    if constexpr (std::is_same_v<T, float>)
        return a.real();
    else if constexpr (std::is_same_v<T, bool>)
        return a.number(std::numeric_limits<uint8_t>::max()) != 0;
    else
        return static_cast<T>(a.number(std::numeric_limits<T>::max()));
}
template <> vortlink::pulse take(argument_reader &a) {
    const uint32_t width = take<uint32_t>(a);
    const uint16_t delay = take<uint16_t>(a);
    return {width, delay, take<float>(a)};
}
template <> vortlink::repeat take(argument_reader &a) {
    const uint32_t value32 = take<uint32_t>(a);
    return {value32, take<uint16_t>(a)};
}
template <> vortlink::map_pair take(argument_reader &a) {
    const uint8_t map_1 = take<uint8_t>(a);
    return {map_1, take<uint8_t>(a)};
}
template <> vortlink::ip_settings take(argument_reader &a) {
    const uint32_t ip_1 = a.address();
    const uint32_t ip_2 = a.address();
    return {ip_1, ip_2, a.address()};
}
template <> vortlink::mac_address take(argument_reader &a) {
    std::vector<uint8_t> bytes;
    vortlink::mac_address mac{};
    if (const std::string &text = a.text(); !parse_hex_bytes(text, bytes) || bytes.size() != 6)
        a.refuse(text + " is not six hex bytes");
    else
        std::copy(bytes.begin(), bytes.end(), mac.begin());
    return mac;
}

// What a get or calc answers, by name; the structs name their own fields.
using json = nlohmann::ordered_json;
template <typename T> json values(const T &value, const char *key) {
    if constexpr (std::is_same_v<T, float>)
        return {{key, json_real(value)}};
    else
        return {{key, static_cast<uint32_t>(value)}};
}
json values(const vortlink::pulse &p, const char *) {
    return {{"width", p.width}, {"delay", p.delay}, {"current", json_real(p.current)}};
}
json values(const vortlink::repeat &r, const char *) {
    return {{"value32", r.value32}, {"value16", r.value16}};
}
json values(const vortlink::map_pair &m, const char *) {
    return {{"map_1", m.map_1}, {"map_2", m.map_2}};
}
json values(const vortlink::ip_settings &ip, const char *) {
    return {{"ip_1", ip_text(ip.ip_1)}, {"ip_2", ip_text(ip.ip_2)}, {"ip_3", ip_text(ip.ip_3)}};
}
json values(const vortlink::mac_address &mac, const char *) { return {{"mac", mac_text(mac.data())}}; }

// A row of the table: the command's method on the binding, and the name of its answer.
template <typename Result, typename... Parameters>
setting_command row(setting_verb verb, const char *name, const char *arguments,
                    Result (vortlink::controller::*method)(Parameters...),
                    const char *answer = nullptr) {
    return {verb, name, arguments, [method, answer](argument_reader &a) -> setting_runner {
                // A braced list takes the arguments in order.
                const std::tuple<std::decay_t<Parameters>...> taken{
                    take<std::decay_t<Parameters>>(a)...};
                return [method, answer, taken](vortlink::controller &c, json &out) {
                    auto call = [&](const auto &...values_taken) { return (c.*method)(values_taken...); };
                    if constexpr (std::is_void_v<Result>)
                        std::apply(call, taken);
                    else
                        out = values(std::apply(call, taken), answer);
                };
            }};
}

const std::vector<setting_command> &commands() {
    using v = setting_verb;
    using c = vortlink::controller;
    static const std::vector<setting_command> table = {
        row(v::get, "pulse", "CHANNEL", &c::get_pulse),
        row(v::set, "pulse", "CHANNEL WIDTH DELAY CURRENT", &c::set_pulse),
        row(v::get, "repeat", "CHANNEL", &c::get_repeat),
        row(v::set, "repeat", "CHANNEL VALUE32 VALUE16", &c::set_repeat),
        row(v::get, "trigger-map", "INDEX", &c::get_trigger_map),
        row(v::set, "trigger-map", "INDEX MAP1 MAP2", &c::set_trigger_map),
        row(v::set, "gate-map", "INDEX MAP1 MAP2", &c::set_gate_map),
        row(v::get, "hv-supply", "INDEX", &c::get_hv_supply, "volts"),
        row(v::set, "hv-supply", "INDEX VOLTS", &c::set_hv_supply),
        row(v::get, "lv-supply", "INDEX", &c::get_lv_supply, "volts"),
        row(v::set, "lv-supply", "INDEX VOLTS", &c::set_lv_supply),
        row(v::get, "pulse-out", "INDEX", &c::get_pulse_out, "setting"),
        row(v::set, "pulse-out", "INDEX SETTING", &c::set_pulse_out),
        row(v::get, "an-out", "CHANNEL", &c::get_an_out, "value"),
        row(v::set, "an-out", "CHANNEL VALUE", &c::set_an_out),
        row(v::get, "an-in", "CHANNEL", &c::get_an_in, "value"),
        row(v::get, "volts", "CHANNEL", &c::get_volts, "volts"),
        row(v::get, "dig-out", "OUTPUT", &c::get_dig_out, "state"),
        row(v::set, "dig-out", "OUTPUT STATE", &c::set_dig_out),
        row(v::get, "dig-in", "INPUT", &c::get_dig_in, "state"),
        row(v::get, "ip", "", &c::get_ip),
        row(v::set, "ip", "IP1 IP2 IP3", &c::set_ip),
        row(v::get, "mac", "", &c::get_mac),
        row(v::set, "mac", "XX:XX:XX:XX:XX:XX", &c::set_mac),
        row(v::calc, "led-temp", "CHANNEL WIDTH CURRENT", &c::calc_led_temp, "led_temperature"),
        row(v::calc, "max-width", "CHANNEL CURRENT", &c::calc_max_width, "max_width"),
        row(v::calc, "max-current", "CHANNEL WIDTH", &c::calc_max_current, "max_current"),
        row(v::calc, "max-freq", "CHANNEL WIDTH CURRENT", &c::calc_max_freq, "max_frequency"),
        row(v::calc, "supply-voltage", "CHANNEL WIDTH CURRENT", &c::calc_supply_voltage,
            "supply_voltage"),
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
