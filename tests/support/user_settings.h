#pragma once
// The user's settings where the library looks for them, written afresh with the simulator's TCP
// port: the settings file under XDG_CONFIG_HOME (which every test program gets a private one of)
// on Linux, the library's registry key on Windows.

#include <cstdint>
#include <string>

namespace vortlink::test {

// The port value comes after leading_lines, which are whole "Name=value" lines ending in "\n"
// (string values).
void write_user_settings(uint16_t port, const std::string &leading_lines = "");

} // namespace vortlink::test
