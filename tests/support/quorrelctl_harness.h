#pragma once
// Running the real quorrelctl from an end-to-end test, as a user runs it.

#include <sys/wait.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/user_settings.h"

namespace vortlink::test::quorrelctl_harness {

struct run_result {
    int exit_status = -1;
    std::string out;
    std::string err;
};

inline std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string quoted(const std::string &arg) {
    std::string text = "'";
    for (char c : arg)
        text += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return text + "'";
}

// Runs quorrelctl with the arguments, standard output and error going to files in the working
// directory (the test's own), and gives back both and the exit status. A run that hangs is
// ended after a minute and gives 124.
inline run_result quorrelctl(const std::vector<std::string> &args) {
    std::string command = "timeout -k 5 60 " + quoted(QUORRELCTL_PATH);
    for (const auto &arg : args)
        command += ' ' + quoted(arg);
    command += " >ctl.out 2>ctl.err </dev/null";
    const int status = std::system(command.c_str());
    run_result result;
    if (status != -1 && WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    result.out = slurp("ctl.out");
    result.err = slurp("ctl.err");
    return result;
}

inline void write_tcp_port(uint16_t port) { write_user_settings(port); }

} // namespace vortlink::test::quorrelctl_harness
