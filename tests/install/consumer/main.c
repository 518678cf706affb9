/* A user's program: includes only the public header and links the installed library. */
#include <stdio.h>
#include <string.h>

#include <vortlink.h>

int main(void) {
    char name[64];
    uint16_t status_word = 0;
    if (tkcmdset_get_dll_version() == 0)
        return 1;
    /* Slot 50 is refused before anything else happens. */
    if (tkcmdset_status(50, &status_word) != TKCMDSET_BAD_SLOT)
        return 1;
    /* The catalogue installed with the library answers even without one in the working dir. */
    tkcmdset_get_error_name(TKCMDSET_LOCK_BUSY, name, sizeof name);
    if (strcmp(name, "Device Busy") != 0) {
        fprintf(stderr, "catalogue name: %s\n", name);
        return 1;
    }
    puts("consumer ok");
    return 0;
}
