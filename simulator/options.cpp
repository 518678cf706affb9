#include "options.h"

#include <arpa/inet.h>

#include <charconv>
#include <optional>
#include <string_view>

namespace vortlink::sim {

const char usage_text[] =
    "usage: quorrel-sim --tcp-port PORT [--bind ADDR] [--control-port PORT]\n"
    "                   [--fw-version TEXT] [--status-word N]\n"
    "\n"
    "A simulated Quorrel LED strobe controller serving the command set over TCP.\n"
    "\n"
    "  --tcp-port PORT      port of the command server (0: any free port)\n"
    "  --bind ADDR          IPv4 address of the command server (default 127.0.0.1)\n"
    "  --control-port PORT  port of the control server on 127.0.0.1 (default 0: any free port)\n"
    "  --fw-version TEXT    firmware version text (at most 20 characters are kept)\n"
    "  --status-word N      initial status word, decimal or 0x hexadecimal (default 0)\n"
    "  --help               show this text\n"
    "\n"
    "On start-up prints \"tcp-port N\", \"control-port M\" and \"ready\", one line each.\n"
    "Runs until SIGTERM or SIGINT. The control protocol is described in the README.\n";

namespace {

std::optional<uint32_t> parse_number(std::string_view text, uint32_t max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        text.remove_prefix(2);
        base = 16;
    }
    uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value > max)
        return std::nullopt;
    return value;
}

} // namespace

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
        if (name == "--help" || name == "-h") {
            if (value) {
                error = "--help takes no value";
                return parse_outcome::invalid;
            }
            return parse_outcome::help;
        }
        const bool known = name == "--tcp-port" || name == "--bind" || name == "--control-port" ||
                           name == "--fw-version" || name == "--status-word";
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
        if (name == "--tcp-port" || name == "--control-port") {
            const auto port = parse_number(*value, 0xFFFF);
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
            const auto word = parse_number(*value, 0xFFFF);
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
    return parse_outcome::run;
}

} // namespace vortlink::sim
