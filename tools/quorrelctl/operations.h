#pragma once
// The tool's operations on one controller. Each is prepared from the command line first, with
// every argument checked, and then run on any number of controllers, each in its own session:
// what it found goes into an outcome (JSON data and text) rather than straight to the screen,
// so that the same operation serves one controller or a whole gang.

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/lighthead_values.h"
#include "controller.h"
#include "setting_commands.h"

namespace vortlink::ctl {

// Statuses of the tool itself, outside the library's and the controller's ranges; the production
// record names them USAGE, FILE_FAILED, ECHO_DIFFERS and DIAGNOSTICS_FAILED.
namespace tool_status {
inline constexpr status_t usage = -30000;       // the message says what; exit 2
inline constexpr status_t file_failed = -30001; // a file could not be read or written
inline constexpr status_t echo_differs = -30002;
inline constexpr status_t diagnostics_failed = -30003; // the outcome says which tests

constexpr bool is_tool_status(status_t status) {
    return status == usage || status == file_failed || status == echo_differs ||
           status == diagnostics_failed;
}
} // namespace tool_status

// One controller while an operation runs on it.
struct session {
    controller_choice choice;
    vortlink::controller *device = nullptr; // open while the operation runs
    uint8_t slot = 0;                       // its slot, for the loader's operations that take one
    // How far a long operation has come, 0 to 100. May be empty.
    std::function<void(uint32_t percent)> progress;
    // What the operation is waiting for ("restarting: 12 s left"); empty text when that is over.
    // May be empty.
    std::function<void(const std::string &what)> activity;
};

struct outcome {
    status_t status = loader::status::ok;
    std::string message; // for a tool status: what went wrong
    nlohmann::ordered_json data = nlohmann::ordered_json::object(); // the --json result
    std::string text;                                                // the same for a person
    // What the production record adds for this operation (the firmware file, for program).
    nlohmann::ordered_json record = nlohmann::ordered_json::object();
    // The serial number the controller has after the operation, when the operation set it.
    std::string serial_written;
};

struct command {
    std::string name; // as the production record names it: "program", "mfg write"
    std::function<void(session &, outcome &)> run;
    // Why the command cannot run on several controllers at once; empty when it can.
    std::string single_only;
};

// Each make_* checks its arguments: false, with message saying which and why, when one is
// refused. Nothing has touched a controller by then.
command make_status_command();
command make_info_command();
command make_echo_command();
command make_diag_command();
bool make_reset_command(const std::string &target, const controller_choice &choice,
                        command &result, std::string &message);

struct block_request {
    std::string address;
    std::string length;
    std::string data;
    std::string file;
};
bool make_block_read_command(bool eeprom, const block_request &request, command &result,
                             std::string &message);
bool make_block_write_command(bool eeprom, const block_request &request, command &result,
                              std::string &message);

bool make_program_command(const std::string &path, command &result, std::string &message);

enum class block_kind { manufacturing, configuration, lighthead };
command make_show_command(block_kind kind);

// Each field empty when not given: the controller's value stays.
struct mfg_request {
    std::string serial_number;
    std::string mac;
    std::string ip;
    std::string part;
    std::string eco;
    std::string limit_48v; // "on", "off" or empty
};
bool make_mfg_write_command(const mfg_request &request, command &result, std::string &message);

struct config_request {
    std::string trigger, edge, differential_1, differential_2, width, delay, current,
        supply_overhead, initial_led_temperature, mode, slew;
};
bool make_config_write_command(const config_request &request, command &result,
                               std::string &message);

// The editor's row texts, by option: a row left out keeps the controller's value.
struct lighthead_request {
    std::array<std::string, loader::lighthead_rows> texts;
    std::array<std::string, loader::lighthead_rows> options; // the option of each row
    std::string part_number;
    bool part_number_given = false;
};
bool make_lighthead_write_command(const lighthead_request &request, command &result,
                                  std::string &message);

bool make_setting_command(setting_verb verb, const std::string &name,
                          const std::vector<std::string> &args, command &result,
                          std::string &message);


} // namespace vortlink::ctl
