// quorrelctl: drives Quorrel controllers from scripts, production lines and over SSH. Exit
// status 0 on success, 1 when a controller or the library reports a failure, 2 for a usage error.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "blocks/config_block.h"
#include "controller.h"
#include "operations.h"
#include "output.h"
#include "production_log.h"
#include "runner.h"
#include "text_input.h"
#include "vortlink.h"
#include "wait_command.h"

namespace vortlink::ctl {
namespace {

constexpr int max_controllers = TKCMDSET_SLOT_COUNT;
constexpr std::size_t max_host_list_size = 64 * 1024;

struct global_options {
    std::string usb;
    std::string serial;
    std::vector<std::string> tcp;
    std::string tcp_list;
    bool tcp_list_given = false; // an empty name is still a name, and refused
    std::string log;
    bool log_given = false;
    bool json = false;
    bool trace = false;
};

// The global options that take a value, for finding the command word among the arguments.
const std::set<std::string> &valued_global_options() {
    static const std::set<std::string> names = {"--usb", "--serial", "--tcp", "--tcp-list",
                                                "--log"};
    return names;
}

std::vector<std::string> subcommand_names(const CLI::App &app) {
    std::vector<std::string> names;
    for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

// An unknown command word named, with the nearest known one; empty when the words are known.
// The parser's own message for it ("A subcommand is required") does not say what was wrong.
std::string unknown_command_message(const CLI::App &app, int argc, char **argv) {
    const CLI::App *current = &app;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            break;
        if (word.size() > 1 && word[0] == '-') {
            if (word.find('=') == std::string::npos && valued_global_options().count(word) > 0)
                ++i;
            continue;
        }
        const std::vector<std::string> names = subcommand_names(*current);
        if (names.empty())
            return {};
        if (std::find(names.begin(), names.end(), word) != names.end()) {
            current = current->get_subcommand(word);
            path += word + " ";
            continue;
        }
        std::string message = "unknown " + path + "command '" + word + "'";
        if (const std::string near = nearest_name(word, names); !near.empty())
            message += "; did you mean '" + near + "'?";
        std::string known;
        for (const auto &name : names)
            known += (known.empty() ? "" : ", ") + name;
        return message + "\nKnown " + path + "commands: " + known;
    }
    return {};
}

// Hosts of --tcp-list: one a line; blank lines and lines starting with # are skipped.
bool read_host_list(const std::string &path, std::vector<std::string> &hosts,
                    std::string &message) {
    std::vector<uint8_t> bytes;
    if (!read_regular_file(path, max_host_list_size, bytes, message)) {
        message = "--tcp-list " + message;
        return false;
    }
    std::string line;
    int number = 0;
    auto take = [&]() {
        ++number;
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        line = first == std::string::npos ? "" : line.substr(first);
        if (line.empty() || line[0] == '#')
            return true;
        if (line.find_first_of(" \t") != std::string::npos) {
            message = "--tcp-list '" + path + "' line " + std::to_string(number) +
                      ": one host a line: " + line;
            return false;
        }
        hosts.push_back(line);
        return true;
    };
    for (uint8_t byte : bytes) {
        if (byte == '\n') {
            if (!take())
                return false;
            line.clear();
        } else {
            line += static_cast<char>(byte);
        }
    }
    if (!line.empty() && !take())
        return false;
    // A list that names nobody is a mistake, not a wish for the default controller.
    if (hosts.empty()) {
        message = "--tcp-list '" + path + "' names no host";
        return false;
    }
    return true;
}

// The controllers the global options name: one, or a gang.
bool resolve_targets(const global_options &global, std::vector<controller_choice> &targets,
                     bool &gang, std::string &message) {
    std::vector<std::string> hosts = global.tcp;
    if (global.tcp_list_given) {
        std::vector<std::string> listed;
        if (!read_host_list(global.tcp_list, listed, message))
            return false;
        hosts.insert(hosts.end(), listed.begin(), listed.end());
    }
    if (!hosts.empty()) {
        if (!global.usb.empty() || !global.serial.empty()) {
            message = "--tcp and --tcp-list cannot be combined with --usb or --serial";
            return false;
        }
        std::set<std::string> seen;
        for (const auto &host : hosts)
            if (!seen.insert(host).second) {
                message = "--tcp: " + host + " is named twice";
                return false;
            }
        if (hosts.size() > static_cast<std::size_t>(max_controllers)) {
            message = "--tcp: at most " + std::to_string(max_controllers) + " controllers, got " +
                      std::to_string(hosts.size());
            return false;
        }
        for (std::size_t i = 0; i < hosts.size(); ++i) {
            controller_choice choice;
            choice.kind = controller_choice::transport::tcp;
            choice.host = hosts[i];
            choice.slot = static_cast<uint8_t>(i);
            targets.push_back(choice);
        }
        gang = hosts.size() > 1 || global.tcp_list_given;
        return true;
    }
    if (!global.usb.empty() && !global.serial.empty()) {
        message = "--usb and --serial cannot be combined";
        return false;
    }
    if (global.usb == "all") {
        const int count = count_usb_controllers();
        for (int position = 0; position < count; ++position) {
            controller_choice choice;
            choice.usb_position = position;
            targets.push_back(choice);
        }
        gang = true;
        if (targets.empty()) {
            message = "--usb all: no controller connected over USB";
            return false;
        }
        return true;
    }
    controller_choice choice;
    if (!global.usb.empty()) {
        const std::optional<uint64_t> position = parse_unsigned(global.usb, max_controllers - 1);
        if (!position) {
            message = "--usb: a position from 0 to 49, or all; got '" + global.usb + "'";
            return false;
        }
        choice.usb_position = static_cast<int>(*position);
    }
    choice.serial = global.serial;
    targets.push_back(choice);
    gang = false;
    return true;
}

// A command that needs no controller.
int run_error(bool json, const std::string &code_text) {
    const std::optional<int64_t> code = parse_signed(code_text, -32768, 32767);
    if (!code)
        return usage_failure("CODE: a status code from -32768 to 32767, got '" + code_text + "'");
    const auto status = static_cast<status_t>(*code);
    if (json)
        std::cout << json_text({{"code", *code}, {"name", error_name(status)},
                                {"text", error_text(status)}})
                  << '\n';
    else
        std::printf("%d %s\n%s\n", status, printable(error_name(status)).c_str(),
                    printable(error_text(status)).c_str());
    return 0;
}

int run_list(bool json) {
    nlohmann::ordered_json controllers = nlohmann::ordered_json::array();
    for (int position = 0; position < max_controllers; ++position) {
        const auto slot = static_cast<uint8_t>(position);
        if (tkcmdset_init_ex(slot, TKCMDSET_PRODUCT_NAME, nullptr) != loader::status::ok)
            break;
        char firmware[TKCMDSET_IDENTITY_TEXT_SIZE] = {};
        char hardware[TKCMDSET_IDENTITY_TEXT_SIZE] = {};
        char serial[TKCMDSET_IDENTITY_TEXT_SIZE] = {};
        status_t status = tkcmdset_fw_version(slot, firmware);
        if (status == loader::status::ok)
            status = tkcmdset_hw_version(slot, hardware);
        if (status == loader::status::ok)
            status = tkcmdset_serial_number(slot, serial);
        (void)tkcmdset_shutdown(slot);
        if (status != loader::status::ok) {
            std::fprintf(stderr, "%s\n", failure_text(status).c_str());
            return 1;
        }
        const bool boot_loader = loader::runs_boot_loader(firmware);
        controllers.push_back({{"position", position},
                               {"serial", device_text(serial, sizeof serial)},
                               {"firmware", device_text(firmware, sizeof firmware)},
                               {"hardware", device_text(hardware, sizeof hardware)},
                               {"mode", boot_loader ? "boot_loader" : "application"}});
    }
    if (json) {
        std::cout << json_text(controllers) << '\n';
        return 0;
    }
    if (controllers.empty())
        std::printf("No controller connected over USB.\n");
    for (const auto &entry : controllers)
        std::printf("%d  serial %s  firmware %s  hardware %s  %s\n", entry["position"].get<int>(),
                    printable(entry["serial"].get<std::string>()).c_str(),
                    printable(entry["firmware"].get<std::string>()).c_str(),
                    printable(entry["hardware"].get<std::string>()).c_str(),
                    entry["mode"] == "boot_loader" ? "boot loader" : "application");
    return 0;
}

// After the options in --help; the manual page is made from it.
const char help_footer[] =
    "Exit status:\n"
    "  0  success\n"
    "  1  the controller or the library reported a failure (\"ERROR (code) : name\" and the\n"
    "     catalogue's explanation on standard error), a self-test failed, an echo came back\n"
    "     changed or a file could not be read or written\n"
    "  2  a usage error\n"
    "\n"
    "Environment:\n"
    "  VORTLINK_TRACE=1|FILE  log every frame of every exchange to standard error (1), or\n"
    "                         append it to FILE; unset, empty or 0: off (--trace sets 1)\n"
    "  VORTLINK_HID_SIM=PATH  talk to the simulated USB controllers of the quorrel-sim\n"
    "                         listening on the unix socket PATH instead of hidraw devices\n"
    "\n"
    "Files:\n"
    "  ~/.config/Kestrova/Quorrel/Command Set Toolkit.conf\n"
    "                         the library's settings (\"TCP Port\", ErrorCodesFile); under\n"
    "                         $XDG_CONFIG_HOME when set\n"
    "  ~/.config/Kestrova/Quorrel/H8 Userloader.conf\n"
    "                         QuorrelLoader's settings, where mfg write takes its defaults";

int run(int argc, char **argv) {
    CLI::App app{"quorrelctl - drives Quorrel LED strobe controllers over USB or TCP"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("quorrelctl ") + QUORRELCTL_VERSION,
                         "print the version and exit");
    // Global options are taken after the command too: "quorrelctl status --json".
    app.fallthrough();
    global_options global;
    auto *usb = app.add_option("--usb", global.usb,
                               "the N-th connected USB controller (0-49), or all of them")
                    ->type_name("N|all");
    auto *serial =
        app.add_option("--serial", global.serial, "the USB controller with this serial number")
            ->type_name("SERIAL");
    auto *tcp = app.add_option("--tcp", global.tcp,
                               "the controller at HOST (port: the \"TCP Port\" setting); "
                               "repeat for several")
                    ->type_name("HOST");
    auto *tcp_list =
        app.add_option("--tcp-list", global.tcp_list, "controllers at the hosts in FILE, one a line")
            ->type_name("FILE");
    usb->excludes(serial)->excludes(tcp)->excludes(tcp_list);
    serial->excludes(tcp)->excludes(tcp_list);
    app.add_flag("--json", global.json, "machine-readable output (one object a line for several)");
    app.add_flag("--trace", global.trace, "log every frame to standard error");
    auto *log_option = app.add_option("--log", global.log,
                                      "append one JSON line per controller and operation to FILE")
                           ->type_name("FILE");

    std::string error_code;
    auto *error = app.add_subcommand("error", "name and explanation of a status code");
    error->add_option("CODE", error_code, "status code")->required();
    auto *status = app.add_subcommand("status", "the controller's status word");
    auto *list = app.add_subcommand("list", "every connected USB controller");
    auto *info =
        app.add_subcommand("info", "identity, status word, decoded blocks and lighthead record");
    auto *echo = app.add_subcommand("echo", "sends a pattern and checks it comes back");
    std::string reset_target;
    auto *reset = app.add_subcommand(
        "reset", "restarts into the boot loader or the application (USB only; waits up to 15 s)");
    reset->add_option("TARGET", reset_target, "loader or application")
        ->required()
        ->check(CLI::IsMember({"loader", "application"}));

    wait_request wait_options;
    auto *wait = app.add_subcommand(
        "wait", "waits until a controller is connected on USB (or, with --gone, none is)");
    wait->add_flag("--gone", wait_options.gone, "wait until no controller is connected");
    wait->add_option("--timeout", wait_options.timeout, "give up after S seconds (exit 1)")
        ->type_name("S");

    block_request block;
    auto add_block_commands = [&](const char *name, const char *what) {
        auto *group = app.add_subcommand(name, what);
        group->require_subcommand(1);
        auto *read = group->add_subcommand("read", "hex dump (or --file) of a range");
        read->add_option("ADDRESS", block.address, "start address (0x.. for hex)")->required();
        read->add_option("LENGTH", block.length, "bytes to read, 0 to 65535")->required();
        read->add_option("--file", block.file, "write the bytes to this file");
        auto *write = group->add_subcommand("write", "writes hex bytes (or --file)");
        write->add_option("ADDRESS", block.address, "start address (0x.. for hex)")->required();
        write->add_option("BYTES", block.data, "hex bytes, e.g. \"01 02 A0\"");
        write->add_option("--file", block.file,
                          "write the bytes of this regular file (at most 65535 bytes)");
        return std::pair{read, write};
    };
    const auto [eeprom_read, eeprom_write] =
        add_block_commands("eeprom", "the controller's EEPROM");
    const auto [mem_read, mem_write] = add_block_commands("mem", "the controller's memory");

    std::string image_path;
    auto *program = app.add_subcommand("program", "programs an S-record firmware image");
    program->add_option("FILE", image_path, "S-record file")->required();
    auto *diag = app.add_subcommand("diag", "runs the six self-tests");

    mfg_request mfg;
    bool limit_on = false, limit_off = false;
    auto *mfg_group = app.add_subcommand("mfg", "the manufacturing block");
    mfg_group->require_subcommand(1);
    auto *mfg_show = mfg_group->add_subcommand("show", "the block's fields");
    auto *mfg_write = mfg_group->add_subcommand(
        "write", "writes the block; fields not given keep the controller's values");
    mfg_write->add_option("--serial-number", mfg.serial_number, "up to 16 characters");
    mfg_write->add_option("--mac", mfg.mac, "e.g. 00:50:C2:12:34:56");
    mfg_write->add_option("--ip", mfg.ip, "default IP address, dotted");
    mfg_write->add_option("--part", mfg.part, "hardware part number, up to 16 characters");
    mfg_write->add_option("--eco", mfg.eco, "ECO revision, up to 4 characters");
    auto *limit_on_flag = mfg_write->add_flag("--limit-48v", limit_on, "sets the 48 V limit");
    mfg_write->add_flag("--no-limit-48v", limit_off, "clears the 48 V limit")
        ->excludes(limit_on_flag);
    mfg_write->footer(
        "A field not given keeps what the controller's manufacturing block holds. When that block "
        "is not valid, --serial-number and --mac are required and the IP address, hardware part "
        "number and ECO revision come from QuorrelLoader's settings (IPAddress, HardwarePartNum, "
        "ECORevision).");

    auto *config_group = app.add_subcommand("config", "the configuration block");
    config_group->require_subcommand(1);
    auto *config_show = config_group->add_subcommand("show", "every field by name");
    auto *lighthead_group = app.add_subcommand("lighthead", "the lighthead record");
    lighthead_group->require_subcommand(1);
    auto *lighthead_show =
        lighthead_group->add_subcommand("show", "LED group 0 and the programming date");

    lighthead_request lighthead;
    auto *lighthead_write =
        lighthead_group->add_subcommand("write", "LED group 0 with the editor's range checks");
    static constexpr const char *row_options[loader::lighthead_rows] = {
        "--led-rth",         "--tau",
        "--vf-slope",        "--vf-offset",
        "--tj-max",          "--strings",
        "--leds-per-string", "--heatsink-rth",
        "--default-current", "--max-pulse-current",
        "--max-cont-current"};
    for (int row = 0; row < loader::lighthead_rows; ++row) {
        const auto index = static_cast<std::size_t>(row);
        lighthead.options[index] = row_options[row];
        lighthead_write->add_option(row_options[row], lighthead.texts[index],
                                    loader::lighthead_layout[index].label);
    }
    auto *part_option = lighthead_write->add_option("--part", lighthead.part_number,
                                                    "part number, up to 15 characters");

    config_request config;
    auto *config_write =
        config_group->add_subcommand("write", "writes the block as the dialog does");
    config_write->add_option("--trigger", config.trigger, "trigger input")
        ->check(CLI::IsMember({"none", "1", "2"}));
    config_write->add_option("--edge", config.edge, "trigger edge")
        ->check(CLI::IsMember({"rising", "falling"}));
    config_write->add_option("--differential-1", config.differential_1, "differential trigger 1")
        ->check(CLI::IsMember({"on", "off"}));
    config_write->add_option("--differential-2", config.differential_2, "differential trigger 2")
        ->check(CLI::IsMember({"on", "off"}));
    config_write->add_option("--width", config.width, "pulse width, 0 to 2147483647");
    config_write->add_option("--delay", config.delay, "pulse delay, 0 to 65535");
    config_write->add_option("--current", config.current, "LED current, 0 to 50 A");
    config_write->add_option("--supply-overhead", config.supply_overhead,
                             "supply overhead, 0 to 100 V");
    config_write->add_option("--initial-led-temperature", config.initial_led_temperature,
                             "initial LED temperature, 0 to 255");
    config_write->add_option("--mode", config.mode, "operating mode as the list names it")
        ->check(CLI::IsMember(std::vector<std::string>(loader::operating_mode_names,
                                                       loader::operating_mode_names +
                                                           loader::operating_mode_list_entries)));
    config_write->add_option("--slew", config.slew, "slew rate as the list names it")
        ->check(CLI::IsMember(std::vector<std::string>(
            loader::slew_rate_names, loader::slew_rate_names + loader::slew_rate_positions)));

    std::string setting_name;
    std::vector<std::string> setting_args;
    auto add_setting_command = [&](const char *verb_name, setting_verb verb, const char *what) {
        auto *command = app.add_subcommand(verb_name, what);
        command->footer("Names and arguments: " + setting_names(verb));
        command->add_option("NAME", setting_name, "what to " + std::string(verb_name))->required();
        command->add_option("ARGS", setting_args, "its arguments, in the library's order");
        return command;
    };
    auto *get_command = add_setting_command("get", setting_verb::get, "reads a setting");
    auto *set_command = add_setting_command("set", setting_verb::set, "changes a setting");
    auto *calc_command =
        add_setting_command("calc", setting_verb::calc, "asks a thermal limit question");

    if (const std::string unknown = unknown_command_message(app, argc, argv); !unknown.empty())
        return usage_failure(unknown);
    // Set last, so that the subcommands' help does not repeat it.
    app.footer(help_footer);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    global.tcp_list_given = tcp_list->count() > 0;
    global.log_given = log_option->count() > 0;
    if (global.log_given && global.log.empty())
        return usage_failure("--log: a file name, not an empty text");

    // Before the first library call: the library looks at the variable on each exchange.
    if (global.trace)
        setenv("VORTLINK_TRACE", "1", 1);

    if (*error)
        return run_error(global.json, error_code);
    if (*list)
        return run_list(global.json);
    if (*wait)
        return run_wait(wait_options, global.json);

    std::vector<controller_choice> targets;
    bool gang = false;
    std::string message;
    if (!resolve_targets(global, targets, gang, message))
        return usage_failure(message);

    command chosen;
    bool prepared = true;
    if (*status)
        chosen = make_status_command();
    else if (*info)
        chosen = make_info_command();
    else if (*echo)
        chosen = make_echo_command();
    else if (*diag)
        chosen = make_diag_command();
    else if (*reset)
        prepared = make_reset_command(reset_target, targets.front(), chosen, message);
    else if (*eeprom_read || *mem_read)
        prepared = make_block_read_command(eeprom_read->parsed(), block, chosen, message);
    else if (*eeprom_write || *mem_write)
        prepared = make_block_write_command(eeprom_write->parsed(), block, chosen, message);
    else if (*program)
        prepared = make_program_command(image_path, chosen, message);
    else if (*mfg_show)
        chosen = make_show_command(block_kind::manufacturing);
    else if (*config_show)
        chosen = make_show_command(block_kind::configuration);
    else if (*lighthead_show)
        chosen = make_show_command(block_kind::lighthead);
    else if (*mfg_write) {
        mfg.limit_48v = limit_on ? "on" : limit_off ? "off" : "";
        prepared = make_mfg_write_command(mfg, chosen, message);
    } else if (*config_write)
        prepared = make_config_write_command(config, chosen, message);
    else if (*lighthead_write) {
        lighthead.part_number_given = part_option->count() > 0;
        prepared = make_lighthead_write_command(lighthead, chosen, message);
    } else if (*get_command)
        prepared = make_setting_command(setting_verb::get, setting_name, setting_args, chosen,
                                        message);
    else if (*set_command)
        prepared = make_setting_command(setting_verb::set, setting_name, setting_args, chosen,
                                        message);
    else if (*calc_command)
        prepared = make_setting_command(setting_verb::calc, setting_name, setting_args, chosen,
                                        message);
    if (!prepared)
        return usage_failure(message);
    if (gang && !chosen.single_only.empty())
        return usage_failure(chosen.name + " cannot run on several controllers at once: " +
                             chosen.single_only);

    production_log log;
    run_settings settings;
    settings.json = global.json;
    if (global.log_given) {
        if (!log.open(global.log, message))
            return usage_failure(message);
        settings.log = &log;
    }
    return gang ? run_gang(chosen, targets, settings)
                : run_single(chosen, targets.front(), settings);
}

} // namespace
} // namespace vortlink::ctl

int main(int argc, char **argv) {
    return vortlink::ctl::run(argc, argv);
}
