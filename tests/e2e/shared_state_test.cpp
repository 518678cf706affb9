// Two local users: an intruder plants and locks every name under which a victim's programs keep
// their shared state. The victim's programs must neither hang nor fail: with a runtime directory
// they never meet the intruder's objects, without one they run on state of their own.
// Needs root, to play both users.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/simulator_process.h"

namespace {

constexpr uid_t victim = 65534;
constexpr uid_t intruder = 65533;
const std::string probe_path = VORTLINK_TEST_BINARY_DIR "/status_probe";
const std::string victim_objects[] = {"/dev/shm/vortlink-65534", "/dev/shm/vortlink-65534.init"};

bool become(uid_t user) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(user) == 0 && ::setuid(user) == 0;
}

struct run_result {
    bool finished = false;
    long elapsed_ms = 0;
    std::string out;
    std::string err;
};

// Runs the probe as the victim with exactly this environment, killing it after limit_ms.
run_result run_as_victim(const std::string &directory, const std::vector<std::string> &environment,
                         int limit_ms) {
    run_result result;
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        return result;
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        if (!become(victim) || ::chdir(directory.c_str()) != 0)
            ::_exit(120);
        std::vector<char *> envp;
        for (const std::string &entry : environment)
            envp.push_back(const_cast<char *>(entry.c_str()));
        envp.push_back(nullptr);
        char *argv[] = {const_cast<char *>(probe_path.c_str()), const_cast<char *>("127.0.0.1"),
                        nullptr};
        ::execve(probe_path.c_str(), argv, envp.data());
        ::_exit(121);
    }
    ::close(out[1]);
    ::close(err[1]);
    pollfd streams[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string *texts[2] = {&result.out, &result.err};
    int open_streams = 2;
    const auto deadline = start + std::chrono::milliseconds(limit_ms);
    while (open_streams > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(streams, 2, static_cast<int>(left.count())) <= 0)
            break;
        for (int i = 0; i < 2; ++i) {
            if (streams[i].fd < 0 || streams[i].revents == 0)
                continue;
            char buffer[512];
            const ssize_t got = ::read(streams[i].fd, buffer, sizeof buffer);
            if (got <= 0) {
                ::close(streams[i].fd);
                streams[i].fd = -1;
                --open_streams;
            } else {
                texts[i]->append(buffer, static_cast<std::size_t>(got));
            }
        }
    }
    int status = 0;
    if (open_streams > 0)
        ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    result.elapsed_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start)
                                              .count());
    result.finished = open_streams == 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    for (pollfd &stream : streams)
        if (stream.fd >= 0)
            ::close(stream.fd);
    return result;
}

class TwoUsers : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root to run processes as uid " << victim << " and " << intruder;
        char base_template[] = "/tmp/vortlink-two-users-XXXXXX";
        ASSERT_NE(nullptr, ::mkdtemp(base_template));
        base = base_template;
        ASSERT_EQ(0, ::chmod(base.c_str(), 0755));
        for (const char *directory : {"/run", "/config/Kestrova/Quorrel", "/work"})
            std::filesystem::create_directories(base + directory);
        std::ofstream settings(base + "/config/Kestrova/Quorrel/Command Set Toolkit.conf");
        char line[64];
        std::snprintf(line, sizeof line, "TCP Port=dword:%08x\n", sim.tcp_port());
        settings << line;
        settings.close();
        for (const char *path : {"/run", "/config", "/config/Kestrova", "/config/Kestrova/Quorrel",
                                 "/config/Kestrova/Quorrel/Command Set Toolkit.conf", "/work"})
            ASSERT_EQ(0, ::chown((base + path).c_str(), victim, victim)) << path;
        ASSERT_EQ(0, ::chmod((base + "/run").c_str(), 0700));
        for (const std::string &object : victim_objects)
            ::unlink(object.c_str()); // left by an earlier run of this test
        start_intruder();
    }

    void TearDown() override {
        if (intruder_pid > 0) {
            ::close(gate_writer);
            int status = 0;
            ::waitpid(intruder_pid, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "intruder step " << WEXITSTATUS(status);
        }
        for (const std::string &object : victim_objects)
            ::unlink(object.c_str());
        if (!base.empty())
            std::filesystem::remove_all(base);
    }

    // The intruder creates the victim's names in /dev/shm, open to everybody, holds an exclusive
    // flock on each, tries the victim's runtime directory too, and stays until the test ends.
    void start_intruder() {
        int ready[2];
        int gate[2];
        ASSERT_EQ(0, ::pipe2(ready, O_CLOEXEC));
        ASSERT_EQ(0, ::pipe2(gate, O_CLOEXEC));
        intruder_pid = ::fork();
        if (intruder_pid == 0) {
            ::close(ready[0]);
            ::close(gate[1]);
            if (!become(intruder))
                ::_exit(1);
            for (const std::string &object : victim_objects) {
                const int fd = ::open(object.c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
                if (fd < 0 || ::fchmod(fd, 0666) != 0 || ::flock(fd, LOCK_EX) != 0)
                    ::_exit(2);
            }
            const std::string in_runtime = base + "/run/vortlink-65534.init";
            if (::open(in_runtime.c_str(), O_RDWR | O_CREAT, 0666) >= 0 || errno != EACCES)
                ::_exit(3);
            char byte = 1;
            if (::write(ready[1], &byte, 1) != 1)
                ::_exit(4);
            pollfd wait_for_end{gate[0], POLLIN, 0};
            ::poll(&wait_for_end, 1, 120000);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(gate[0]);
        gate_writer = gate[1];
        char byte = 0;
        pollfd planted{ready[0], POLLIN, 0};
        ASSERT_EQ(1, ::poll(&planted, 1, 10000));
        ASSERT_EQ(1, ::read(ready[0], &byte, 1)) << "the intruder could not plant its objects";
        ::close(ready[0]);
    }

    std::vector<std::string> environment(bool with_runtime_directory) const {
        std::vector<std::string> entries{
            "HOME=" + base + "/work", "XDG_CONFIG_HOME=" + base + "/config", "PATH=/usr/bin:/bin"};
        if (with_runtime_directory)
            entries.push_back("XDG_RUNTIME_DIR=" + base + "/run");
        for (const char *name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"})
            if (const char *value = std::getenv(name))
                entries.push_back(std::string(name) + "=" + value);
        return entries;
    }

    vortlink::test::simulator_process sim{{"--status-word", "0x1234"}};
    std::string base;
    pid_t intruder_pid = -1;
    int gate_writer = -1;
};

} // namespace

TEST_F(TwoUsers, VictimWithARuntimeDirectoryNeverMeetsThePlantedObjects) {
    const run_result run = run_as_victim(base + "/work", environment(true), 10000);
    ASSERT_TRUE(run.finished) << "stdout: " << run.out << " stderr: " << run.err;
    EXPECT_EQ(run.out, "connect 0 status 0 word 4660\n");
    EXPECT_EQ(run.err, "") << "the runtime directory is safe: nothing to report";
    EXPECT_TRUE(std::filesystem::is_empty(base + "/run")) << "the last process removed its objects";
    for (const std::string &object : victim_objects)
        EXPECT_EQ(std::filesystem::file_size(object), 0u) << object << " was used";
}

TEST_F(TwoUsers, VictimWithoutARuntimeDirectoryRunsOnStateOfItsOwnWithoutHanging) {
    const run_result run = run_as_victim(base + "/work", environment(false), 5000);
    ASSERT_TRUE(run.finished) << "still running after " << run.elapsed_ms
                              << " ms; stdout: " << run.out << " stderr: " << run.err;
    EXPECT_LT(run.elapsed_ms, 5000);
    EXPECT_EQ(run.out, "connect 0 status 0 word 4660\n");
    // One line, naming the object it could not use.
    EXPECT_NE(run.err.find("/dev/shm/vortlink-65534"), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    for (const std::string &object : victim_objects)
        EXPECT_EQ(std::filesystem::file_size(object), 0u) << object << " was used";
}
