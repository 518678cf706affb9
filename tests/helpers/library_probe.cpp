// A separate process that has libvortlink.so loaded: prints the catalogue name of each code
// given on the command line ("<code> <name>" per line), then, with --hold, keeps the library
// loaded until its standard input closes.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "vortlink.h"

int main(int argc, char **argv) {
    bool hold = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--hold") == 0) {
            hold = true;
            continue;
        }
        const auto code = static_cast<int16_t>(std::atoi(argv[i]));
        char name[128];
        tkcmdset_get_error_name(code, name, sizeof name);
        std::printf("%d %s\n", code, name);
    }
    std::printf("loaded\n");
    std::fflush(stdout);
    if (hold) {
        char discard[64];
        while (std::fread(discard, 1, sizeof discard, stdin) > 0) {
        }
    }
    return 0;
}
