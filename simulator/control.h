#pragma once
// The control port's command language; see control.cpp for the commands and their replies.

#include <string>
#include <string_view>

#include "device.h"

namespace vortlink::sim {

// Longest command line the control port takes, without its line end.
inline constexpr std::size_t control_line_limit = 16384;

// Carries out one command line (without its line end) and returns the reply line, also without
// its line end: "ok ..." or "error <reason>". `devices` holds at least one controller; `clients`
// are the TCP clients of the first.
std::string run_control_command(std::string_view line, device_list &devices,
                                client_registry &clients);

} // namespace vortlink::sim
