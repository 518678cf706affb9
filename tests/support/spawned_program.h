#pragma once
// Starting a program of the build tree in a process of its own, the way a shell or a production
// line starts it, with its standard output (and error) going to files.

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include <string>
#include <vector>

extern char **environ;

namespace vortlink::test {

// The program's pid, or -1 when it could not be started. The files are created or emptied;
// without err_path, standard error stays the caller's.
inline pid_t spawn_program(const std::string &program, const std::vector<std::string> &args,
                           const char *out_path, const char *err_path = nullptr) {
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &arg : all)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path,
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (err_path != nullptr)
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path,
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// Its exit status once it ended, or -1 when it was not started or did not exit normally.
inline int wait_for_exit(pid_t pid) {
    int status = 0;
    if (pid < 0)
        return -1;
    while (::waitpid(pid, &status, 0) != pid)
        if (errno != EINTR)
            return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs the program to its end, its output discarded, and gives its exit status as above.
inline int run_to_exit(const std::string &program, const std::vector<std::string> &args) {
    return wait_for_exit(spawn_program(program, args, "/dev/null", "/dev/null"));
}

} // namespace vortlink::test
