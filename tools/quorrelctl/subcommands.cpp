#include "subcommands.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <set>

#include "blocks/config_block.h"
#include "output.h"
#include "runner.h"
#include "text_input.h"
#include "vortlink.hpp"
#include "wait_command.h"

namespace vortlink::ctl {

namespace {

template <typename T> std::shared_ptr<T> held() { return std::make_shared<T>(); }

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

nlohmann::ordered_json list_entry(int position, vortlink::controller &device) {
    const std::string firmware = device.fw_version();
    const std::string hardware = device.hw_version();
    const std::string serial = device.serial_number();
    const bool boot_loader = loader::runs_boot_loader(firmware.c_str());
    return {{"position", position},
            {"serial", device_text(serial)},
            {"firmware", device_text(firmware)},
            {"hardware", device_text(hardware)},
            {"mode", boot_loader ? "boot_loader" : "application"}};
}

int run_list(bool json) {
    nlohmann::ordered_json controllers = nlohmann::ordered_json::array();
    for (int position = 0; position < TKCMDSET_SLOT_COUNT; ++position) {
        std::optional<vortlink::controller> device;
        try {
            device = vortlink::controller::usb(static_cast<uint8_t>(position));
        } catch (const vortlink::error &) {
            break; // no controller at this position: the list is complete
        }
        try {
            controllers.push_back(list_entry(position, *device));
        } catch (const vortlink::error &e) {
            std::fprintf(stderr, "%s\n", failure_text(e.status()).c_str());
            return 1;
        }
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

// A command whose operation takes no arguments.
command_handler simple(command (*make)()) {
    return [make](const global_options &global) {
        return run_on_controllers(global, [make](const auto &, command &chosen, std::string &) {
            chosen = make();
            return true;
        });
    };
}

command_handler add_error(CLI::App &parser) {
    auto code = held<std::string>();
    parser.add_option("CODE", *code, "status code")->required();
    return [code](const global_options &global) { return run_error(global.json, *code); };
}

command_handler add_status(CLI::App &) { return simple(make_status_command); }
command_handler add_info(CLI::App &) { return simple(make_info_command); }
command_handler add_echo(CLI::App &) { return simple(make_echo_command); }
command_handler add_diag(CLI::App &) { return simple(make_diag_command); }

command_handler add_list(CLI::App &) {
    return [](const global_options &global) { return run_list(global.json); };
}

command_handler add_reset(CLI::App &parser) {
    auto target = held<std::string>();
    parser.add_option("TARGET", *target, "loader or application")
        ->required()
        ->check(CLI::IsMember({"loader", "application"}));
    return [target](const global_options &global) {
        return run_on_controllers(global, [target](const auto &targets, command &chosen,
                                                   std::string &message) {
            return make_reset_command(*target, targets.front(), chosen, message);
        });
    };
}

command_handler add_wait(CLI::App &parser) {
    auto request = held<wait_request>();
    parser.add_flag("--gone", request->gone, "wait until no controller is connected");
    parser.add_option("--timeout", request->timeout, "give up after S seconds (exit 1)")
        ->type_name("S");
    return [request](const global_options &global) { return run_wait(*request, global.json); };
}

// eeprom and mem: read and write of a range.
template <bool eeprom> command_handler add_block_commands(CLI::App &parser) {
    auto block = held<block_request>();
    parser.require_subcommand(1);
    auto *read = parser.add_subcommand("read", "hex dump (or --file) of a range");
    read->add_option("ADDRESS", block->address, "start address (0x.. for hex)")->required();
    read->add_option("LENGTH", block->length, "bytes to read, 0 to 65535")->required();
    read->add_option("--file", block->file, "write the bytes to this file");
    auto *write = parser.add_subcommand("write", "writes hex bytes (or --file)");
    write->add_option("ADDRESS", block->address, "start address (0x.. for hex)")->required();
    write->add_option("BYTES", block->data, "hex bytes, e.g. \"01 02 A0\"");
    write->add_option("--file", block->file,
                      "write the bytes of this regular file (at most 65535 bytes)");
    return [block, read](const global_options &global) {
        const bool reading = read->parsed();
        return run_on_controllers(global, [block, reading](const auto &, command &chosen,
                                                           std::string &message) {
            return reading ? make_block_read_command(eeprom, *block, chosen, message)
                           : make_block_write_command(eeprom, *block, chosen, message);
        });
    };
}

command_handler add_program(CLI::App &parser) {
    auto path = held<std::string>();
    parser.add_option("FILE", *path, "S-record file")->required();
    return [path](const global_options &global) {
        return run_on_controllers(global, [path](const auto &, command &chosen,
                                                 std::string &message) {
            return make_program_command(*path, chosen, message);
        });
    };
}

command_handler add_mfg(CLI::App &parser) {
    struct options {
        mfg_request request;
        bool limit_on = false, limit_off = false;
    };
    auto mfg = held<options>();
    parser.require_subcommand(1);
    auto *show = parser.add_subcommand("show", "the block's fields");
    auto *write = parser.add_subcommand(
        "write", "writes the block; fields not given keep the controller's values");
    write->add_option("--serial-number", mfg->request.serial_number, "up to 16 characters");
    write->add_option("--mac", mfg->request.mac, "e.g. 00:50:C2:12:34:56");
    write->add_option("--ip", mfg->request.ip, "default IP address, dotted");
    write->add_option("--part", mfg->request.part, "hardware part number, up to 16 characters");
    write->add_option("--eco", mfg->request.eco, "ECO revision, up to 4 characters");
    auto *limit_on_flag = write->add_flag("--limit-48v", mfg->limit_on, "sets the 48 V limit");
    write->add_flag("--no-limit-48v", mfg->limit_off, "clears the 48 V limit")
        ->excludes(limit_on_flag);
    write->footer(
        "A field not given keeps what the controller's manufacturing block holds. When that block "
        "is not valid, --serial-number and --mac are required and the IP address, hardware part "
        "number and ECO revision come from QuorrelLoader's settings (IPAddress, HardwarePartNum, "
        "ECORevision).");
    return [mfg, show](const global_options &global) {
        const bool showing = show->parsed();
        return run_on_controllers(global, [mfg, showing](const auto &, command &chosen,
                                                         std::string &message) {
            if (showing) {
                chosen = make_show_command(block_kind::manufacturing);
                return true;
            }
            mfg->request.limit_48v = mfg->limit_on ? "on" : mfg->limit_off ? "off" : "";
            return make_mfg_write_command(mfg->request, chosen, message);
        });
    };
}

std::vector<std::string> names(const char *const *first, int count) {
    return std::vector<std::string>(first, first + count);
}

void add_config_write_options(CLI::App &write, config_request &config) {
    write.add_option("--trigger", config.trigger, "trigger input")
        ->check(CLI::IsMember({"none", "1", "2"}));
    write.add_option("--edge", config.edge, "trigger edge")
        ->check(CLI::IsMember({"rising", "falling"}));
    write.add_option("--differential-1", config.differential_1, "differential trigger 1")
        ->check(CLI::IsMember({"on", "off"}));
    write.add_option("--differential-2", config.differential_2, "differential trigger 2")
        ->check(CLI::IsMember({"on", "off"}));
    write.add_option("--width", config.width, "pulse width, 0 to 2147483647");
    write.add_option("--delay", config.delay, "pulse delay, 0 to 65535");
    write.add_option("--current", config.current, "LED current, 0 to 50 A");
    write.add_option("--supply-overhead", config.supply_overhead, "supply overhead, 0 to 100 V");
    write.add_option("--initial-led-temperature", config.initial_led_temperature,
                     "initial LED temperature, 0 to 255");
    write.add_option("--mode", config.mode, "operating mode as the list names it")
        ->check(CLI::IsMember(
            names(loader::operating_mode_names, loader::operating_mode_list_entries)));
    write.add_option("--slew", config.slew, "slew rate as the list names it")
        ->check(CLI::IsMember(names(loader::slew_rate_names, loader::slew_rate_positions)));
}

command_handler add_config(CLI::App &parser) {
    auto config = held<config_request>();
    parser.require_subcommand(1);
    auto *show = parser.add_subcommand("show", "every field by name");
    add_config_write_options(*parser.add_subcommand("write", "writes the block as the dialog does"),
                             *config);
    return [config, show](const global_options &global) {
        const bool showing = show->parsed();
        return run_on_controllers(global, [config, showing](const auto &, command &chosen,
                                                            std::string &message) {
            if (!showing)
                return make_config_write_command(*config, chosen, message);
            chosen = make_show_command(block_kind::configuration);
            return true;
        });
    };
}

command_handler add_lighthead(CLI::App &parser) {
    static constexpr const char *row_options[loader::lighthead_rows] = {
        "--led-rth",         "--tau",          "--vf-slope",        "--vf-offset",
        "--tj-max",          "--strings",      "--leds-per-string", "--heatsink-rth",
        "--default-current", "--max-pulse-current", "--max-cont-current"};
    auto lighthead = held<lighthead_request>();
    parser.require_subcommand(1);
    auto *show = parser.add_subcommand("show", "LED group 0 and the programming date");
    auto *write = parser.add_subcommand("write", "LED group 0 with the editor's range checks");
    for (std::size_t row = 0; row < lighthead->texts.size(); ++row) {
        lighthead->options[row] = row_options[row];
        write->add_option(row_options[row], lighthead->texts[row],
                          loader::lighthead_layout[row].label);
    }
    auto *part = write->add_option("--part", lighthead->part_number,
                                   "part number, up to 15 characters");
    return [lighthead, show, part](const global_options &global) {
        const bool showing = show->parsed();
        lighthead->part_number_given = part->count() > 0;
        return run_on_controllers(global, [lighthead, showing](const auto &, command &chosen,
                                                               std::string &message) {
            if (!showing)
                return make_lighthead_write_command(*lighthead, chosen, message);
            chosen = make_show_command(block_kind::lighthead);
            return true;
        });
    };
}

// get, set and calc: a setting's name and its arguments.
template <setting_verb verb> command_handler add_setting(CLI::App &parser) {
    struct options {
        std::string name;
        std::vector<std::string> args;
    };
    auto setting = held<options>();
    parser.footer("Names and arguments: " + setting_names(verb));
    parser.add_option("NAME", setting->name, "what to " + parser.get_name())->required();
    parser.add_option("ARGS", setting->args, "its arguments, in the library's order");
    return [setting](const global_options &global) {
        return run_on_controllers(global, [setting](const auto &, command &chosen,
                                                    std::string &message) {
            return make_setting_command(verb, setting->name, setting->args, chosen, message);
        });
    };
}

// The global options that take a value, for finding the command word among the arguments.
const std::set<std::string> valued_global_options = {"--usb", "--serial", "--tcp", "--tcp-list",
                                                     "--log"};

std::vector<std::string> subcommand_names(const CLI::App &app) {
    std::vector<std::string> names;
    for (const CLI::App *sub : app.get_subcommands([](const CLI::App *) { return true; }))
        names.push_back(sub->get_name());
    return names;
}

} // namespace

std::string unknown_command_message(const CLI::App &app, int argc, char **argv) {
    const CLI::App *current = &app;
    std::string path;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (word == "--")
            break;
        if (word.size() > 1 && word[0] == '-') {
            if (word.find('=') == std::string::npos && valued_global_options.count(word) > 0)
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

const std::vector<subcommand> &subcommands() {
    static const std::vector<subcommand> table = {
        {"error", "name and explanation of a status code", add_error},
        {"status", "the controller's status word", add_status},
        {"list", "every connected USB controller", add_list},
        {"info", "identity, status word, decoded blocks and lighthead record", add_info},
        {"echo", "sends a pattern and checks it comes back", add_echo},
        {"reset",
         "restarts into the boot loader or the application (USB only; waits up to 15 s)",
         add_reset},
        {"wait", "waits until a controller is connected on USB (or, with --gone, none is)",
         add_wait},
        {"eeprom", "the controller's EEPROM", add_block_commands<true>},
        {"mem", "the controller's memory", add_block_commands<false>},
        {"program", "programs an S-record firmware image", add_program},
        {"diag", "runs the six self-tests", add_diag},
        {"mfg", "the manufacturing block", add_mfg},
        {"config", "the configuration block", add_config},
        {"lighthead", "the lighthead record", add_lighthead},
        {"get", "reads a setting", add_setting<setting_verb::get>},
        {"set", "changes a setting", add_setting<setting_verb::set>},
        {"calc", "asks a thermal limit question", add_setting<setting_verb::calc>},
    };
    return table;
}

} // namespace vortlink::ctl
