#pragma once
// The user's settings file where the library looks for it (under XDG_CONFIG_HOME, which every
// test program gets a private one of), written afresh with the simulator's TCP port.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vortlink::test {

// The port line comes after leading_lines, which are whole lines ending in "\n".
inline void write_user_settings(uint16_t port, const std::string &leading_lines = "") {
    const std::string directory = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Kestrova/Quorrel";
    std::filesystem::create_directories(directory);
    std::ofstream out(directory + "/Command Set Toolkit.conf", std::ios::trunc);
    char line[64];
    std::snprintf(line, sizeof line, "TCP Port=dword:%08x\n", port);
    out << leading_lines << line;
}

} // namespace vortlink::test
