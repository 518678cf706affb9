#pragma once
// Runs a prepared command on one controller or on a gang of them, shows what happens and gives
// the exit status: 0 when every controller did what was asked, 1 when any failed, 2 when the
// input was refused.

#include <vector>

#include "operations.h"
#include "production_log.h"

namespace vortlink::ctl {

struct run_settings {
    bool json = false;
    production_log *log = nullptr; // null: no production record
};

// One controller: its output as the command gives it, failures on standard error.
int run_single(const command &what, const controller_choice &where, const run_settings &settings);

// Every controller in its own slot and thread at once. On a terminal one progress line per
// controller, otherwise lines led by the controller's name; a summary table at the end. With
// --json one JSON object per controller per line, as each finishes.
int run_gang(const command &what, const std::vector<controller_choice> &targets,
             const run_settings &settings);

// A usage error's message on standard error; returns 2.
int usage_failure(const std::string &message);

} // namespace vortlink::ctl
