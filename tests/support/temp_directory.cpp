#include "support/temp_directory.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace vortlink::test {

// A directory of its own under the working directory: created, never found (Windows has no
// mkdtemp, so the name is drawn until one is new).
temp_directory::temp_directory() {
    std::random_device source;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[16];
        std::snprintf(name, sizeof name, "tmp-%08x", static_cast<unsigned>(source()));
        const std::filesystem::path candidate = std::filesystem::current_path() / name;
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            std::filesystem::permissions(candidate, std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::replace, error);
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("no temporary directory could be made");
}

temp_directory::~temp_directory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

} // namespace vortlink::test
