#include "core/settings.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/temp_directory.h"

namespace vortlink {
namespace {

constexpr const char *test_key = "Software\\Kestrova\\Quorrel\\Settings Test";

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Each test gets its own configuration directory and its key open in it.
class SettingsTest : public testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
        ASSERT_EQ(open_settings_key(test_key), status::ok);
    }
    void TearDown() override { close_settings_key(); }

    test::temp_directory directory;
    const std::string file = directory.file("Kestrova/Quorrel/Settings Test.conf");
};

TEST_F(SettingsTest, OpenCreatesTheKeyFile) {
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    EXPECT_EQ(read_text(file), "");
}

TEST_F(SettingsTest, ReadersCreateMissingValuesWithTheirDefaultAndKeepStoredOnes) {
    char text[260];
    ASSERT_EQ(read_setting_string("ErrorCodesFile", ".\\ecodes.ini", text, sizeof text),
              status::ok);
    EXPECT_STREQ(text, ".\\ecodes.ini");
    uint32_t port = 0;
    ASSERT_EQ(read_setting_dword("TCP Port", 1234, port), status::ok);
    EXPECT_EQ(port, 1234u);
    EXPECT_EQ(read_text(file), "ErrorCodesFile=.\\ecodes.ini\nTCP Port=dword:000004d2\n");

    ASSERT_EQ(write_setting_string("ErrorCodesFile", "/opt/catalogue.ini"), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", 4000), status::ok);
    ASSERT_EQ(read_setting_string("errorcodesfile", "other", text, sizeof text), status::ok);
    EXPECT_STREQ(text, "/opt/catalogue.ini");
    ASSERT_EQ(read_setting_dword("tcp port", 99, port), status::ok);
    EXPECT_EQ(port, 4000u);
    EXPECT_EQ(read_text(file), "ErrorCodesFile=/opt/catalogue.ini\nTCP Port=dword:00000fa0\n");
}

TEST_F(SettingsTest, EveryRoutineNeedsAnOpenKey) {
    ASSERT_EQ(close_settings_key(), status::ok);
    EXPECT_EQ(close_settings_key(), status::ok);
    char text[16] = "untouched";
    uint32_t number = 77;
    EXPECT_EQ(read_setting("Name", text, sizeof text), status::settings_not_open);
    EXPECT_EQ(write_setting_string("Name", "x"), status::settings_not_open);
    EXPECT_EQ(write_setting_dword("Name", 1), status::settings_not_open);
    EXPECT_EQ(read_setting_string("Name", "x", text, sizeof text), status::settings_not_open);
    EXPECT_EQ(read_setting_dword("Name", 1, number), status::settings_not_open);
    EXPECT_STREQ(text, "untouched");
    EXPECT_EQ(number, 77u);
    EXPECT_EQ(read_text(file), "");
}

TEST_F(SettingsTest, OpenFailuresLeaveNoKeyOpen) {
    test::write_file(directory.file("plain"), "");
    setenv("XDG_CONFIG_HOME", directory.file("plain/config").c_str(), 1);
    EXPECT_EQ(open_settings_key(test_key), status::settings_open_failed);
    EXPECT_EQ(write_setting_dword("Name", 1), status::settings_not_open);

    setenv("XDG_CONFIG_HOME", directory.path().c_str(), 1);
    EXPECT_EQ(open_settings_key(nullptr), status::settings_open_failed);
    EXPECT_EQ(open_settings_key("Software\\..\\Escape"), status::settings_open_failed);
    EXPECT_EQ(open_settings_key(("Software\\" + std::string(5000, 'k')).c_str()),
              status::settings_open_failed);

    const std::string home = std::getenv("HOME") != nullptr ? std::getenv("HOME") : "";
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("HOME");
    EXPECT_EQ(open_settings_key(test_key), status::settings_open_failed);
    setenv("HOME", home.c_str(), 1);
    uint32_t number = 0;
    EXPECT_EQ(read_setting_dword("Name", 1, number), status::settings_not_open);
}

TEST_F(SettingsTest, ReopeningSwitchesToTheNewKey) {
    ASSERT_EQ(write_setting_dword("Count", 5), status::ok);
    ASSERT_EQ(open_settings_key("Software\\Kestrova\\Other"), status::ok);
    uint32_t count = 0;
    EXPECT_EQ(read_setting("Count", &count, sizeof count), status::setting_read_failed);
    ASSERT_EQ(open_settings_key(test_key), status::ok);
    EXPECT_EQ(read_setting("Count", &count, sizeof count), status::ok);
    EXPECT_EQ(count, 5u);
}

TEST_F(SettingsTest, ReadSettingCopiesTheStoredDataWhenItFits) {
    ASSERT_EQ(write_setting_string("Text", "abc"), status::ok);
    ASSERT_EQ(write_setting_dword("Number", 0x11223344u), status::ok);

    char text[4];
    ASSERT_EQ(read_setting("Text", text, 4), status::ok);
    EXPECT_EQ(std::memcmp(text, "abc", 4), 0);
    std::memcpy(text, "zzzz", 4);
    EXPECT_EQ(read_setting("Text", text, 3), status::setting_read_failed);
    EXPECT_EQ(std::memcmp(text, "zzzz", 4), 0);

    // The stored type is not compared: a DWORD gives its four bytes in host order.
    const uint32_t expected = 0x11223344u;
    unsigned char bytes[8] = {};
    ASSERT_EQ(read_setting("Number", bytes, sizeof bytes), status::ok);
    EXPECT_EQ(std::memcmp(bytes, &expected, 4), 0);
    EXPECT_EQ(read_setting("Number", bytes, 3), status::setting_read_failed);

    EXPECT_EQ(read_setting("Missing", bytes, sizeof bytes), status::setting_read_failed);
    EXPECT_EQ(read_setting("Text", nullptr, 100), status::setting_read_failed);
    EXPECT_EQ(read_setting(nullptr, bytes, sizeof bytes), status::setting_read_failed);
}

// A failed first read, whatever the reason, stores the default before reading again.
TEST_F(SettingsTest, StringReaderReplacesWhatItCannotRead) {
    ASSERT_EQ(write_setting_string("Path", "a long stored value"), status::ok);
    char small[5] = "....";
    EXPECT_EQ(read_setting_string("Path", "too long", small, sizeof small),
              status::setting_read_failed);
    ASSERT_EQ(read_setting_string("Path", "fits", small, sizeof small), status::ok);
    EXPECT_STREQ(small, "fits");

    // Four bytes of a DWORD are no text: the default replaces it.
    ASSERT_EQ(write_setting_dword("Path", 0x41414141u), status::ok);
    char text[32];
    ASSERT_EQ(read_setting_string("Path", "restored", text, sizeof text), status::ok);
    EXPECT_STREQ(text, "restored");

    // The write's own code is passed up.
    EXPECT_EQ(read_setting_string("New", "two\nlines", text, sizeof text),
              status::setting_write_failed);
    EXPECT_EQ(read_setting_string("New", nullptr, text, sizeof text), status::setting_write_failed);
    // No buffer: nothing can be read, and nothing stored is replaced.
    EXPECT_EQ(read_setting_string("Path", "other", nullptr, 10), status::setting_read_failed);
    EXPECT_EQ(read_text(file), "Path=restored\n");
}

TEST_F(SettingsTest, HandEditedNumbersAreReadAsDwords) {
    test::write_file(file, "TCP Port=1234\nHex= 0x4D2 \nWord=port\nBig=4294967296\n"
                           "Negative=-1\nMax=4294967295\n");
    uint32_t value = 0;
    ASSERT_EQ(read_setting_dword("TCP Port", 1, value), status::ok);
    EXPECT_EQ(value, 1234u);
    ASSERT_EQ(read_setting_dword("Hex", 1, value), status::ok);
    EXPECT_EQ(value, 1234u);
    ASSERT_EQ(read_setting_dword("Max", 1, value), status::ok);
    EXPECT_EQ(value, 4294967295u);
    for (const char *name : {"Word", "Big", "Negative"}) {
        ASSERT_EQ(read_setting_dword(name, 42, value), status::ok) << name;
        EXPECT_EQ(value, 42u) << name;
    }
    EXPECT_EQ(read_text(file), "TCP Port=1234\nHex= 0x4D2 \nWord=dword:0000002a\n"
                               "Big=dword:0000002a\nNegative=dword:0000002a\nMax=4294967295\n");
}

TEST_F(SettingsTest, DamagedFileStillGivesItsGoodLines) {
    test::write_file(file, std::string("\x7f"
                                       "ELF\x02\x01\x00\x00junk\n",
                                       13) +
                               "=no name\nno equals\nTCP Port=dword:bad\n"
                               "ErrorCodesFile=/data/ecodes.ini\r\n"
                               "TCP Port=dword:00000050\n" +
                               std::string(100000, '#'));
    char text[64];
    ASSERT_EQ(read_setting_string("ErrorCodesFile", "x", text, sizeof text), status::ok);
    EXPECT_STREQ(text, "/data/ecodes.ini");
    uint32_t port = 0;
    ASSERT_EQ(read_setting_dword("TCP Port", 1234, port), status::ok);
    EXPECT_EQ(port, 80u);
    EXPECT_EQ(read_setting("no equals", text, sizeof text), status::setting_read_failed);
}

TEST_F(SettingsTest, WritesThatCannotBeStoredFail) {
    EXPECT_EQ(write_setting_string("Text", "line\nbreak"), status::setting_write_failed);
    EXPECT_EQ(write_setting_string("Text", nullptr), status::setting_write_failed);
    EXPECT_EQ(write_setting_string(nullptr, "x"), status::setting_write_failed);
    EXPECT_EQ(write_setting_dword("", 1), status::setting_write_failed);
    EXPECT_EQ(read_text(file), "");
}

// The key is shared by the threads of a process, and a lock that only separates processes (as
// fcntl record locks do) would let their rewrites lose one another's values.
TEST_F(SettingsTest, ThreadsWritingDifferentValuesKeepThemAll) {
    constexpr int thread_count = 4;
    constexpr uint32_t values_per_thread = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t)
        threads.emplace_back([t] {
            for (uint32_t i = 0; i < values_per_thread; ++i) {
                const std::string name = "Thread " + std::to_string(t) + " " + std::to_string(i);
                uint32_t read_back = 0;
                EXPECT_EQ(read_setting_dword(name.c_str(), i, read_back), status::ok);
                EXPECT_EQ(read_back, i);
            }
        });
    for (std::thread &thread : threads)
        thread.join();
    for (int t = 0; t < thread_count; ++t)
        for (uint32_t i = 0; i < values_per_thread; ++i) {
            const std::string name = "Thread " + std::to_string(t) + " " + std::to_string(i);
            uint32_t value = 0;
            ASSERT_EQ(read_setting(name.c_str(), &value, sizeof value), status::ok) << name;
            EXPECT_EQ(value, i);
        }
}

} // namespace
} // namespace vortlink
