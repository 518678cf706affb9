#include "support/user_settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vortlink::test {

void write_user_settings(uint16_t port, const std::string &leading_lines) {
    const std::string directory = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Kestrova/Quorrel";
    std::filesystem::create_directories(directory);
    std::ofstream out(directory + "/Command Set Toolkit.conf", std::ios::trunc);
    char line[64];
    std::snprintf(line, sizeof line, "TCP Port=dword:%08x\n", port);
    out << leading_lines << line;
}

} // namespace vortlink::test
