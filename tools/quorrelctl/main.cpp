// quorrelctl: drives a Quorrel controller from scripts and over SSH. Exit status 0 on success,
// 1 when the controller or library reports a failure, 2 for a usage error.

#include <arpa/inet.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "blocks/config_block.h"
#include "blocks/lighthead_values.h"
#include "blocks/mfg_block.h"
#include "controller.h"
#include "diagnostics/diagnostics_run.h"
#include "dialog/loader_settings.h"
#include "firmware/programming.h"
#include "firmware/srecord.h"
#include "output.h"
#include "setting_commands.h"
#include "vortlink.h"

namespace vortlink::ctl {
namespace {

// Statuses of the tool itself, outside the library's and the controller's ranges.
namespace tool_status {
inline constexpr status_t usage = -30000;       // reported by the parser's message, exit 2
inline constexpr status_t file_failed = -30001; // a file could not be read or written
inline constexpr status_t echo_differs = -30002;
inline constexpr status_t diagnostics_failed = -30003; // the summary is already printed
} // namespace tool_status

constexpr uint16_t feature_start_loader = 1;
constexpr uint16_t feature_start_application = 2;
// How long the controller gets to leave the bus before it is looked for again, as in the dialog.
constexpr unsigned loader_settle_ms = 2000;
constexpr unsigned application_settle_ms = 3000;
constexpr std::size_t echo_size = loader::echo_size;
constexpr std::size_t max_block_length = 65535;

struct options {
    controller_choice choice;
    bool json = false;
    bool trace = false;
    std::string usage_message;
};

status_t usage_error(options &opts, std::string message) {
    opts.usage_message = std::move(message);
    return tool_status::usage;
}

bool parse_number(const std::string &text, uint64_t limit, uint64_t &value) {
    if (text.empty() || text[0] == '-' || text[0] == '+')
        return false;
    errno = 0;
    char *end = nullptr;
    const unsigned long long parsed = std::strtoull(text.c_str(), &end, 0);
    if (errno != 0 || end == text.c_str() || *end != '\0' || parsed > limit)
        return false;
    value = parsed;
    return true;
}

void print_json(const nlohmann::json &value) {
    std::cout << value.dump(2) << '\n';
}

status_t read_file(const std::string &path, std::vector<uint8_t> &bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return tool_status::file_failed;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return in.bad() ? tool_status::file_failed : loader::status::ok;
}

status_t write_file(const std::string &path, const std::vector<uint8_t> &bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return out ? loader::status::ok : tool_status::file_failed;
}

// ---- commands that need no controller ----

status_t run_error(const options &opts, int code) {
    const auto status = static_cast<status_t>(code);
    if (opts.json) {
        print_json({{"code", code}, {"name", error_name(status)}, {"text", error_text(status)}});
    } else {
        std::printf("%d %s\n%s\n", code, error_name(status).c_str(), error_text(status).c_str());
    }
    return loader::status::ok;
}

// ---- commands on one controller ----

status_t run_status(const options &opts, uint8_t slot) {
    uint16_t word = 0;
    if (status_t result = tkcmdset_status(slot, &word); result != loader::status::ok)
        return result;
    if (opts.json)
        print_json({{"status", word}});
    else
        std::printf("Status word: 0x%04X\n", word);
    return loader::status::ok;
}

nlohmann::ordered_json identity_json(const identity &id) {
    return {{"firmware", id.firmware},
            {"hardware", id.hardware},
            {"serial", id.serial},
            {"mode", id.boot_loader ? "boot loader" : "application"}};
}

status_t run_list(const options &opts) {
    nlohmann::json controllers = nlohmann::json::array();
    for (int position = 0; position < 50; ++position) {
        const auto slot = static_cast<uint8_t>(position);
        if (tkcmdset_init_ex(slot, controller_product_name, nullptr) != loader::status::ok)
            break;
        identity id;
        const status_t result = read_identity(slot, id);
        (void)tkcmdset_shutdown(slot);
        if (result != loader::status::ok)
            return result;
        nlohmann::json entry = identity_json(id);
        entry["position"] = position;
        controllers.push_back(entry);
    }
    if (opts.json) {
        print_json(controllers);
        return loader::status::ok;
    }
    if (controllers.empty())
        std::printf("No controller connected over USB.\n");
    for (const auto &entry : controllers)
        std::printf("%d  serial %s  firmware %s  hardware %s  %s\n", entry["position"].get<int>(),
                    entry["serial"].get<std::string>().c_str(),
                    entry["firmware"].get<std::string>().c_str(),
                    entry["hardware"].get<std::string>().c_str(),
                    entry["mode"].get<std::string>().c_str());
    return loader::status::ok;
}

status_t mfg_json(uint8_t slot, nlohmann::ordered_json &out);
status_t config_json(uint8_t slot, nlohmann::ordered_json &out);
status_t lighthead_json(uint8_t slot, nlohmann::ordered_json &out);
void print_fields(const char *block_name, const nlohmann::ordered_json &fields);
void print_lighthead(const nlohmann::ordered_json &lighthead);

status_t run_info(const options &opts, uint8_t slot) {
    identity id;
    status_t result = read_identity(slot, id);
    if (result != loader::status::ok)
        return result;
    uint16_t word = 0;
    if ((result = tkcmdset_status(slot, &word)) != loader::status::ok)
        return result;
    nlohmann::ordered_json mfg, config, lighthead;
    if ((result = mfg_json(slot, mfg)) != loader::status::ok)
        return result;
    if ((result = config_json(slot, config)) != loader::status::ok)
        return result;
    // A controller without a lighthead still has an identity: the record's failure is shown.
    if (const status_t lighthead_result = lighthead_json(slot, lighthead);
        lighthead_result != loader::status::ok)
        lighthead = {{"error", lighthead_result}, {"name", error_name(lighthead_result)}};
    if (opts.json) {
        nlohmann::ordered_json out = identity_json(id);
        out["status"] = word;
        out["manufacturing"] = mfg;
        out["configuration"] = config;
        out["lighthead"] = lighthead;
        std::cout << out.dump(2) << '\n';
        return loader::status::ok;
    }
    std::printf("Firmware version:  %s\nHardware version:  %s\nSerial number:     %s\n"
                "Running:           %s\nStatus word:       0x%04X\n",
                id.firmware.c_str(), id.hardware.c_str(), id.serial.c_str(),
                id.boot_loader ? "boot loader" : "application", word);
    std::printf("\nManufacturing block\n");
    print_fields("Manufacturing block", mfg);
    std::printf("\nConfiguration block\n");
    print_fields("Configuration block", config);
    std::printf("\nLighthead\n");
    if (lighthead.contains("error"))
        std::printf("not read: ERROR (%d) : %s\n", lighthead["error"].get<int>(),
                    lighthead["name"].get<std::string>().c_str());
    else
        print_lighthead(lighthead);
    return loader::status::ok;
}

status_t run_echo(const options &opts, uint8_t slot) {
    std::vector<uint8_t> probe(echo_size), reply(echo_size);
    for (std::size_t i = 0; i < echo_size; ++i)
        probe[i] = static_cast<uint8_t>(i * 7 + 1);
    if (status_t result = tkcmdset_echo(slot, probe.data(), reply.data());
        result != loader::status::ok)
        return result;
    // Over TCP only the first 50 bytes make the round trip; over USB as many as the controller's
    // long reply report holds, the rest of the reply being zero. Whatever came back must be the
    // probe's start.
    std::size_t carried = 0;
    while (carried < echo_size && reply[carried] == probe[carried])
        ++carried;
    const bool over_tcp = opts.choice.kind == controller_choice::transport::tcp;
    if (over_tcp && carried > 50)
        carried = 50;
    const bool rest_empty = over_tcp || std::all_of(reply.begin() + static_cast<long>(carried),
                                                    reply.end(), [](uint8_t b) { return b == 0; });
    const bool intact = carried >= (over_tcp ? 50u : 1u) && rest_empty;
    if (opts.json)
        print_json({{"bytes", carried}, {"intact", intact}});
    else if (intact)
        std::printf("Echo: %zu bytes returned intact\n", carried);
    return intact ? loader::status::ok : tool_status::echo_differs;
}

status_t run_reset(const options &opts, uint8_t slot, const std::string &target) {
    const bool to_loader = target == "loader";
    status_t result =
        tkcmdset_set_feature(slot, to_loader ? feature_start_loader : feature_start_application);
    if (result != loader::status::ok)
        return result;
    (void)tkcmdset_shutdown(slot);
    usleep((to_loader ? loader_settle_ms : application_settle_ms) * 1000);
    if ((result = wait_for_usb_controller(opts.choice, slot)) != loader::status::ok)
        return result;
    return run_info(opts, slot);
}

struct block_request {
    std::string address;
    std::string length;
    std::string data;
    std::string file;
};

status_t run_block_read(options &opts, uint8_t slot, bool eeprom, const block_request &req) {
    uint64_t address = 0, length = 0;
    if (!parse_number(req.address, eeprom ? 0xFFFF : 0xFFFFFFFF, address))
        return usage_error(opts, "address out of range: " + req.address);
    if (!parse_number(req.length, max_block_length, length))
        return usage_error(opts, "length must be 0 to 65535: " + req.length);
    std::vector<uint8_t> bytes(length);
    status_t result = eeprom
                          ? tkcmdset_read_eemem_block(slot, static_cast<uint16_t>(address),
                                                      bytes.data(), static_cast<uint16_t>(length))
                          : tkcmdset_read_mem_block(slot, static_cast<uint32_t>(address),
                                                    bytes.data(), static_cast<uint16_t>(length));
    if (result != loader::status::ok)
        return result;
    if (!req.file.empty())
        return write_file(req.file, bytes);
    if (opts.json)
        print_json({{"address", address}, {"data", hex_string(bytes)}});
    else
        std::fputs(hex_dump(static_cast<uint32_t>(address), bytes).c_str(), stdout);
    return loader::status::ok;
}

status_t run_block_write(options &opts, uint8_t slot, bool eeprom, const block_request &req) {
    uint64_t address = 0;
    if (!parse_number(req.address, eeprom ? 0xFFFF : 0xFFFFFFFF, address))
        return usage_error(opts, "address out of range: " + req.address);
    if (req.file.empty() == req.data.empty())
        return usage_error(opts, "give either hex bytes or --file");
    std::vector<uint8_t> bytes;
    if (!req.file.empty()) {
        if (status_t result = read_file(req.file, bytes); result != loader::status::ok)
            return result;
    } else if (!parse_hex_bytes(req.data, bytes)) {
        return usage_error(opts, "not hex bytes: " + req.data);
    }
    if (bytes.size() > max_block_length)
        return usage_error(opts, "at most 65535 bytes go in one write");
    return eeprom ? tkcmdset_write_eemem_block(slot, static_cast<uint16_t>(address), bytes.data(),
                                               static_cast<uint16_t>(bytes.size()))
                  : tkcmdset_write_mem_block(slot, static_cast<uint32_t>(address), bytes.data(),
                                             static_cast<uint16_t>(bytes.size()));
}

std::string mac_text(const std::array<uint8_t, 6> &mac) {
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

status_t mfg_json(uint8_t slot, nlohmann::ordered_json &out) {
    uint8_t block[loader::mfg_block_size] = {};
    if (status_t result =
            tkcmdset_read_eemem_block(slot, loader::mfg_block_address, block, sizeof block);
        result != loader::status::ok)
        return result;
    const bool valid = loader::IsValidMfgBlock(block);
    out = {{"valid", valid}};
    if (!valid)
        return loader::status::ok;
    const loader::mfg_fields fields = loader::read_mfg_block(block);
    out["serial_number"] = fields.serial_number;
    out["mac"] = mac_text(fields.mac);
    out["ip"] = ip_text(fields.ip);
    out["hardware_part_number"] = fields.hardware_part_number;
    out["eco_revision"] = fields.eco_revision;
    out["limit_48v"] = fields.limit_48v;
    return loader::status::ok;
}

// One "name: value" line per field, true and false as on and off; a block that failed its
// check is said to be so.
void print_fields(const char *block_name, const nlohmann::ordered_json &fields) {
    if (fields.contains("valid") && !fields["valid"].get<bool>()) {
        std::printf("%s: not valid (wrong identifier or CRC-16)\n", block_name);
        return;
    }
    for (const auto &[name, value] : fields.items()) {
        if (name == "valid")
            continue;
        const std::string text = value.is_string()    ? value.get<std::string>()
                                 : value.is_boolean() ? (value.get<bool>() ? "on" : "off")
                                                      : value.dump();
        std::printf("%-28s %s\n", (name + ":").c_str(), text.c_str());
    }
}

status_t run_block_show(const options &opts, uint8_t slot, const char *block_name,
                        status_t (*read)(uint8_t, nlohmann::ordered_json &)) {
    nlohmann::ordered_json out;
    if (status_t result = read(slot, out); result != loader::status::ok)
        return result;
    if (opts.json)
        std::cout << out.dump(2) << '\n';
    else
        print_fields(block_name, out);
    return loader::status::ok;
}

struct mfg_request {
    std::string serial_number;
    std::string mac;
    std::string ip;
    std::string part;
    std::string eco;
    bool limit_48v = false;
};

// A value of the utility's settings, or default_text when it has none.
std::string utility_setting(const char *name, const char *default_text) {
    char buffer[loader::setting_buffer_size];
    std::snprintf(buffer, sizeof buffer, "%s", default_text);
    if (loader::OpenSettingsKey(loader::loader_settings_key) == loader::status::ok)
        (void)loader::ReadSetting(name, default_text, buffer, sizeof buffer);
    return buffer;
}

status_t run_mfg_write(options &opts, uint8_t slot, const mfg_request &req) {
    loader::mfg_fields fields;
    fields.serial_number = req.serial_number;
    std::vector<uint8_t> mac;
    if (!parse_hex_bytes(req.mac, mac) || mac.size() != fields.mac.size())
        return usage_error(opts, "MAC address must be six hex bytes: " + req.mac);
    std::copy(mac.begin(), mac.end(), fields.mac.begin());
    in_addr address{};
    const std::string ip = req.ip.empty() ? utility_setting("IPAddress", "192.168.8.100") : req.ip;
    if (inet_pton(AF_INET, ip.c_str(), &address) != 1)
        return usage_error(opts, "not a dotted IPv4 address: " + ip);
    fields.ip = ntohl(address.s_addr);
    // Unless given, as the dialog takes them: from the utility's settings.
    fields.hardware_part_number =
        req.part.empty() ? utility_setting("HardwarePartNum", "4310-000552-110") : req.part;
    fields.eco_revision = req.eco.empty() ? utility_setting("ECORevision", "110") : req.eco;
    fields.limit_48v = req.limit_48v;

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    uint8_t block[loader::mfg_block_size];
    loader::build_mfg_block(fields, local, block);
    return tkcmdset_write_eemem_block(slot, loader::mfg_block_address, block, sizeof block);
}

const char *trigger_text(loader::trigger_choice choice) {
    switch (choice) {
    case loader::trigger_choice::none:
        return "None";
    case loader::trigger_choice::input_1:
        return "1";
    case loader::trigger_choice::input_2:
        return "2";
    default:
        return "";
    }
}

std::string mode_text(int position) {
    if (position >= 0 && position < loader::operating_mode_list_entries)
        return loader::operating_mode_names[position];
    if (position == loader::operating_mode_without_entry)
        return "(mode 18, no list entry)";
    return "";
}

std::string slew_text(int position) {
    if (position >= 0 && position < loader::slew_rate_positions)
        return loader::slew_rate_names[position];
    return "";
}

status_t config_json(uint8_t slot, nlohmann::ordered_json &out) {
    uint8_t block[loader::config_block_size] = {};
    if (status_t result =
            tkcmdset_read_eemem_block(slot, loader::config_block_address, block, sizeof block);
        result != loader::status::ok)
        return result;
    const bool valid = loader::IsValidConfigBlock(block);
    out = {{"valid", valid}};
    if (!valid)
        return loader::status::ok;
    loader::config_fields fields;
    loader::read_config_block(block, fields);
    out["trigger_input"] = trigger_text(fields.trigger_input);
    out["edge"] = fields.rising ? "Rising" : "Falling";
    out["differential_1"] = fields.differential_1;
    out["differential_2"] = fields.differential_2;
    out["width"] = fields.width;
    out["delay"] = fields.delay;
    out["current"] = fields.current;
    out["supply_overhead"] = fields.supply_overhead;
    out["initial_led_temperature"] = fields.initial_led_temperature;
    out["operating_mode"] = mode_text(fields.mode_position);
    out["slew_rate"] = slew_text(fields.slew_position);
    return loader::status::ok;
}

status_t lighthead_json(uint8_t slot, nlohmann::ordered_json &out) {
    LightheadData record{};
    if (status_t result = tkcmdset_get_lighthead_data(slot, &record); result != loader::status::ok)
        return result;
    loader::lighthead_values values;
    loader::load_record(values, record);
    nlohmann::ordered_json group = nlohmann::ordered_json::object();
    for (int row = 0; row < loader::lighthead_rows; ++row) {
        const auto &layout = loader::lighthead_layout[static_cast<std::size_t>(row)];
        group[layout.label] = loader::row_text(values, static_cast<loader::lighthead_row>(row));
    }
    out = {{"part_number", std::string(record.part_number,
                                       strnlen(record.part_number, sizeof record.part_number))},
           {"programmed", values.programming_text},
           {"led_group_0", group}};
    return loader::status::ok;
}

void print_lighthead(const nlohmann::ordered_json &lighthead) {
    std::printf("%-28s %s\n%s\n",
                "Part number:", lighthead["part_number"].get<std::string>().c_str(),
                lighthead["programmed"].get<std::string>().c_str());
    for (const auto &[label, text] : lighthead["led_group_0"].items())
        std::printf("%-28s %s\n", label.c_str(), text.get<std::string>().c_str());
}

status_t run_lighthead_show(const options &opts, uint8_t slot) {
    nlohmann::ordered_json out;
    if (status_t result = lighthead_json(slot, out); result != loader::status::ok)
        return result;
    if (opts.json)
        std::cout << out.dump(2) << '\n';
    else
        print_lighthead(out);
    return loader::status::ok;
}

// The editor's row texts, by option: a row left out keeps the controller's value.
struct lighthead_request {
    std::array<std::string, loader::lighthead_rows> texts;
    std::string part_number;
    bool part_number_given = false;
};

// The record's part number field is 16 bytes; the dialog takes at most 15 characters into it.
constexpr std::size_t lighthead_part_number_length = 15;

status_t run_lighthead_write(options &opts, uint8_t slot, const lighthead_request &req) {
    LightheadData current{};
    status_t result = tkcmdset_get_lighthead_data(slot, &current);
    if (result != loader::status::ok)
        return result;
    loader::lighthead_values values;
    loader::load_record(values, current);
    std::array<std::string, loader::lighthead_rows> texts;
    for (int row = 0; row < loader::lighthead_rows; ++row) {
        const auto index = static_cast<std::size_t>(row);
        texts[index] = req.texts[index].empty()
                           ? loader::row_text(values, static_cast<loader::lighthead_row>(row))
                           : req.texts[index];
    }
    if (const auto refusal = loader::take_over_rows(values, texts))
        return usage_error(
            opts,
            std::string(loader::lighthead_layout[static_cast<std::size_t>(refusal->row)].label) +
                ": " + refusal->message);

    // As the dialog writes it: LED group 0 and the part number into an otherwise empty record.
    LightheadData record{};
    loader::store_record(values, record);
    const std::string part =
        (req.part_number_given
             ? req.part_number
             : std::string(current.part_number,
                           strnlen(current.part_number, sizeof current.part_number)))
            .substr(0, lighthead_part_number_length);
    std::copy(part.begin(), part.end(), record.part_number);
    return tkcmdset_set_lighthead_data(slot, &record);
}

// The configuration fields by name; an empty text leaves the field as the controller has it.
struct config_request {
    std::string trigger, edge, differential_1, differential_2, width, delay, current,
        supply_overhead, initial_led_temperature, mode, slew;
};

int list_position(const char *const *names, int count, const std::string &text) {
    for (int i = 0; i < count; ++i)
        if (text == names[i])
            return i;
    return loader::no_selection;
}

status_t run_config_write(uint8_t slot, const config_request &req) {
    uint8_t block[loader::config_block_size] = {};
    status_t result =
        tkcmdset_read_eemem_block(slot, loader::config_block_address, block, sizeof block);
    if (result != loader::status::ok)
        return result;
    // What the dialog shows before the fields are edited.
    loader::config_fields fields;
    if (loader::IsValidConfigBlock(block))
        loader::read_config_block(block, fields);
    else
        loader::show_config_defaults(fields);

    if (!req.trigger.empty())
        fields.trigger_input = req.trigger == "none" ? loader::trigger_choice::none
                               : req.trigger == "1"  ? loader::trigger_choice::input_1
                                                     : loader::trigger_choice::input_2;
    if (!req.edge.empty())
        fields.rising = req.edge == "rising";
    if (!req.differential_1.empty())
        fields.differential_1 = req.differential_1 == "on";
    if (!req.differential_2.empty())
        fields.differential_2 = req.differential_2 == "on";
    for (const auto &[text, field] :
         {std::pair{&req.width, &fields.width}, std::pair{&req.delay, &fields.delay},
          std::pair{&req.current, &fields.current},
          std::pair{&req.supply_overhead, &fields.supply_overhead},
          std::pair{&req.initial_led_temperature, &fields.initial_led_temperature}})
        if (!text->empty())
            *field = *text;
    if (!req.mode.empty())
        fields.mode_position = list_position(loader::operating_mode_names,
                                             loader::operating_mode_list_entries, req.mode);
    if (!req.slew.empty())
        fields.slew_position =
            list_position(loader::slew_rate_names, loader::slew_rate_positions, req.slew);
    // The dialog ties the mode to the trigger input whenever either changes.
    if (!req.trigger.empty() || !req.mode.empty())
        fields.mode_position =
            loader::mode_after_trigger_change(fields.trigger_input, fields.mode_position);

    loader::build_config_block(fields, block);
    return tkcmdset_write_eemem_block(slot, loader::config_block_address, block, sizeof block);
}

status_t run_setting_command(options &opts, uint8_t slot, setting_verb verb,
                             const std::string &name, const std::vector<std::string> &args) {
    nlohmann::ordered_json out = nlohmann::ordered_json::object();
    std::string message;
    const status_t result = run_setting(verb, slot, name, args, out, message);
    if (result == setting_usage)
        return usage_error(opts, message);
    if (result != loader::status::ok || verb == setting_verb::set)
        return result;
    if (opts.json) {
        std::cout << out.dump(2) << '\n';
        return loader::status::ok;
    }
    for (const auto &[key, value] : out.items())
        std::cout << key << ": " << (value.is_string() ? value.get<std::string>() : value.dump())
                  << '\n';
    return loader::status::ok;
}

status_t run_program(const options &opts, uint8_t slot, const std::string &path) {
    loader::library_link link(slot);
    uint32_t transfer_buffer = 0;
    status_t result = loader::read_transfer_buffer(link, transfer_buffer);
    if (result != loader::status::ok)
        return result;

    progress_printer printer(!opts.json && isatty(STDOUT_FILENO) == 1);
    loader::programming_hooks hooks;
    if (!opts.json)
        hooks.progress = [&printer](const loader::programming_progress &progress) {
            printer.show(progress.percent);
        };
    loader::firmware_programmer programmer(link, transfer_buffer, std::move(hooks));

    std::vector<uint8_t> buffer(loader::image_area_size);
    const loader::image_span image(buffer.data(), loader::image_area_size);
    loader::SRecordFile file;
    uint32_t lowest = 0, highest = 0;
    result = programmer.program_file(file, path.c_str(), image, lowest, highest);
    printer.finish();
    if (result != loader::status::ok)
        return result;
    if (opts.json)
        print_json({{"programmed", path}, {"lowest", lowest}, {"highest", highest}});
    else
        std::printf("Programmed %s (0x%08X to 0x%08X)\n", path.c_str(), lowest, highest);
    return loader::status::ok;
}

status_t run_diag(const options &opts, uint8_t slot) {
    loader::diagnostics_hooks hooks;
    hooks.run_test = loader::library_test_runner(slot);
    hooks.look_up = loader::library_catalogue_texts;
    loader::diagnostics_outcome outcome;
    (void)loader::run_diagnostics(hooks, outcome);
    if (opts.json) {
        print_json({{"passed", !outcome.failed},
                    {"log", outcome.log},
                    {"summary", outcome.summary},
                    {"tests_started", outcome.tests_started}});
    } else {
        std::fputs(outcome.log.c_str(), stdout);
        if (!outcome.log.empty() && outcome.log.back() != '\n')
            std::fputc('\n', stdout);
        if (outcome.failed)
            std::fputs(outcome.summary.c_str(), stderr);
    }
    return outcome.failed ? tool_status::diagnostics_failed : loader::status::ok;
}

int exit_code(const options &opts, status_t result) {
    if (result == loader::status::ok)
        return 0;
    if (result == tool_status::usage) {
        std::fprintf(stderr, "%s\nRun with --help for more information.\n",
                     opts.usage_message.c_str());
        return 2;
    }
    if (result == tool_status::file_failed)
        std::fprintf(stderr, "ERROR : the file could not be read or written\n");
    else if (result == tool_status::echo_differs)
        std::fprintf(stderr, "ERROR : the echo came back changed\n");
    else if (result != tool_status::diagnostics_failed)
        report_failure(result);
    return 1;
}

int run(int argc, char **argv) {
    CLI::App app{"quorrelctl - drives a Quorrel LED strobe controller over USB or TCP"};
    app.require_subcommand(1);
    options opts;
    int usb_position = -1;
    auto *usb = app.add_option("--usb", usb_position, "the N-th connected USB controller (0-49)")
                    ->check(CLI::Range(0, 49));
    auto *serial = app.add_option("--serial", opts.choice.serial,
                                  "the USB controller with this "
                                  "serial number");
    auto *tcp = app.add_option("--tcp", opts.choice.host,
                               "the controller at HOST (port: the \"TCP Port\" setting)");
    usb->excludes(serial)->excludes(tcp);
    serial->excludes(tcp);
    app.add_flag("--json", opts.json, "machine-readable output of read commands");
    app.add_flag("--trace", opts.trace, "log every frame to standard error");

    int error_code = 0;
    auto *error = app.add_subcommand("error", "name and explanation of a status code");
    error->add_option("CODE", error_code, "status code")->required();
    auto *status = app.add_subcommand("status", "the controller's status word");
    auto *list = app.add_subcommand("list", "every connected USB controller");
    auto *info =
        app.add_subcommand("info", "identity, status word, decoded blocks and lighthead record");
    auto *echo = app.add_subcommand("echo", "sends a pattern and checks it comes back");
    std::string reset_target;
    auto *reset = app.add_subcommand("reset", "restarts into the boot loader or the application");
    reset->add_option("TARGET", reset_target, "loader or application")
        ->required()
        ->check(CLI::IsMember({"loader", "application"}));

    block_request block;
    auto add_block_commands = [&](const char *name, const char *what) {
        auto *group = app.add_subcommand(name, what);
        group->require_subcommand(1);
        auto *read = group->add_subcommand("read", "hex dump (or --file) of a range");
        read->add_option("ADDRESS", block.address, "start address (0x.. for hex)")->required();
        read->add_option("LENGTH", block.length, "bytes to read")->required();
        read->add_option("--file", block.file, "write the bytes to this file");
        auto *write = group->add_subcommand("write", "writes hex bytes (or --file)");
        write->add_option("ADDRESS", block.address, "start address (0x.. for hex)")->required();
        write->add_option("BYTES", block.data, "hex bytes, e.g. \"01 02 A0\"");
        write->add_option("--file", block.file, "write the bytes of this file");
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
    auto *mfg_group = app.add_subcommand("mfg", "the manufacturing block");
    mfg_group->require_subcommand(1);
    auto *mfg_show = mfg_group->add_subcommand("show", "the block's fields");
    auto *mfg_write = mfg_group->add_subcommand("write", "writes the block as the dialog does");
    mfg_write->add_option("--serial-number", mfg.serial_number, "up to 16 characters")->required();
    mfg_write->add_option("--mac", mfg.mac, "e.g. 00:50:C2:12:34:56")->required();
    mfg_write->add_option("--ip", mfg.ip,
                          "default IP address, dotted (default: the utility's IPAddress setting)");
    mfg_write->add_option("--part", mfg.part,
                          "hardware part number, up to 16 characters (default: the utility's "
                          "HardwarePartNum setting)");
    mfg_write->add_option("--eco", mfg.eco,
                          "ECO revision, up to 4 characters (default: the utility's ECORevision "
                          "setting)");
    mfg_write->add_flag("--limit-48v", mfg.limit_48v, "sets the 48 V limit");

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
    for (int row = 0; row < loader::lighthead_rows; ++row)
        lighthead_write->add_option(row_options[row],
                                    lighthead.texts[static_cast<std::size_t>(row)],
                                    loader::lighthead_layout[static_cast<std::size_t>(row)].label);
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
    config_write->add_option("--width", config.width, "pulse width");
    config_write->add_option("--delay", config.delay, "pulse delay");
    config_write->add_option("--current", config.current, "LED current");
    config_write->add_option("--supply-overhead", config.supply_overhead, "supply overhead");
    config_write->add_option("--initial-led-temperature", config.initial_led_temperature,
                             "initial LED temperature");
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

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    // Before the first library call: the library looks at the variable on each exchange.
    if (opts.trace)
        setenv("VORTLINK_TRACE", "1", 1);
    lighthead.part_number_given = part_option->count() > 0;
    if (*tcp)
        opts.choice.kind = controller_choice::transport::tcp;
    if (usb_position >= 0)
        opts.choice.usb_position = usb_position;

    if (*error)
        return exit_code(opts, run_error(opts, error_code));
    if (*list)
        return exit_code(opts, run_list(opts));

    uint8_t slot = 0;
    status_t result = open_controller(opts.choice, slot);
    if (result == loader::status::ok) {
        if (*status)
            result = run_status(opts, slot);
        else if (*info)
            result = run_info(opts, slot);
        else if (*echo)
            result = run_echo(opts, slot);
        else if (*reset)
            result = run_reset(opts, slot, reset_target);
        else if (*eeprom_read || *mem_read)
            result = run_block_read(opts, slot, eeprom_read->parsed(), block);
        else if (*eeprom_write || *mem_write)
            result = run_block_write(opts, slot, eeprom_write->parsed(), block);
        else if (*program)
            result = run_program(opts, slot, image_path);
        else if (*diag)
            result = run_diag(opts, slot);
        else if (*mfg_show)
            result = run_block_show(opts, slot, "Manufacturing block", mfg_json);
        else if (*mfg_write)
            result = run_mfg_write(opts, slot, mfg);
        else if (*config_show)
            result = run_block_show(opts, slot, "Configuration block", config_json);
        else if (*get_command)
            result = run_setting_command(opts, slot, setting_verb::get, setting_name, setting_args);
        else if (*set_command)
            result = run_setting_command(opts, slot, setting_verb::set, setting_name, setting_args);
        else if (*calc_command)
            result =
                run_setting_command(opts, slot, setting_verb::calc, setting_name, setting_args);
        else if (*config_write)
            result = run_config_write(slot, config);
        else if (*lighthead_show)
            result = run_lighthead_show(opts, slot);
        else if (*lighthead_write)
            result = run_lighthead_write(opts, slot, lighthead);
    }
    (void)tkcmdset_shutdown(slot);
    return exit_code(opts, result);
}

} // namespace
} // namespace vortlink::ctl

int main(int argc, char **argv) {
    return vortlink::ctl::run(argc, argv);
}
