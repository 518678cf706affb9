#pragma once
// get, set and calc: one line per setting command of the library, each taking its arguments in
// the order the library does.

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/status.h"

namespace vortlink::ctl {

using loader::status_t;

enum class setting_verb { get, set, calc };

// Given to the caller when the name is unknown or an argument does not parse; message says why.
inline constexpr status_t setting_usage = -30010;

// Runs the named command. out receives the values a get or calc returns, by name.
status_t run_setting(setting_verb verb, uint8_t slot, const std::string &name,
                     const std::vector<std::string> &args, nlohmann::ordered_json &out,
                     std::string &message);

// The names each verb knows, for --help.
std::string setting_names(setting_verb verb);

} // namespace vortlink::ctl
