#pragma once
// The control port's commands for the controller model: restarts, the programmed firmware, the
// Ethernet processor, self-test verdicts and input levels (documented in control.cpp's list).

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "controller.h"

namespace vortlink::sim {

// The controller a DEV word names, or null when there is none.
using controller_lookup = std::function<controller *(std::string_view device_word)>;

// Carries out one of the model's commands; nullopt when `name` is none of them.
std::optional<std::string> run_model_command(std::string_view name,
                                             std::span<const std::string_view> arguments,
                                             const controller_lookup &lookup);

// The command names, blank-separated, for the help reply.
extern const char model_command_names[];

} // namespace vortlink::sim
