#pragma once
// Every status code this system raises or knows from the controller, with the name and the
// explanation that the shipped error catalogue gives for it. The catalogue file is generated
// from this table.

#include <cstddef>
#include <cstdint>
#include <span>

namespace vortlink {

enum class code_origin { library, utility, controller };

struct status_entry {
    int16_t code;
    code_origin origin;
    const char *name; // short name ("Name" in the catalogue)
    const char *text; // what happened and what to do ("Text" in the catalogue)
};

std::span<const status_entry> status_table();

// Null when the table has no such code.
const status_entry *find_status(int16_t code);

} // namespace vortlink
