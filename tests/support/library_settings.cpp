#include "support/library_settings.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace vortlink::test {

void store_library_settings(uint16_t tcp_port) {
    const std::string directory = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Kestrova/Quorrel";
    std::filesystem::create_directories(directory);
    std::ofstream out(directory + "/Command Set Toolkit.conf", std::ios::trunc);
    char line[64];
    std::snprintf(line, sizeof line, "TCP Port=dword:%08x\n", tcp_port);
    out << "ErrorCodesFile=.\\ecodes.ini\n" << line;
}

} // namespace vortlink::test
