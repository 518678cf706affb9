#pragma once
// quorrelctl's commands, each registered from one table row: its name, its help, and a
// function that adds its options and gives back what runs it once the line is parsed.

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "targets.h"

namespace vortlink::ctl {

// Runs a parsed command; returns the exit status.
using command_handler = std::function<int(const global_options &)>;

struct subcommand {
    const char *name;
    const char *help;
    // Adds the command's options (and subcommands) to its parser.
    command_handler (*add)(CLI::App &parser);
};

// In the order --help lists them.
const std::vector<subcommand> &subcommands();

// An unknown command word of the line named, with the nearest known one; empty when the words
// are known. The parser's own message for it ("A subcommand is required") does not say what was
// wrong.
std::string unknown_command_message(const CLI::App &app, int argc, char **argv);

} // namespace vortlink::ctl
