// A separate program that has libvortlink.so loaded: connects slot 0 to the given host (port
// from its user's settings), reads the status word and prints both results on one line.

#include <cstdio>

#include "vortlink.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: status_probe HOST\n");
        return 2;
    }
    const int16_t connected = tkcmdset_connect(0, 0, argv[1]);
    uint16_t word = 0;
    const int16_t status = connected == TKCMDSET_OK ? tkcmdset_status(0, &word) : connected;
    std::printf("connect %d status %d word %u\n", connected, status, word);
    return 0;
}
