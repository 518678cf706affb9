#pragma once
// The controllers the global options name, and running a prepared command on them.

#include <functional>
#include <string>
#include <vector>

#include "operations.h"

namespace vortlink::ctl {

// The options before (or after) the command word that choose controllers and output.
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

// Prepares a command for the chosen controllers: false, with message, when an argument is
// refused.
using command_preparer = std::function<bool(const std::vector<controller_choice> &targets,
                                            command &chosen, std::string &message)>;

// Resolves the controllers, prepares the command and runs it on one controller or a gang,
// writing the production record when --log asks for it. Returns the exit status.
int run_on_controllers(const global_options &global, const command_preparer &prepare);

} // namespace vortlink::ctl
