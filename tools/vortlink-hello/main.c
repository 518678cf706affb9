/* Connects to a controller over TCP and prints the library version and the status word: the
 * first thing to try against a new controller or the simulator. Uses only the public header of
 * the library (and the tools' own helper that makes catalogue texts safe to print). */
#include <stdio.h>
#include <string.h>

#include "common/printable_text.h"
#include "vortlink.h"

static void print_failure(const char *what, int16_t code) {
    char name[64];
    char text[1024];
    char shown_name[VORTLINK_PRINTABLE_SIZE(sizeof name)];
    char shown_text[VORTLINK_PRINTABLE_SIZE(sizeof text)];
    tkcmdset_get_error_name(code, name, sizeof name);
    tkcmdset_get_error_text(code, text, sizeof text);
    vortlink_printable_text(name, strlen(name), 0, shown_name, sizeof shown_name);
    vortlink_printable_text(text, strlen(text), 0, shown_text, sizeof shown_text);
    fprintf(stderr, "%s: ERROR (%d) : %s\n%s\n", what, code, shown_name, shown_text);
}

int main(int argc, char **argv) {
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        puts("vortlink-hello " VORTLINK_HELLO_VERSION);
        return 0;
    }
    if (argc != 2) {
        fprintf(stderr, "usage: %s HOST\n       %s --version\n", argv[0], argv[0]);
        return 2;
    }
    const uint16_t version = tkcmdset_get_dll_version();
    printf("vortlink library version %u.%02u\n", version >> 8, version & 0xFFu);

    int16_t result = tkcmdset_connect(0, 0, argv[1]);
    if (result != 0) {
        print_failure("connect", result);
        return 1;
    }
    uint16_t status_word = 0;
    result = tkcmdset_status(0, &status_word);
    if (result != 0) {
        print_failure("status", result);
        return 1;
    }
    printf("controller at %s: status word 0x%04X\n", argv[1], status_word);
    return 0;
}
