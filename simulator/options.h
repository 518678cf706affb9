#pragma once
// quorrel-sim's command line.

#include <cstdint>
#include <string>

#include "controller.h"

namespace vortlink::sim {

struct options {
    uint16_t tcp_port = 0;
    std::string bind_address = "127.0.0.1";
    uint16_t control_port = 0;
    controller_settings controller;
};

enum class parse_outcome { run, help, invalid };

// On `invalid`, `error` says what was wrong.
parse_outcome parse_options(int argc, const char *const *argv, options &parsed, std::string &error);

extern const char usage_text[];

} // namespace vortlink::sim
