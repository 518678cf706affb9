#include "core/status_table.h"

#include "vortlink.h"

namespace vortlink {

namespace {
constexpr status_entry entries[] = {
#define LIBRARY_CODE(name, code, title, text) {code, code_origin::library, title, text},
#define UTILITY_CODE(name, code, title, text) {code, code_origin::utility, title, text},
#define CONTROLLER_CODE(name, code, title, text) {code, code_origin::controller, title, text},
#include "core/status_codes.inc"
};
} // namespace

std::span<const status_entry> status_table() { return entries; }

const status_entry *find_status(int16_t code) {
    for (const status_entry &entry : entries)
        if (entry.code == code)
            return &entry;
    return nullptr;
}

} // namespace vortlink
