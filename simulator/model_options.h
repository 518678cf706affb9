#pragma once
// The controller model's command-line options (EEPROM at start, boot loader, restarts,
// diagnostics, state files); options.cpp hands them over.

#include <string>
#include <string_view>

#include "controller.h"

namespace vortlink::sim {

// Options without a value: --erased, --boot-loader, --no-lighthead.
bool is_model_flag(std::string_view name);
void set_model_flag(std::string_view name, controller_settings &settings);

// Options with a value: --state, --restart-delay, --ethernet-restart, --fail-diag.
bool is_model_option(std::string_view name);
// False with `error` set when the value is wrong. --state makes the directory when it is
// missing, so that a directory that cannot be used is refused before anything starts.
bool parse_model_option(std::string_view name, std::string_view value,
                        controller_settings &settings, std::string &error);

} // namespace vortlink::sim
