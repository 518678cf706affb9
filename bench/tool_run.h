#pragma once
// Runs a command-line tool of the build tree as a production line does: its own process, its
// standard output thrown away, timed from start to exit.

#include <chrono>
#include <string>
#include <vector>

#include "support/spawned_program.h"

namespace vortlink::bench {

// The program's pid, or -1 when it could not be started.
inline pid_t spawn_tool(const std::string &program, const std::vector<std::string> &args) {
    return test::spawn_program(program, args, "/dev/null");
}

// Its exit status, or -1 when it did not exit normally.
inline int reap(pid_t pid) { return test::wait_for_exit(pid); }

// Milliseconds one run takes; negative when it failed.
inline double timed_run(const std::string &program, const std::vector<std::string> &args) {
    const auto start = std::chrono::steady_clock::now();
    const int status = reap(spawn_tool(program, args));
    const std::chrono::duration<double, std::milli> elapsed =
        std::chrono::steady_clock::now() - start;
    return status == 0 ? elapsed.count() : -1;
}

} // namespace vortlink::bench
