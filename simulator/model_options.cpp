#include "model_options.h"

#include <charconv>
#include <cstring>
#include <optional>

#include "state_store.h"

namespace vortlink::sim {

namespace {

constexpr uint32_t max_milliseconds = 600000;

std::optional<uint32_t> parse_milliseconds(std::string_view text) {
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() ||
        value > max_milliseconds)
        return std::nullopt;
    return value;
}

bool parse_fail_diag(std::string_view value, controller_settings &settings, std::string &error) {
    const std::size_t equals = value.find('=');
    uint32_t test = 0;
    int16_t code = 0;
    bool good = equals != std::string_view::npos;
    if (good) {
        const std::string_view test_text = value.substr(0, equals);
        const std::string_view code_text = value.substr(equals + 1);
        const auto test_parse =
            std::from_chars(test_text.data(), test_text.data() + test_text.size(), test);
        const auto code_parse =
            std::from_chars(code_text.data(), code_text.data() + code_text.size(), code);
        good = !test_text.empty() && test_parse.ec == std::errc() &&
               test_parse.ptr == test_text.data() + test_text.size() && !code_text.empty() &&
               code_parse.ec == std::errc() &&
               code_parse.ptr == code_text.data() + code_text.size();
    }
    if (!good || test >= diagnostic_count) {
        error = "--fail-diag takes TEST=CODE with TEST 0 to 5, not " + std::string(value);
        return false;
    }
    if (code != 0 && !known_device_error(code)) {
        error = "--fail-diag: " + std::to_string(code) + " is not a device error code";
        return false;
    }
    settings.diagnostic_errors[test] = code;
    return true;
}

} // namespace

bool is_model_flag(std::string_view name) {
    return name == "--erased" || name == "--boot-loader" || name == "--no-lighthead";
}

void set_model_flag(std::string_view name, controller_settings &settings) {
    if (name == "--erased")
        settings.erased_eeprom = true;
    else if (name == "--boot-loader")
        settings.start_in_boot_loader = true;
    else if (name == "--no-lighthead")
        settings.lighthead = false;
}

bool is_model_option(std::string_view name) {
    return name == "--state" || name == "--restart-delay" || name == "--ethernet-restart" ||
           name == "--fail-diag";
}

bool parse_model_option(std::string_view name, std::string_view value,
                        controller_settings &settings, std::string &error) {
    if (name == "--state") {
        const std::string directory(value);
        if (directory.empty()) {
            error = "--state needs a directory";
            return false;
        }
        if (const int failure = prepare_state_directory(directory); failure != 0) {
            error = "--state: cannot use " + directory + ": " + std::strerror(failure);
            return false;
        }
        settings.state_directory = directory;
        return true;
    }
    if (name == "--fail-diag")
        return parse_fail_diag(value, settings, error);
    const auto milliseconds = parse_milliseconds(value);
    if (!milliseconds) {
        error = std::string(name) + " takes 0 to 600000 milliseconds, not " + std::string(value);
        return false;
    }
    (name == "--restart-delay" ? settings.restart_delay_ms : settings.ethernet_restart_ms) =
        *milliseconds;
    return true;
}

} // namespace vortlink::sim
