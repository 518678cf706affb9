#include "core/platform/settings_file.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_directory.h"

namespace vortlink::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char *toolkit_key = "Software\\Kestrova\\Quorrel\\Command Set Toolkit";

std::string read_text(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_text(const fs::path &path, const std::string &text) {
    test::write_file(path.string(), text);
}

// Saves an environment variable and puts it back when the test ends.
class saved_variable {
  public:
    explicit saved_variable(const char *name) : name_(name) {
        if (const char *value = std::getenv(name))
            value_ = value;
    }
    ~saved_variable() {
        if (value_)
            setenv(name_, value_->c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char *name_;
    std::optional<std::string> value_;
};

class SettingsFileTest : public testing::Test {
  protected:
    test::temp_directory directory;
    fs::path root = directory.path();
    std::string file = directory.file("Settings.conf");

    std::optional<setting_value> read(std::string_view name) {
        return read_setting_value(file, name);
    }
    bool write_string(std::string_view name, const std::string &text) {
        setting_value value;
        value.text = text;
        return write_setting_value(file, name, value);
    }
    bool write_dword(std::string_view name, uint32_t number) {
        setting_value value;
        value.type = setting_value::kind::dword;
        value.dword = number;
        return write_setting_value(file, name, value);
    }
    std::optional<std::string> read_string(std::string_view name) {
        const std::optional<setting_value> value = read(name);
        if (!value || value->type != setting_value::kind::string)
            return std::nullopt;
        return value->text;
    }
    std::optional<uint32_t> read_dword(std::string_view name) {
        const std::optional<setting_value> value = read(name);
        if (!value || value->type != setting_value::kind::dword)
            return std::nullopt;
        return value->dword;
    }

    saved_variable saved_config_home{"XDG_CONFIG_HOME"};
    saved_variable saved_home{"HOME"};
};

TEST_F(SettingsFileTest, KeyPathMapsUnderTheConfigDirectory) {
    setenv("XDG_CONFIG_HOME", "/config/home", 1);
    setenv("HOME", "/home/user", 1);
    EXPECT_EQ(settings_file_for_key(toolkit_key),
              "/config/home/Kestrova/Quorrel/Command Set Toolkit.conf");
    EXPECT_EQ(settings_file_for_key("SOFTWARE\\Kestrova\\Quorrel\\H8 Userloader"),
              "/config/home/Kestrova/Quorrel/H8 Userloader.conf");
    EXPECT_EQ(settings_file_for_key("Kestrova\\Other"), "/config/home/Kestrova/Other.conf");

    // Empty or relative XDG_CONFIG_HOME falls back to HOME.
    for (const char *ignored : {"", "relative/config"}) {
        setenv("XDG_CONFIG_HOME", ignored, 1);
        EXPECT_EQ(settings_file_for_key(toolkit_key),
                  "/home/user/.config/Kestrova/Quorrel/Command Set Toolkit.conf")
            << ignored;
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(settings_file_for_key(toolkit_key),
              "/home/user/.config/Kestrova/Quorrel/Command Set Toolkit.conf");
    unsetenv("HOME");
    EXPECT_EQ(settings_file_for_key(toolkit_key), "");
    setenv("HOME", "", 1);
    EXPECT_EQ(settings_file_for_key(toolkit_key), "");
}

TEST_F(SettingsFileTest, KeyPathsThatLeaveTheirDirectoryAreRefused) {
    setenv("XDG_CONFIG_HOME", "/config/home", 1);
    for (const std::string &key : std::vector<std::string>{
             "Software\\", "", "Software\\..\\..\\etc\\passwd", "Software\\A\\.\\B",
             "Software\\A\\\\B", "Software\\A\\", "Software\\A/../../B", std::string("A\0B", 3)})
        EXPECT_EQ(settings_file_for_key(key), "") << key;
}

TEST_F(SettingsFileTest, CreateMakesPrivateDirectoriesAndKeepsAnExistingFile) {
    const fs::path nested = root / "one" / "two" / "Key.conf";
    ASSERT_TRUE(create_settings_file(nested.string()));
    struct stat info {};
    ASSERT_EQ(stat((root / "one").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(nested.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    write_text(nested, "Kept=yes\n");
    ASSERT_TRUE(create_settings_file(nested.string()));
    EXPECT_EQ(read_text(nested), "Kept=yes\n");

    write_text(root / "plain", "");
    EXPECT_FALSE(create_settings_file((root / "plain" / "Key.conf").string()));
    EXPECT_FALSE(create_settings_file(""));
    fs::create_directory(root / "Dir.conf");
    EXPECT_FALSE(create_settings_file((root / "Dir.conf").string()));
}

TEST_F(SettingsFileTest, StringsAndDwordsRoundTripInTheirTextForm) {
    ASSERT_TRUE(write_string("ErrorCodesFile", ".\\ecodes.ini"));
    ASSERT_TRUE(write_dword("TCP Port", 1234));
    ASSERT_TRUE(write_dword("Max", 0xFFFFFFFFu));
    ASSERT_TRUE(write_string("Empty", ""));
    ASSERT_TRUE(write_string("Spaced", "  padded = text  "));
    EXPECT_EQ(read_text(file), "ErrorCodesFile=.\\ecodes.ini\n"
                               "TCP Port=dword:000004d2\n"
                               "Max=dword:ffffffff\n"
                               "Empty=\n"
                               "Spaced=  padded = text  \n");
    EXPECT_EQ(read_string("ErrorCodesFile"), ".\\ecodes.ini");
    EXPECT_EQ(read_dword("TCP Port"), 1234u);
    EXPECT_EQ(read_dword("Max"), 0xFFFFFFFFu);
    EXPECT_EQ(read_string("Empty"), "");
    EXPECT_EQ(read_string("Spaced"), "  padded = text  ");
    EXPECT_EQ(read("Missing"), std::nullopt);
}

TEST_F(SettingsFileTest, NamesCompareWithoutCaseAndWritesReplaceTheFirstMatch) {
    write_text(file, "tcp port=dword:00000001\nTCP PORT=dword:00000002\n");
    EXPECT_EQ(read_dword("TCP Port"), 1u);
    ASSERT_TRUE(write_dword("Tcp Port", 7));
    EXPECT_EQ(read_text(file), "Tcp Port=dword:00000007\nTCP PORT=dword:00000002\n");
    EXPECT_EQ(read_dword("tcp PORT"), 7u);
    // A value may change its kind.
    ASSERT_TRUE(write_string("TCP PORT", "text"));
    EXPECT_EQ(read_string("tcp port"), "text");
}

TEST_F(SettingsFileTest, DamagedLinesAreIgnoredOnRead) {
    const std::string junk("garbage=\x01\xff\x00junk", 15);
    write_text(file, "no equals sign\n"
                     "=nameless\n"
                     "Port=dword:12345\n"
                     "Port=dword:0000004g\n"
                     "Port=dword:000000042\n" +
                         junk + "\n" + "Port=" + std::string(70000, 'x') + "\n" +
                         "Port=dword:000004D2\r\n"
                         "Port=dword:00000001\n"
                         "Name\r\n"
                         "Text=last line without newline");
    EXPECT_EQ(read_dword("Port"), 1234u);
    EXPECT_EQ(read_string("Text"), "last line without newline");
    EXPECT_EQ(read("no equals sign"), std::nullopt);
    EXPECT_EQ(read("garbage"), std::nullopt);
    EXPECT_EQ(read(""), std::nullopt);
}

TEST_F(SettingsFileTest, RewriteKeepsEveryOtherLineAsItWas) {
    const std::string before = "# written by hand\n"
                               "Broken=dword:xyz\n"
                               "\n"
                               "Crlf=windows\r\n"
                               "Value=old\r\n" +
                               std::string("bin\0ary\n", 8) + "Last=no newline";
    write_text(file, before);
    ASSERT_TRUE(write_string("Value", "new"));
    ASSERT_TRUE(write_dword("Broken", 5));
    EXPECT_EQ(read_text(file), "# written by hand\n"
                               "Broken=dword:xyz\n"
                               "\n"
                               "Crlf=windows\r\n"
                               "Value=new\r\n" +
                                   std::string("bin\0ary\n", 8) +
                                   "Last=no newline\n"
                                   "Broken=dword:00000005\n");
    EXPECT_EQ(read_dword("Broken"), 5u);
    EXPECT_EQ(read_string("Crlf"), "windows");
}

TEST_F(SettingsFileTest, RewriteReplacesTheFileAtomicallyWithModeSixHundred) {
    write_text(file, "Old=1\n");
    ASSERT_EQ(chmod(file.c_str(), 0644), 0);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);

    ASSERT_TRUE(write_string("New", "2"));
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 0777, 0600u);
    EXPECT_EQ(read_text(file), "Old=1\nNew=2\n");

    std::vector<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(root))
        names.push_back(entry.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"Settings.conf"});
}

TEST_F(SettingsFileTest, WriteCreatesMissingDirectoriesAndFile) {
    file = (root / "gone" / "Key.conf").string();
    ASSERT_TRUE(write_dword("Count", 3));
    EXPECT_EQ(read_dword("Count"), 3u);
}

TEST_F(SettingsFileTest, ValuesThatCannotReadBackAsWrittenAreRefused) {
    write_text(file, "Keep=me\n");
    EXPECT_FALSE(write_string("Text", "two\nlines"));
    EXPECT_FALSE(write_string("Text", "carriage\rreturn"));
    EXPECT_FALSE(write_string("Text", std::string("nul\0byte", 8)));
    EXPECT_FALSE(write_string("Text", "dword:00000001"));
    EXPECT_FALSE(write_string("Text", std::string(70000, 'x')));
    EXPECT_FALSE(write_string("", "nameless"));
    EXPECT_FALSE(write_string("A=B", "x"));
    EXPECT_FALSE(write_dword("Line\nBreak", 1));
    EXPECT_EQ(read_text(file), "Keep=me\n");
    // Only the exact prefix means a DWORD.
    EXPECT_TRUE(write_string("Text", "DWORD:00000001"));
    EXPECT_EQ(read_string("Text"), "DWORD:00000001");
}

TEST_F(SettingsFileTest, PathsThatAreNotRegularFilesFailCleanly) {
    fs::create_directory(file);
    EXPECT_EQ(read("Any"), std::nullopt);
    EXPECT_FALSE(write_string("Any", "x"));
    EXPECT_EQ(read_setting_value("", "Any"), std::nullopt);
    EXPECT_FALSE(write_setting_value("", "Any", setting_value{}));

    const std::string fifo = (root / "Fifo.conf").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(read_setting_value(fifo, "Any"), std::nullopt);
}

// Each process rewrites the file many times under its own names; without the directory lock one
// process's rewrite would drop values the other added in between.
TEST_F(SettingsFileTest, WritersInTwoProcessesNeverLoseValues) {
    constexpr int writes_per_process = 60;
    pid_t children[2];
    for (int child = 0; child < 2; ++child) {
        children[child] = fork();
        ASSERT_GE(children[child], 0);
        if (children[child] == 0) {
            bool all_written = true;
            const std::string prefix = "Writer " + std::to_string(child);
            for (int i = 0; i < writes_per_process; ++i) {
                all_written &= write_dword(prefix + " item " + std::to_string(i), i);
                all_written &= write_dword(prefix + " last", i);
            }
            _exit(all_written ? 0 : 1);
        }
    }
    for (const pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    for (int child = 0; child < 2; ++child) {
        const std::string prefix = "Writer " + std::to_string(child);
        EXPECT_EQ(read_dword(prefix + " last"), uint32_t{writes_per_process - 1});
        for (int i = 0; i < writes_per_process; ++i)
            EXPECT_EQ(read_dword(prefix + " item " + std::to_string(i)), uint32_t(i));
    }
}

} // namespace
// Someone who holds the directory lock and never lets go (a hung program, or another user who
// may open the directory) costs a write its bounded wait, then the write is given up.
TEST_F(SettingsFileTest, AWriterThatNeverLetsGoOfTheLockMakesTheWriteGiveUp) {
    ASSERT_TRUE(write_dword("CommandFailCount", 7));
    const int holder = ::open(directory.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    EXPECT_FALSE(write_dword("CommandFailCount", 8));
    EXPECT_EQ(read_dword("CommandFailCount"), 7u);
    ::close(holder);
    EXPECT_TRUE(write_dword("CommandFailCount", 8)) << "once the lock is free writes go on";
    EXPECT_EQ(read_dword("CommandFailCount"), 8u);
}

} // namespace vortlink::platform
