// What loading the library does, seen from separate processes: the working directory recorded
// by the first process, the settings created at load, and the catalogue found from anywhere.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "support/shared_name.h"
#include "support/temp_directory.h"
#include "vortlink.h"

extern char **environ;

namespace {

using vortlink::test::shared_name_scope;
using vortlink::test::temp_directory;
using vortlink::test::write_file;

const std::string probe_path = VORTLINK_TEST_BINARY_DIR "/library_probe";

// A library_probe process in its own working directory. Its output is read line by line.
class probe {
  public:
    probe(const std::string &directory, std::initializer_list<const char *> args) {
        int to_child[2];
        int from_child[2];
        if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
        posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        std::vector<char *> argv{const_cast<char *>(probe_path.c_str())};
        for (const char *arg : args)
            argv.push_back(const_cast<char *>(arg));
        argv.push_back(nullptr);
        const int spawned = posix_spawn(&pid_, probe_path.c_str(), &actions, nullptr,
                                        argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(to_child[0]);
        close(from_child[1]);
        if (spawned != 0)
            throw std::runtime_error("posix_spawn");
        input_ = to_child[1];
        output_ = fdopen(from_child[0], "r");
    }
    ~probe() { finish(); }

    std::string line() {
        char buffer[512];
        if (std::fgets(buffer, sizeof buffer, output_) == nullptr)
            return {};
        std::string text = buffer;
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text;
    }

    // Lets a holding probe unload the library and end; returns its exit status.
    int finish() {
        if (pid_ < 0)
            return exit_status_;
        close(input_);
        std::fclose(output_);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return exit_status_;
    }

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    FILE *output_ = nullptr;
    int exit_status_ = -1;
};

// The probes get a shared segment and a settings directory of their own, apart from this test
// program's (which has the library loaded too).
class LibraryLoad : public ::testing::Test {
  protected:
    void SetUp() override {
        shared_name.emplace(::testing::UnitTest::GetInstance()->current_test_info()->name());
        setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    }
    void TearDown() override { shared_name.reset(); }

    std::string settings_file() const {
        return config.path() + "/Kestrova/Quorrel/Command Set Toolkit.conf";
    }

    static std::string read(const std::string &path) {
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::optional<shared_name_scope> shared_name;
    temp_directory config;
    temp_directory first_directory;
    temp_directory second_directory;
};

} // namespace

TEST_F(LibraryLoad, LaterProcessesUseTheFirstLoadersDirectoryUntilAllHaveUnloaded) {
    write_file(first_directory.file("ecodes.ini"), "[-10202]\nName=From the first\n");
    write_file(second_directory.file("ecodes.ini"), "[-10202]\nName=From the second\n");

    probe first(first_directory.path(), {"--hold", "-10202"});
    EXPECT_EQ(first.line(), "-10202 From the first");
    {
        probe second(second_directory.path(), {"-10202"});
        EXPECT_EQ(second.line(), "-10202 From the first");
        EXPECT_EQ(second.finish(), 0);
    }
    EXPECT_EQ(first.finish(), 0);

    probe third(second_directory.path(), {"-10202"});
    EXPECT_EQ(third.line(), "-10202 From the second");
}

TEST_F(LibraryLoad, CreatesTheCatalogueSettingAndKeepsAnExistingOne) {
    {
        probe first(first_directory.path(), {});
        EXPECT_EQ(first.line(), "loaded");
    }
    EXPECT_NE(read(settings_file()).find("ErrorCodesFile=.\\ecodes.ini"), std::string::npos);

    write_file(settings_file(), "ErrorCodesFile=/opt/line4/codes.ini\nTCP Port=dword:00000457\n");
    {
        probe second(first_directory.path(), {});
        EXPECT_EQ(second.line(), "loaded");
    }
    EXPECT_EQ(read(settings_file()),
              "ErrorCodesFile=/opt/line4/codes.ini\nTCP Port=dword:00000457\n");
}

TEST_F(LibraryLoad, DirectoryWithoutCatalogueFallsBackToTheOneShippedWithTheLibrary) {
    probe lone(first_directory.path(), {"-10202", "-10803", "-12", "-10307", "31000"});
    EXPECT_EQ(lone.line(), "-10202 Device Busy");
    EXPECT_EQ(lone.line(), "-10803 Network Reply Timeout");
    EXPECT_EQ(lone.line(), "-12 Power Supply Fault");
    EXPECT_EQ(lone.line(), "-10307 File Not Open");
    EXPECT_EQ(lone.line(), "31000 Unknown Error");
}

TEST_F(LibraryLoad, ExplicitCatalogueSettingHasNoFallback) {
    std::filesystem::create_directories(config.path() + "/Kestrova/Quorrel");
    write_file(settings_file(), "ErrorCodesFile=.\\special.ini\n");
    probe lone(first_directory.path(), {"-10202"});
    EXPECT_EQ(lone.line(), "-10202 Unknown Error");
}
