#pragma once
// get, set and calc: one line per setting command of the library, each taking its arguments in
// the order the library does.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/status.h"
#include "vortlink.hpp"

namespace vortlink::ctl {

using loader::status_t;

enum class setting_verb { get, set, calc };

// Runs one prepared command on a controller; out receives the values a get or calc returns, by
// name. A failure throws vortlink::error.
using setting_runner = std::function<void(vortlink::controller &, nlohmann::ordered_json &out)>;

// Reads the arguments of the named command, all before any exchange. False, with message saying
// which argument and why (or which name is unknown and the nearest known one), when they do not
// all parse.
bool prepare_setting(setting_verb verb, const std::string &name,
                     const std::vector<std::string> &args, setting_runner &run,
                     std::string &message);

// "name: value unit" lines of what a get or calc returned.
std::string setting_rows_text(const nlohmann::ordered_json &values);

// The names each verb knows, for --help.
std::string setting_names(setting_verb verb);

} // namespace vortlink::ctl
