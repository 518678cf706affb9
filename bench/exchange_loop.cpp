// Runs one kind of exchange a given number of times against a running quorrel-sim, and nothing
// else, so that `strace -c -f` on it counts the system calls of the exchanges themselves.
// scripts/bench runs it twice (with 0 and with N exchanges) and reports the difference per
// exchange.
//
//   exchange_loop tcp PORT COUNT       status exchanges over TCP to 127.0.0.1:PORT
//   exchange_loop usb SOCKET COUNT     status exchanges with the first simulated USB controller

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/settings.h"
#include "vortlink.h"

int main(int argc, char **argv) {
    if (argc != 4 || (std::strcmp(argv[1], "tcp") != 0 && std::strcmp(argv[1], "usb") != 0)) {
        std::fprintf(stderr, "usage: %s tcp PORT COUNT | usb SOCKET COUNT\n", argv[0]);
        return 2;
    }
    const long count = std::strtol(argv[3], nullptr, 10);
    int16_t result = 0;
    if (std::strcmp(argv[1], "tcp") == 0) {
        using namespace vortlink;
        const auto port = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
        if (open_settings_key(library_settings_key) != status::ok ||
            write_setting_dword("TCP Port", port) != status::ok) {
            std::fprintf(stderr, "cannot write the \"TCP Port\" setting\n");
            return 1;
        }
        result = tkcmdset_connect(0, 0, "127.0.0.1");
    } else {
        setenv("VORTLINK_HID_SIM", argv[2], 1);
        result = tkcmdset_init_ex(0, TKCMDSET_PRODUCT_NAME, nullptr);
    }
    if (result != 0) {
        std::fprintf(stderr, "cannot open the controller: %d\n", result);
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        uint16_t word = 0;
        if ((result = tkcmdset_status(0, &word)) != 0) {
            std::fprintf(stderr, "status exchange %ld failed: %d\n", i, result);
            return 1;
        }
    }
    return 0;
}
