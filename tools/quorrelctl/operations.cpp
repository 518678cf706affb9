#include "operations.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <thread>

#include "block_views.h"
#include "blocks/config_block.h"
#include "blocks/field_text.h"
#include "blocks/mfg_block.h"
#include "common/crc16.h"
#include "core/ipv4_text.h"
#include "core/platform/local_time.h"
#include "diagnostics/diagnostics_run.h"
#include "dialog/loader_settings.h"
#include "firmware/firmware_image.h"
#include "firmware/programming.h"
#include "firmware/srecord.h"
#include "output.h"
#include "text_input.h"
#include "vortlink.hpp"

namespace vortlink::ctl {

namespace {

// How long the controller gets to leave the bus before it is looked for again, as in the dialog.
constexpr std::chrono::milliseconds loader_settle{2000};
constexpr std::chrono::milliseconds application_settle{3000};
constexpr std::size_t max_block_length = 65535;
// S-record text of a full 256 KiB image takes well under 1 MiB; anything far larger is no
// firmware file.
constexpr std::size_t max_firmware_file_size = 16 * 1024 * 1024;
constexpr uint64_t eeprom_size = 0x10000;
constexpr uint64_t memory_limit = 0x100000000;
constexpr uint32_t chunk_size = 128;

// The texts the manufacturing block keeps, in bytes.
constexpr std::size_t serial_number_length = loader::serial_number_size;
constexpr std::size_t part_number_length = loader::hardware_part_number_size;
constexpr std::size_t eco_length = loader::eco_revision_size;
// The lighthead record's part number field is 16 bytes; the dialog keeps a terminator in it.
constexpr std::size_t lighthead_part_number_length = 15;

// Ranges the tool takes for the configuration block's numbers: what the block's fields hold,
// and for the reals what a lighthead can use at all (the editor's current limit at one string,
// the supply overhead the controller accepts).
constexpr int64_t max_width = 0x7FFFFFFF;
constexpr double max_config_current = 50.0;
constexpr double max_supply_overhead = 100.0;

void fail(outcome &result, status_t status) { result.status = status; }

// Runs steps on the controller; a failure ends them with its status.
template <typename Steps> status_t attempt(Steps &&steps) {
    try {
        steps();
        return loader::status::ok;
    } catch (const vortlink::error &e) {
        return e.status();
    }
}

void fail_usage(outcome &result, std::string message) {
    result.status = tool_status::usage;
    result.message = std::move(message);
}

// ---- identity ----

struct identity {
    std::string firmware, hardware, serial;
    bool boot_loader = false;
};

status_t read_identity(vortlink::controller &device, identity &result) {
    return attempt([&] {
        const std::string firmware = device.fw_version();
        result.boot_loader = loader::runs_boot_loader(firmware.c_str());
        result.firmware = device_text(firmware);
        result.hardware = device_text(device.hw_version());
        result.serial = device_text(device.serial_number());
    });
}

std::string status_word_text(uint16_t word) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", word);
    return text;
}

// ---- blocks ----

// An EEPROM block read whole into a buffer the loader's block code takes.
template <std::size_t size>
void read_eeprom(vortlink::controller &device, uint16_t address, uint8_t (&block)[size]) {
    const std::vector<uint8_t> bytes = device.read_eemem_block(address, size);
    std::copy(bytes.begin(), bytes.end(), block);
}

status_t read_block_view(vortlink::controller &device, block_kind kind, block_view &view) {
    return attempt([&] {
        if (kind == block_kind::manufacturing) {
            uint8_t block[loader::mfg_block_size] = {};
            read_eeprom(device, loader::mfg_block_address, block);
            view = mfg_view(block);
        } else if (kind == block_kind::configuration) {
            uint8_t block[loader::config_block_size] = {};
            read_eeprom(device, loader::config_block_address, block);
            view = config_view(block);
        } else {
            // The loader's lighthead code works on the library's own record.
            LightheadData record{};
            if (const status_t status = tkcmdset_get_lighthead_data(device.slot(), &record))
                throw vortlink::error(status);
            view = lighthead_view(record);
        }
    });
}

void run_info(session &where, outcome &result) {
    identity id;
    uint16_t word = 0;
    block_view mfg, config, lighthead;
    vortlink::controller &device = *where.device;
    status_t status = read_identity(device, id);
    if (status == loader::status::ok)
        status = attempt([&] { word = device.status(); });
    if (status == loader::status::ok)
        status = read_block_view(device, block_kind::manufacturing, mfg);
    if (status == loader::status::ok)
        status = read_block_view(device, block_kind::configuration, config);
    if (status != loader::status::ok)
        return fail(result, status);
    // A controller without a lighthead still has an identity: the record's failure is shown.
    const status_t lighthead_status =
        read_block_view(device, block_kind::lighthead, lighthead);

    const char *mode = id.boot_loader ? "boot_loader" : "application";
    result.data = {{"firmware", id.firmware}, {"hardware", id.hardware},
                   {"serial", id.serial},     {"mode", mode},
                   {"status_word", word},     {"manufacturing", mfg.data},
                   {"configuration", config.data}};
    if (lighthead_status == loader::status::ok)
        result.data["lighthead"] = lighthead.data;
    else
        result.data["lighthead"] = {
            {"error", {{"code", lighthead_status}, {"name", error_name(lighthead_status)}}}};

    result.text = render_rows({{"Firmware version", id.firmware},
                               {"Hardware version", id.hardware},
                               {"Serial number", id.serial},
                               {"Running", id.boot_loader ? "boot loader" : "application"},
                               {"Status word", status_word_text(word)}});
    result.text += "\nManufacturing block\n" + render_rows(mfg.rows);
    result.text += "\nConfiguration block\n" + render_rows(config.rows);
    result.text += "\nLighthead\n";
    if (lighthead_status == loader::status::ok)
        result.text += render_rows(lighthead.rows);
    else
        result.text += "not read: ERROR (" + std::to_string(lighthead_status) +
                       ") : " + error_name(lighthead_status) + "\n";
}

// ---- reset ----

// Lets `wait` pass, telling the session each second how long is left of `total_left`.
void count_down(session &where, const char *what, std::chrono::milliseconds wait,
                std::chrono::steady_clock::time_point give_up) {
    const auto until = std::chrono::steady_clock::now() + wait;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        if (where.activity) {
            const auto left = std::chrono::ceil<std::chrono::seconds>(give_up - now).count();
            where.activity(std::string(what) + ": " + std::to_string(left) + " s left");
        }
        std::this_thread::sleep_for(
            std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(1), until - now));
    }
}

void run_reset(bool to_loader, session &where, outcome &result) {
    using clock = std::chrono::steady_clock;
    // Looked for again by its serial number where it has one: positions on the bus may change
    // while it is away.
    controller_choice comes_back = where.choice;
    if (comes_back.serial.empty())
        (void)attempt([&] { comes_back.serial = where.device->serial_number(); });
    status_t status = attempt([&] {
        where.device->set_feature(to_loader ? TKCMDSET_FEATURE_START_LOADER : TKCMDSET_FEATURE_START_APPLICATION);
    });
    if (status != loader::status::ok)
        return fail(result, status);
    where.device->close();
    const auto settle = to_loader ? loader_settle : application_settle;
    const auto give_up = clock::now() + settle + usb_return_limit;
    const char *what = to_loader ? "restarting into the boot loader"
                                 : "restarting into the application";
    count_down(where, what, settle, give_up);
    status = wait_for_usb_controller(comes_back, where.slot, *where.device,
                                     [&](clock::time_point now) {
        if (where.activity)
            where.activity(std::string(what) + ": " +
                           std::to_string(std::chrono::ceil<std::chrono::seconds>(give_up - now)
                                              .count()) +
                           " s left");
    });
    if (where.activity)
        where.activity("");
    if (status != loader::status::ok)
        return fail(result, status);
    run_info(where, result);
}

// ---- blocks of memory and EEPROM ----

struct block_plan {
    bool eeprom = false;
    uint32_t address = 0;
    std::size_t length = 0;
    std::vector<uint8_t> bytes; // to write
    std::string file;
};

bool parse_block_address(bool eeprom, const std::string &text, uint32_t &address,
                         std::string &message) {
    const uint64_t last = eeprom ? eeprom_size - 1 : memory_limit - 1;
    const std::optional<uint64_t> value = parse_unsigned(text, UINT64_MAX);
    if (!value) {
        message = "ADDRESS: '" + text + "' is not a number (decimal, or hexadecimal with 0x)";
        return false;
    }
    if (*value > last) {
        char limit[16];
        std::snprintf(limit, sizeof limit, "0x%llX", static_cast<unsigned long long>(last));
        message = "ADDRESS: " + text + " is beyond the " + (eeprom ? "EEPROM" : "memory") +
                  "'s last address " + limit;
        return false;
    }
    address = static_cast<uint32_t>(*value);
    return true;
}

bool check_block_end(const block_plan &plan, std::string &message) {
    const uint64_t end = uint64_t{plan.address} + plan.length;
    if (end <= (plan.eeprom ? eeprom_size : memory_limit))
        return true;
    message = std::to_string(plan.length) + " bytes at " + std::to_string(plan.address) +
              " run past the end of the " + (plan.eeprom ? "EEPROM" : "memory");
    return false;
}

const char *space_name(bool eeprom) { return eeprom ? "EEPROM" : "memory"; }

std::string hex_address(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", address);
    return text;
}

// ---- programming ----

// The image as the file held it when the tool read it, once: every controller is sent these
// bytes, whatever happens to the file meanwhile, and the record names their CRC.
struct firmware_plan {
    std::string path;
    uint64_t file_size = 0;
    uint32_t lowest = 0, highest = 0;
    std::shared_ptr<const std::vector<uint8_t>> image; // image_area_size bytes, as loaded
    uint16_t image_crc = 0;                            // of the bytes programming sends
};

// The bytes the programming leaves in the controller's flash: from the lowest address to the end
// of the last 128-byte chunk, header CRCs filled in.
uint16_t programmed_crc(loader::image_span image, uint32_t lowest, uint32_t highest) {
    const uint32_t chunks = std::max<uint32_t>(1, (highest - lowest + chunk_size) / chunk_size);
    const uint32_t end = std::min<uint32_t>(lowest + chunks * chunk_size, loader::image_area_size);
    return loader::crc16(std::span<const uint8_t>(image.data() + lowest, end - lowest));
}

void run_program(const firmware_plan &plan, session &where, outcome &result) {
    loader::library_link link(where.slot);
    uint32_t transfer_buffer = 0;
    status_t status = loader::read_transfer_buffer(link, transfer_buffer);
    if (status != loader::status::ok)
        return fail(result, status);
    loader::programming_hooks hooks;
    if (where.progress)
        hooks.progress = [&where](const loader::programming_progress &progress) {
            where.progress(progress.step == loader::programming_step::chunks ? progress.percent
                                                                             : 100);
        };
    loader::firmware_programmer programmer(link, transfer_buffer, std::move(hooks));
    // Programming fills in the header CRCs in the buffer it sends from: each controller gets a
    // copy of the image as loaded.
    std::vector<uint8_t> buffer = *plan.image;
    const loader::image_span image(buffer.data(), loader::image_area_size);
    status = programmer.program_image(image, plan.lowest, plan.highest);
    if (status != loader::status::ok)
        return fail(result, status);
    char crc_text[8];
    std::snprintf(crc_text, sizeof crc_text, "0x%04X", plan.image_crc);
    result.data = {{"file", plan.path},         {"size", plan.file_size},
                   {"lowest", plan.lowest},     {"highest", plan.highest},
                   {"image_crc16", plan.image_crc}};
    char text[160];
    std::snprintf(text, sizeof text, "0x%08X to 0x%08X, image CRC-16 %s", plan.lowest,
                  plan.highest, crc_text);
    result.text = "Programmed " + plan.path + " (" + text + ")\n";
}

// ---- diagnostics ----

void run_diag(session &where, outcome &result) {
    nlohmann::ordered_json tests = nlohmann::ordered_json::array();
    loader::diagnostics_hooks hooks;
    const auto runner = loader::library_test_runner(where.slot);
    hooks.run_test = [&](uint8_t identifier) {
        const status_t status = runner(identifier);
        nlohmann::ordered_json test = {{"id", identifier},
                                       {"name", loader::diagnostic_tests[identifier].name},
                                       {"passed", status == loader::status::ok},
                                       {"code", status}};
        if (status != loader::status::ok)
            test["error_name"] = error_name(status);
        tests.push_back(test);
        if (where.progress)
            where.progress(static_cast<uint32_t>(tests.size() * 100 /
                                                 loader::diagnostic_tests.size()));
        return status;
    };
    hooks.look_up = loader::library_catalogue_texts;
    loader::diagnostics_outcome run;
    (void)loader::run_diagnostics(hooks, run);

    // The dialog's texts end their lines with CR LF for its status box; here a line ends with LF.
    auto unix_lines = [](std::string text) {
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
                plain += text[i];
        return plain;
    };
    const std::string summary =
        run.failed ? unix_lines(run.summary)
                   : std::to_string(tests.size()) + " of " +
                         std::to_string(loader::diagnostic_tests.size()) + " tests passed";
    result.data = {{"passed", !run.failed}, {"tests", tests}, {"summary", summary}};
    std::string log = unix_lines(run.log);
    if (!log.empty() && log.back() != '\n')
        log += '\n';
    result.text = log;
    if (run.failed) {
        result.status = tool_status::diagnostics_failed;
        result.message = summary;
    }
}

// ---- manufacturing block ----

struct mfg_plan {
    std::optional<std::string> serial_number;
    std::optional<std::array<uint8_t, 6>> mac;
    std::optional<uint32_t> ip;
    std::optional<std::string> part, eco;
    std::optional<bool> limit_48v;
    // The utility's settings, for a controller without a valid block.
    std::string setting_ip, setting_part, setting_eco;
};

// A value of the utility's settings, or default_text when it has none.
std::string utility_setting(const char *name, const char *default_text) {
    char buffer[loader::setting_buffer_size];
    std::snprintf(buffer, sizeof buffer, "%s", default_text);
    if (loader::OpenSettingsKey(loader::loader_settings_key) == loader::status::ok)
        (void)loader::ReadSetting(name, default_text, buffer, sizeof buffer);
    return buffer;
}

void run_mfg_write(const mfg_plan &plan, session &where, outcome &result) {
    uint8_t block[loader::mfg_block_size] = {};
    status_t status =
        attempt([&] { read_eeprom(*where.device, loader::mfg_block_address, block); });
    if (status != loader::status::ok)
        return fail(result, status);
    loader::mfg_fields fields;
    if (loader::IsValidMfgBlock(block)) {
        fields = loader::read_mfg_block(block);
    } else {
        // Nothing to keep: serial number and MAC address must be given, the rest comes from
        // the utility's settings as the dialog takes it.
        if (!plan.serial_number || !plan.mac)
            return fail_usage(result, "the controller's manufacturing block is not valid, so "
                                      "there is nothing to keep: give --serial-number and --mac");
        const std::optional<uint32_t> ip = parse_dotted_quad(plan.setting_ip);
        if (!plan.ip && !ip)
            return fail_usage(result, "the utility's IPAddress setting is not a dotted IPv4 "
                                      "address: " + plan.setting_ip + "; give --ip");
        for (const auto &[given, setting, name, length] :
             {std::tuple{plan.part.has_value(), &plan.setting_part, "HardwarePartNum",
                         part_number_length},
              std::tuple{plan.eco.has_value(), &plan.setting_eco, "ECORevision", eco_length}})
            if (const std::string problem =
                    given ? std::string() : text_field_problem(name, *setting, length);
                !problem.empty())
                return fail_usage(result, "the utility's setting " + problem);
        fields.ip = ip.value_or(0);
        fields.hardware_part_number = plan.setting_part;
        fields.eco_revision = plan.setting_eco;
        fields.limit_48v = false;
    }
    if (plan.serial_number)
        fields.serial_number = *plan.serial_number;
    if (plan.mac)
        fields.mac = *plan.mac;
    if (plan.ip)
        fields.ip = *plan.ip;
    if (plan.part)
        fields.hardware_part_number = *plan.part;
    if (plan.eco)
        fields.eco_revision = *plan.eco;
    if (plan.limit_48v)
        fields.limit_48v = *plan.limit_48v;

    std::tm local{};
    (void)platform::local_time(std::time(nullptr), local);
    loader::build_mfg_block(fields, local, block);
    status = attempt([&] {
        where.device->write_eemem_block(loader::mfg_block_address, block, sizeof block);
    });
    if (status != loader::status::ok)
        return fail(result, status);
    const block_view view = mfg_view(block);
    result.data = view.data;
    result.text = "Manufacturing block written\n" + render_rows(view.rows);
    result.serial_written = view.data.value("serial_number", "");
}

// ---- configuration block ----

int list_position(const char *const *names, int count, const std::string &text) {
    for (int i = 0; i < count; ++i)
        if (text == names[i])
            return i;
    return loader::no_selection;
}

void run_config_write(const config_request &req, session &where, outcome &result) {
    uint8_t block[loader::config_block_size] = {};
    status_t status =
        attempt([&] { read_eeprom(*where.device, loader::config_block_address, block); });
    if (status != loader::status::ok)
        return fail(result, status);
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
    status = attempt([&] {
        where.device->write_eemem_block(loader::config_block_address, block, sizeof block);
    });
    if (status != loader::status::ok)
        return fail(result, status);
    const block_view view = config_view(block);
    result.data = view.data;
    result.text = "Configuration block written\n" + render_rows(view.rows);
}

// ---- lighthead record ----

void run_lighthead_write(const lighthead_request &req, session &where, outcome &result) {
    LightheadData current{};
    status_t status = tkcmdset_get_lighthead_data(where.slot, &current);
    if (status != loader::status::ok)
        return fail(result, status);
    loader::lighthead_values values;
    loader::load_record(values, current);
    std::array<std::string, loader::lighthead_rows> texts;
    for (int row = 0; row < loader::lighthead_rows; ++row) {
        const auto index = static_cast<std::size_t>(row);
        texts[index] = req.texts[index].empty()
                           ? loader::row_text(values, static_cast<loader::lighthead_row>(row))
                           : req.texts[index];
    }
    if (const auto refusal = loader::take_over_rows(values, texts)) {
        const auto index = static_cast<std::size_t>(refusal->row);
        const std::string &option = req.options[index];
        return fail_usage(result,
                          (req.texts[index].empty()
                               ? "the controller's value of "
                               : option + " (") +
                              loader::lighthead_layout[index].label +
                              (req.texts[index].empty() ? ", '" + texts[index] + "'" : ")") +
                              ": " + refusal->message);
    }

    // As the dialog writes it: LED group 0 and the part number into an otherwise empty record.
    LightheadData record{};
    loader::store_record(values, record);
    const std::string part =
        req.part_number_given
            ? req.part_number
            : std::string(current.part_number,
                          strnlen(current.part_number, lighthead_part_number_length));
    std::copy(part.begin(), part.end(), record.part_number);
    if ((status = tkcmdset_set_lighthead_data(where.slot, &record)) != loader::status::ok)
        return fail(result, status);
    LightheadData written{};
    if ((status = tkcmdset_get_lighthead_data(where.slot, &written)) != loader::status::ok)
        return fail(result, status);
    const block_view view = lighthead_view(written);
    result.data = view.data;
    result.text = "Lighthead record written\n" + render_rows(view.rows);
}

} // namespace

// ---- the commands ----

command make_status_command() {
    return {"status",
            [](session &where, outcome &result) {
                uint16_t word = 0;
                if (const status_t status = attempt([&] { word = where.device->status(); });
                    status != loader::status::ok)
                    return fail(result, status);
                result.data = {{"status_word", word}};
                result.text = "Status word: " + status_word_text(word) + "\n";
            },
            {}};
}

command make_info_command() { return {"info", run_info, {}}; }

command make_echo_command() {
    return {"echo",
            [](session &where, outcome &result) {
                constexpr std::size_t echo_size = TKCMDSET_ECHO_SIZE;
                vortlink::echo_block probe{}, reply{};
                for (std::size_t i = 0; i < echo_size; ++i)
                    probe[i] = static_cast<uint8_t>(i * 7 + 1);
                if (const status_t status = attempt([&] { reply = where.device->echo(probe); });
                    status != loader::status::ok)
                    return fail(result, status);
                // Over TCP only the first 50 bytes make the round trip; over USB as many as the
                // controller's long reply report holds, the rest of the reply being zero.
                // Whatever came back must be the probe's start.
                std::size_t carried = 0;
                while (carried < echo_size && reply[carried] == probe[carried])
                    ++carried;
                const bool over_tcp = where.choice.kind == controller_choice::transport::tcp;
                if (over_tcp && carried > 50)
                    carried = 50;
                const bool rest_empty =
                    over_tcp || std::all_of(reply.begin() + static_cast<long>(carried),
                                            reply.end(), [](uint8_t b) { return b == 0; });
                const bool intact = carried >= (over_tcp ? 50u : 1u) && rest_empty;
                result.data = {{"bytes", carried}, {"intact", intact}};
                if (intact) {
                    result.text = "Echo: " + std::to_string(carried) + " bytes returned intact\n";
                } else {
                    result.status = tool_status::echo_differs;
                    result.message = "the echo came back changed after " +
                                     std::to_string(carried) + " bytes";
                }
            },
            {}};
}

command make_diag_command() { return {"diag", run_diag, {}}; }

bool make_reset_command(const std::string &target, const controller_choice &choice,
                        command &result, std::string &message) {
    if (choice.kind == controller_choice::transport::tcp) {
        message = "reset works over USB only: the controller switches between boot loader and "
                  "application on a USB feature report, which TCP cannot carry; "
                  "use --usb N or --serial S";
        return false;
    }
    const bool to_loader = target == "loader";
    result = {"reset " + target,
              [to_loader](session &where, outcome &out) { run_reset(to_loader, where, out); },
              {}};
    return true;
}

bool make_block_read_command(bool eeprom, const block_request &request, command &result,
                             std::string &message) {
    block_plan plan;
    plan.eeprom = eeprom;
    plan.file = request.file;
    if (!parse_block_address(eeprom, request.address, plan.address, message))
        return false;
    const std::optional<uint64_t> length = parse_unsigned(request.length, max_block_length);
    if (!length) {
        message = "LENGTH: '" + request.length + "' is not a whole number from 0 to 65535";
        return false;
    }
    plan.length = static_cast<std::size_t>(*length);
    if (!check_block_end(plan, message))
        return false;
    if (!plan.file.empty() && !check_output_file(plan.file, message)) {
        message = "--file " + message;
        return false;
    }
    const std::string name = std::string(eeprom ? "eeprom" : "mem") + " read";
    result = {name,
              [plan](session &where, outcome &out) {
                  std::vector<uint8_t> bytes;
                  const status_t status = attempt([&] {
                      bytes = plan.eeprom ? where.device->read_eemem_block(
                                                static_cast<uint16_t>(plan.address), plan.length)
                                          : where.device->read_mem_block(plan.address, plan.length);
                  });
                  if (status != loader::status::ok)
                      return fail(out, status);
                  out.data = {{"address", plan.address}, {"length", plan.length}};
                  if (!plan.file.empty()) {
                      if (!write_regular_file(plan.file, bytes, out.message))
                          return fail(out, tool_status::file_failed);
                      out.data["file"] = plan.file;
                      out.text = "Read " + std::to_string(plan.length) + " bytes of " +
                                 space_name(plan.eeprom) + " at " + hex_address(plan.address) +
                                 " into " + plan.file + "\n";
                      return;
                  }
                  out.data["data"] = hex_string(bytes);
                  out.text = hex_dump(plan.address, bytes);
              },
              "it reads into one place"};
    return true;
}

bool make_block_write_command(bool eeprom, const block_request &request, command &result,
                              std::string &message) {
    block_plan plan;
    plan.eeprom = eeprom;
    if (!parse_block_address(eeprom, request.address, plan.address, message))
        return false;
    if (request.file.empty() == request.data.empty()) {
        message = "give either hex bytes or --file";
        return false;
    }
    if (!request.file.empty()) {
        if (!read_regular_file(request.file, max_block_length, plan.bytes, message)) {
            message = "--file " + message;
            return false;
        }
    } else if (!parse_hex_bytes(request.data, plan.bytes)) {
        message = "BYTES: not hex bytes: " + request.data;
        return false;
    } else if (plan.bytes.size() > max_block_length) {
        message = "BYTES: at most 65535 bytes go in one write, got " +
                  std::to_string(plan.bytes.size());
        return false;
    }
    plan.length = plan.bytes.size();
    if (!check_block_end(plan, message))
        return false;
    const std::string name = std::string(eeprom ? "eeprom" : "mem") + " write";
    result = {name,
              [plan](session &where, outcome &out) {
                  const status_t status = attempt([&] {
                      if (plan.eeprom)
                          where.device->write_eemem_block(static_cast<uint16_t>(plan.address),
                                                          plan.bytes);
                      else
                          where.device->write_mem_block(plan.address, plan.bytes);
                  });
                  if (status != loader::status::ok)
                      return fail(out, status);
                  out.data = {{"address", plan.address}, {"length", plan.length}};
                  out.text = "Wrote " + std::to_string(plan.length) + " bytes of " +
                             space_name(plan.eeprom) + " at " + hex_address(plan.address) + "\n";
              },
              "one controller at a time"};
    return true;
}

bool make_program_command(const std::string &path, command &result, std::string &message) {
    firmware_plan plan;
    plan.path = path;
    std::vector<uint8_t> file_bytes;
    if (!read_regular_file(path, max_firmware_file_size, file_bytes, message)) {
        message = "FILE " + message;
        return false;
    }
    plan.file_size = file_bytes.size();
    // Loaded and checked here, so that a damaged file stops the tool before any controller is
    // touched.
    auto image = std::make_shared<std::vector<uint8_t>>(loader::image_area_size);
    loader::SRecordFile file;
    status_t status = file.OpenSRecordText(file_bytes);
    if (status == loader::status::ok)
        status = file.LoadSRecordImage(*image, plan.lowest, plan.highest);
    file.CloseSRecordFile();
    // What programming will send: the image with its header CRCs filled in, as it fills them.
    std::vector<uint8_t> sent = *image;
    const loader::image_span sealed(sent.data(), loader::image_area_size);
    loader::image_layout layout;
    if (status == loader::status::ok)
        status = loader::classify_image(sealed, plan.lowest, plan.highest, layout);
    if (status == loader::status::ok) {
        if (layout.kind == loader::image_kind::controller)
            status = loader::seal_controller_header(sealed, plan.lowest);
        else
            loader::seal_ethernet_header(sealed);
    }
    if (status != loader::status::ok) {
        message = "FILE '" + path + "' is not a firmware image this tool can program: ERROR (" +
                  std::to_string(status) + ") : " + error_name(status) + "\n" + error_text(status);
        return false;
    }
    plan.image_crc = programmed_crc(sealed, plan.lowest, plan.highest);
    plan.image = std::move(image);
    result = {"program",
              [plan](session &where, outcome &out) {
                  out.record = {{"firmware_file", plan.path},
                                {"firmware_size", plan.file_size},
                                {"image_crc16", plan.image_crc}};
                  run_program(plan, where, out);
              },
              {}};
    return true;
}

command make_show_command(block_kind kind) {
    const char *name = kind == block_kind::manufacturing   ? "mfg show"
                       : kind == block_kind::configuration ? "config show"
                                                           : "lighthead show";
    return {name,
            [kind](session &where, outcome &result) {
                block_view view;
                if (const status_t status = read_block_view(*where.device, kind, view);
                    status != loader::status::ok)
                    return fail(result, status);
                result.data = view.data;
                result.text = render_rows(view.rows);
            },
            {}};
}

bool make_mfg_write_command(const mfg_request &request, command &result, std::string &message) {
    mfg_plan plan;
    const std::pair<const std::string *, std::optional<std::string> *> texts[] = {
        {&request.serial_number, &plan.serial_number}, {&request.part, &plan.part},
        {&request.eco, &plan.eco}};
    const char *options[] = {"--serial-number", "--part", "--eco"};
    const std::size_t lengths[] = {serial_number_length, part_number_length, eco_length};
    for (std::size_t i = 0; i < 3; ++i) {
        const std::string &text = *texts[i].first;
        if (text.empty())
            continue;
        if (message = text_field_problem(options[i], text, lengths[i]); !message.empty())
            return false;
        *texts[i].second = text;
    }
    if (!request.mac.empty()) {
        std::vector<uint8_t> mac;
        if (!parse_hex_bytes(request.mac, mac) || mac.size() != 6) {
            message = "--mac: six hex bytes, e.g. 00:50:C2:12:34:56, got '" + request.mac + "'";
            return false;
        }
        plan.mac.emplace();
        std::copy(mac.begin(), mac.end(), plan.mac->begin());
    }
    if (!request.ip.empty()) {
        plan.ip = parse_dotted_quad(request.ip);
        if (!plan.ip) {
            message = "--ip: a dotted IPv4 address, e.g. 192.168.8.100, got '" + request.ip + "'";
            return false;
        }
    }
    if (!request.limit_48v.empty())
        plan.limit_48v = request.limit_48v == "on";
    plan.setting_ip = utility_setting("IPAddress", "192.168.8.100");
    plan.setting_part = utility_setting("HardwarePartNum", "4310-000552-110");
    plan.setting_eco = utility_setting("ECORevision", "110");

    std::string single_only;
    if (plan.serial_number || plan.mac || plan.ip)
        single_only = "--serial-number, --mac and --ip belong to one controller";
    result = {"mfg write",
              [plan](session &where, outcome &out) { run_mfg_write(plan, where, out); },
              single_only};
    return true;
}

bool make_config_write_command(const config_request &request, command &result,
                               std::string &message) {
    struct integer_field {
        const std::string *text;
        const char *option;
        int64_t max;
        const char *unit;
    };
    const integer_field integers[] = {{&request.width, "--width", max_width, ""},
                                      {&request.delay, "--delay", 0xFFFF, ""},
                                      {&request.initial_led_temperature,
                                       "--initial-led-temperature", 0xFF, " \u00B0C"}};
    for (const auto &field : integers) {
        if (field.text->empty())
            continue;
        if (!parse_unsigned(*field.text, static_cast<uint64_t>(field.max))) {
            message = std::string(field.option) + ": a whole number from 0 to " +
                      std::to_string(field.max) + field.unit + ", got '" + *field.text + "'";
            return false;
        }
    }
    struct real_field {
        const std::string *text;
        const char *option;
        double max;
        const char *unit;
    };
    const real_field reals[] = {{&request.current, "--current", max_config_current, " A"},
                                {&request.supply_overhead, "--supply-overhead",
                                 max_supply_overhead, " V"}};
    for (const auto &field : reals) {
        if (field.text->empty())
            continue;
        const std::optional<double> value = parse_real(*field.text);
        if (!value || *value < 0 || *value > field.max) {
            message = std::string(field.option) + ": a number from 0 to " +
                      real_text(field.max) + field.unit + ", got '" + *field.text + "'";
            return false;
        }
    }
    result = {"config write",
              [request](session &where, outcome &out) { run_config_write(request, where, out); },
              {}};
    return true;
}

bool make_lighthead_write_command(const lighthead_request &request, command &result,
                                  std::string &message) {
    if (request.part_number_given) {
        message = text_field_problem("--part", request.part_number, lighthead_part_number_length);
        if (!message.empty())
            return false;
    }
    // The given rows with the editor's checks before any controller is touched, the others at
    // the editor's defaults (one string: the widest current limits). The limits that depend on
    // the number of strings are checked again against the controller's record.
    loader::lighthead_values defaults;
    loader::set_defaults(defaults);
    std::array<std::string, loader::lighthead_rows> texts;
    for (int row = 0; row < loader::lighthead_rows; ++row) {
        const auto index = static_cast<std::size_t>(row);
        texts[index] = request.texts[index].empty()
                           ? loader::row_text(defaults, static_cast<loader::lighthead_row>(row))
                           : request.texts[index];
    }
    if (const auto refusal = loader::take_over_rows(defaults, texts)) {
        const auto index = static_cast<std::size_t>(refusal->row);
        message = request.options[index] + " (" + loader::lighthead_layout[index].label + "): '" +
                  texts[index] + "': " + refusal->message;
        return false;
    }
    result = {"lighthead write",
              [request](session &where, outcome &out) { run_lighthead_write(request, where, out); },
              {}};
    return true;
}

bool make_setting_command(setting_verb verb, const std::string &name,
                          const std::vector<std::string> &args, command &result,
                          std::string &message) {
    setting_runner runner;
    if (!prepare_setting(verb, name, args, runner, message)) {
        message = (verb == setting_verb::get   ? "get "
                   : verb == setting_verb::set ? "set "
                                               : "calc ") +
                  message;
        return false;
    }
    const char *verb_name = verb == setting_verb::get   ? "get"
                            : verb == setting_verb::set ? "set"
                                                        : "calc";
    result = {std::string(verb_name) + " " + name,
              [runner, verb](session &where, outcome &out) {
                  nlohmann::ordered_json values = nlohmann::ordered_json::object();
                  if (const status_t status = attempt([&] { runner(*where.device, values); });
                      status != loader::status::ok)
                      return fail(out, status);
                  if (verb == setting_verb::set)
                      return;
                  out.data = values;
                  out.text = setting_rows_text(values);
              },
              "one controller at a time"};
    return true;
}

} // namespace vortlink::ctl
