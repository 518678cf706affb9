#pragma once
// S-record files made by a real tool: srec_cat from Debian's srecord package (scripts/test
// installs it), converting known binaries.

#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_directory.h"

namespace vortlink::test {

// The srec_cat on PATH; empty (and the test failed) when there is none.
inline std::string find_srec_cat() {
    const char *path = std::getenv("PATH");
    std::stringstream directories(path != nullptr ? path : "");
    for (std::string directory; std::getline(directories, directory, ':');) {
        const std::string candidate = directory + "/srec_cat";
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    ADD_FAILURE() << "srec_cat is not on PATH: install Debian's srecord package (scripts/test "
                     "does)";
    return {};
}

// Bytes that are the same on every run.
inline std::vector<uint8_t> known_bytes(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(count);
    for (auto &byte : bytes)
        byte = static_cast<uint8_t>(generator());
    return bytes;
}

// Writes bytes to `binary` and converts them, placed at offset, into the Motorola S-record file
// `binary`.srec with the extra srec_cat options (e.g. "-address-length=3", "-obs=16"). Returns
// the S-record file's path.
inline std::string srec_cat_convert(const std::string &binary, const std::vector<uint8_t> &bytes,
                                    uint32_t offset, const std::vector<std::string> &options) {
    const std::string srec_cat = find_srec_cat();
    if (srec_cat.empty())
        return {};
    write_file(binary, std::string(bytes.begin(), bytes.end()));
    const std::string output = binary + ".srec";
    std::vector<std::string> args = {
        srec_cat, binary, "-binary", "-offset", std::to_string(offset), "-o", output, "-motorola"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    int wait_status = 0;
    EXPECT_EQ(posix_spawn(&pid, srec_cat.c_str(), nullptr, nullptr, argv.data(), environ), 0);
    EXPECT_EQ(waitpid(pid, &wait_status, 0), pid);
    EXPECT_TRUE(WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == 0) << "srec_cat failed";
    return output;
}

} // namespace vortlink::test
