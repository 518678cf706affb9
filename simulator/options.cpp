#include "options.h"
#include "text_numbers.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <optional>
#include <string_view>

#include "model_options.h"

namespace vortlink::sim {

const char usage_text[] =
    "Usage: quorrel-sim --tcp-port PORT [OPTION]...\n"
    "  or:  quorrel-sim --help | --version\n"
    "\n"
    "Simulated Quorrel LED strobe controllers serving the command set over TCP (controller 1)\n"
    "and over a simulated USB HID bus (every controller).\n"
    "\n"
    "Options:\n"
    "  --tcp-port PORT      port of the command server (0: any free port)\n"
    "  --bind ADDR          IPv4 address of the command server (default 127.0.0.1)\n"
    "  --control-port PORT  port of the control server on 127.0.0.1 (default 0: any free port)\n"
    "  --fw-version TEXT    firmware version text (at most 20 characters are kept)\n"
    "  --status-word N      initial status word, decimal or 0x hexadecimal (default 0)\n"
    "  --hid-socket PATH    unix socket of the simulated USB bus (default: none)\n"
    "  --hid-tcp-port PORT  the simulated USB bus on 127.0.0.1:PORT too (0: any free port)\n"
    "  --usb-devices N      controllers on the bus, 1 to 64 (default 1)\n"
    "  --long-report-count C  report count of the long reports, 8 to 1024 (default 112)\n"
    "  --hw-version [DEV=]TEXT  hardware version string (default \"6400-000850 Rev B\")\n"
    "  --product [DEV=]TEXT product string (default \"Kv Quorrel Controller\")\n"
    "  --serial [DEV=]TEXT  serial number string (default Q0000001, Q0000002, ...)\n"
    "  --serial-unreadable DEV|all  the serial number string cannot be read\n"
    "  --no-feature-usage DEV|all   the report descriptor lacks the feature report\n"
    "  --erased             start with every EEPROM byte 0xFF instead of the factory blocks\n"
    "  --boot-loader        start in the boot loader instead of the application\n"
    "  --no-lighthead       no lighthead: serial number 0, lighthead image left erased\n"
    "  --state DIR          keep each controller's EEPROM and programmed firmware in DIR\n"
    "  --restart-delay MS   how long a restart keeps a controller off the bus (default 1500)\n"
    "  --ethernet-restart MS  how long echo answers busy after an Ethernet image went over\n"
    "                       (default 3000)\n"
    "  --fail-diag TEST=CODE  self-test TEST (0 to 5) answers device error CODE; repeatable\n"
    "  --wire usb-fs|ethernet|none  timing model of the wire: full-speed USB endpoints, a\n"
    "                       latency per TCP frame (comma-separated for both; default none)\n"
    "  --wire-latency-us N  latency of one TCP frame with --wire ethernet (default 200)\n"
    "  --flash-write-us N   time to store one 128-byte flash chunk (default 0)\n"
    "  --erase-ms N         time to begin (erase) one 64 KiB flash block (default 0)\n"
    "  --help               show this text\n"
    "  --version            show the version\n"
    "\n"
    "DEV= makes a USB option apply to controller DEV only; without it, to every controller.\n"
    "Strings are at most 126 bytes.\n"
    "\n"
    "On start-up prints \"tcp-port N\", \"control-port M\", \"hid-socket PATH\" (with a HID\n"
    "socket), \"hid-tcp-port P\" (with a HID TCP port) and \"ready\", one line each. Runs\n"
    "until SIGTERM or SIGINT. The control protocol is described in simulator/README.md of the\n"
    "sources.\n"
    "\n"
    "Exit status:\n"
    "  0                    stopped by SIGTERM or SIGINT, or --help, --version\n"
    "  1                    a server or the state directory could not be set up\n"
    "  2                    a usage error\n";

namespace {

// "DEV=TEXT" for one device, anything else for every device.
usb_variation variation_for(usb_variation::kind what, std::string_view value) {
    usb_variation variation{what, 0, std::string(value)};
    const std::size_t equals = value.find('=');
    if (equals == std::string_view::npos || equals == 0)
        return variation;
    const std::string_view prefix = value.substr(0, equals);
    std::size_t number = 0;
    const auto [end, error] = std::from_chars(prefix.data(), prefix.data() + prefix.size(), number);
    if (error != std::errc() || end != prefix.data() + prefix.size() || number == 0)
        return variation;
    variation.device = number;
    variation.text = std::string(value.substr(equals + 1));
    return variation;
}

// "DEV" or "all".
std::optional<usb_variation> flag_for(usb_variation::kind what, std::string_view value) {
    if (value == "all")
        return usb_variation{what, 0, {}};
    const auto number = parse_unsigned(value, options::max_usb_devices);
    if (!number || *number == 0)
        return std::nullopt;
    return usb_variation{what, *number, {}};
}

bool takes_text(std::string_view name) {
    return name == "--hw-version" || name == "--product" || name == "--serial";
}

bool takes_flag(std::string_view name) {
    return name == "--serial-unreadable" || name == "--no-feature-usage";
}

// The USB options; false with `error` set when the value is wrong.
bool parse_usb_option(std::string_view name, std::string_view value, options &parsed,
                      std::string &error) {
    using kind = usb_variation::kind;
    if (name == "--hid-socket") {
        if (value.empty()) {
            error = "--hid-socket needs a path";
            return false;
        }
        parsed.hid_socket = std::string(value);
    } else if (name == "--hid-tcp-port") {
        const auto port = parse_unsigned(value, 0xFFFF);
        if (!port) {
            error = "bad port for --hid-tcp-port: " + std::string(value);
            return false;
        }
        parsed.hid_tcp_port = static_cast<uint16_t>(*port);
    } else if (name == "--usb-devices") {
        const auto count = parse_unsigned(value, options::max_usb_devices);
        if (!count || *count == 0) {
            error = "--usb-devices takes 1 to 64, not " + std::string(value);
            return false;
        }
        parsed.usb_devices = *count;
    } else if (name == "--long-report-count") {
        const auto count = parse_unsigned(value, usb_layout::max_long_report_count);
        if (!count || *count < usb_layout::min_long_report_count) {
            error = "--long-report-count takes 8 to 1024, not " + std::string(value);
            return false;
        }
        parsed.layout.long_report_count = static_cast<uint16_t>(*count);
    } else if (takes_text(name)) {
        const kind what = name == "--product"  ? kind::product
                          : name == "--serial" ? kind::serial
                                               : kind::hw_version;
        usb_variation variation = variation_for(what, value);
        if (variation.text.size() > usb_identity::max_string_length) {
            error = std::string(name) + " takes at most 126 bytes of text";
            return false;
        }
        parsed.variations.push_back(std::move(variation));
    } else {
        const kind what =
            name == "--serial-unreadable" ? kind::serial_unreadable : kind::no_feature_usage;
        const auto variation = flag_for(what, value);
        if (!variation) {
            error = std::string(name) + " takes a device number or all, not " + std::string(value);
            return false;
        }
        parsed.variations.push_back(*variation);
    }
    return true;
}

bool is_usb_option(std::string_view name) {
    return name == "--hid-socket" || name == "--hid-tcp-port" || name == "--usb-devices" || name == "--long-report-count" ||
           takes_text(name) || takes_flag(name);
}

} // namespace

usb_identity identity_of(const options &parsed, std::size_t number) {
    using kind = usb_variation::kind;
    usb_identity identity;
    char serial[16];
    std::snprintf(serial, sizeof serial, "Q%07zu", number);
    identity.serial = serial;
    for (const usb_variation &variation : parsed.variations) {
        if (variation.device != 0 && variation.device != number)
            continue;
        switch (variation.what) {
        case kind::product:
            identity.product = variation.text;
            break;
        case kind::serial:
            identity.serial = variation.text;
            identity.serial_readable = true;
            break;
        case kind::serial_unreadable:
            identity.serial_readable = false;
            break;
        case kind::no_feature_usage:
            identity.feature_usage = false;
            break;
        case kind::hw_version:
            identity.hw_version = variation.text;
            break;
        }
    }
    return identity;
}

parse_outcome parse_options(int argc, const char *const *argv, options &parsed,
                            std::string &error) {
    bool have_tcp_port = false;
    for (int index = 1; index < argc; ++index) {
        std::string_view name = argv[index];
        std::optional<std::string_view> value;
        if (const std::size_t equals = name.find('=');
            name.starts_with("--") && equals != std::string_view::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        if (name == "--help" || name == "-h" || name == "--version") {
            if (value) {
                error = std::string(name) + " takes no value";
                return parse_outcome::invalid;
            }
            return name == "--version" ? parse_outcome::version : parse_outcome::help;
        }
        if (is_model_flag(name)) {
            if (value) {
                error = std::string(name) + " takes no value";
                return parse_outcome::invalid;
            }
            set_model_flag(name, parsed.controller);
            continue;
        }
        const bool known = name == "--tcp-port" || name == "--bind" || name == "--control-port" ||
                           name == "--fw-version" || name == "--status-word" ||
                           is_usb_option(name) || is_model_option(name) ||
                           is_wire_option(name);
        if (!known) {
            error = "unknown option " + std::string(name);
            return parse_outcome::invalid;
        }
        if (!value) {
            if (index + 1 >= argc) {
                error = std::string(name) + " needs a value";
                return parse_outcome::invalid;
            }
            value = argv[++index];
        }
        if (is_usb_option(name)) {
            if (!parse_usb_option(name, *value, parsed, error))
                return parse_outcome::invalid;
        } else if (is_model_option(name)) {
            if (!parse_model_option(name, *value, parsed.controller, error))
                return parse_outcome::invalid;
        } else if (is_wire_option(name)) {
            if (!parse_wire_option(name, *value, parsed.wire, error))
                return parse_outcome::invalid;
        } else if (name == "--tcp-port" || name == "--control-port") {
            const auto port = parse_unsigned(*value, 0xFFFF);
            if (!port) {
                error = "bad port for " + std::string(name) + ": " + std::string(*value);
                return parse_outcome::invalid;
            }
            (name == "--tcp-port" ? parsed.tcp_port : parsed.control_port) =
                static_cast<uint16_t>(*port);
            have_tcp_port = have_tcp_port || name == "--tcp-port";
        } else if (name == "--bind") {
            in_addr address{};
            const std::string text(*value);
            if (::inet_pton(AF_INET, text.c_str(), &address) != 1) {
                error = "--bind needs a dotted IPv4 address, not " + text;
                return parse_outcome::invalid;
            }
            parsed.bind_address = text;
        } else if (name == "--fw-version") {
            parsed.controller.fw_version =
                std::string(value->substr(0, controller::fw_version_size));
        } else {
            const auto word = parse_unsigned(*value, 0xFFFF);
            if (!word) {
                error = "bad status word: " + std::string(*value);
                return parse_outcome::invalid;
            }
            parsed.controller.status_word = static_cast<uint16_t>(*word);
        }
    }
    if (!have_tcp_port) {
        error = "--tcp-port is required";
        return parse_outcome::invalid;
    }
    for (const usb_variation &variation : parsed.variations) {
        if (variation.device > parsed.usb_devices) {
            error = "no USB device " + std::to_string(variation.device) + " of " +
                    std::to_string(parsed.usb_devices);
            return parse_outcome::invalid;
        }
    }
    return parse_outcome::run;
}

} // namespace vortlink::sim
