/* A user's program against a running quorrel-sim: connects over TCP, prints the library's
 * version word as the loader shows it and the controller's status word, and names a status code
 * from the catalogue installed with the library. Only the public header is used. */
#include <stdio.h>

#include <vortlink.h>

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: sim_client HOST\n");
        return 2;
    }
    const uint16_t version = tkcmdset_get_dll_version();
    printf("library %u.%02u\n", version >> 8, version & 0xFFu);

    uint16_t status_word = 0;
    int16_t rc = tkcmdset_connect(0, 0, argv[1]);
    if (rc == 0)
        rc = tkcmdset_status(0, &status_word);
    if (rc != 0) {
        char name[64];
        tkcmdset_get_error_name(rc, name, sizeof name);
        fprintf(stderr, "ERROR (%d) : %s\n", rc, name);
        return 1;
    }
    printf("status word 0x%04X\n", status_word);

    char name[64];
    tkcmdset_get_error_name(TKCMDSET_REPLY_TIMEOUT, name, sizeof name);
    printf("catalogue -10803: %s\n", name);
    return 0;
}
