// Writes the error catalogue "ecodes.ini" from the status table, so that the shipped catalogue
// and the codes in the code can never disagree.

#include <cstdio>

#include "core/status_table.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT\n", argv[0]);
        return 2;
    }
    std::FILE *out = std::fopen(argv[1], "w");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    std::fprintf(out, "; Error catalogue of the Quorrel controller library and QuorrelLoader.\n"
                      "; One section per status code: Name is a short name, Text tells what\n"
                      "; happened and what to do about it.\n");
    const char *headings[] = {"Library codes", "QuorrelLoader codes", "Controller error numbers"};
    int last_origin = -1;
    for (const vortlink::status_entry &entry : vortlink::status_table()) {
        const int origin = static_cast<int>(entry.origin);
        if (origin != last_origin) {
            std::fprintf(out, "\n; ---- %s ----\n", headings[origin]);
            last_origin = origin;
        }
        std::fprintf(out, "\n[%d]\nName=%s\nText=%s\n", entry.code, entry.name, entry.text);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
