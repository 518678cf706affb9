#include "core/platform/ini_file.h"

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "support/temp_directory.h"

namespace vortlink::platform {
namespace {

class IniFileTest : public testing::Test {
  protected:
    // Looks key up in a file holding contents, with a buffer of the given size.
    std::string lookup(const std::string &contents, const char *section, const char *key,
                       const char *default_text = "default", std::size_t size = 256) {
        test::write_file(path, contents);
        return lookup_in(path.c_str(), section, key, default_text, size);
    }
    std::string lookup_in(const char *file, const char *section, const char *key,
                          const char *default_text, std::size_t size = 256) {
        std::string buffer(size + 1, '\x7f');
        const std::size_t copied =
            read_ini_string(file, section, key, default_text, buffer.data(), size);
        // Nothing may be written past size, and the count must match the text.
        EXPECT_EQ(buffer[size], '\x7f');
        if (size == 0)
            return buffer.substr(0, 1);
        EXPECT_EQ(copied, std::strlen(buffer.c_str()));
        return buffer.c_str();
    }

    test::temp_directory directory;
    const std::string path = directory.file("ecodes.ini");
};

TEST_F(IniFileTest, FindsKeysOfTheirOwnSectionWithoutRegardToCase) {
    const std::string catalogue = "[-10202]\n"
                                  "Name=TKCMDSET_LOCK_BUSY\n"
                                  "Text=The slot is busy\n"
                                  "[-10600]\n"
                                  "name=TKCMDSET_SETTINGS_OPEN_FAILED\n"
                                  "[Extra]\n";
    EXPECT_EQ(lookup(catalogue, "-10202", "Name"), "TKCMDSET_LOCK_BUSY");
    EXPECT_EQ(lookup(catalogue, "-10202", "TEXT"), "The slot is busy");
    EXPECT_EQ(lookup(catalogue, "-10600", "Name"), "TKCMDSET_SETTINGS_OPEN_FAILED");
    EXPECT_EQ(lookup(catalogue, "extra", "Name"), "default");
    EXPECT_EQ(lookup(catalogue, "-10600", "Text"), "default");
    EXPECT_EQ(lookup(catalogue, "-10601", "Name"), "default");
    EXPECT_EQ(lookup("[Main]\nKey=Value\n", "main", "kEY"), "Value");
    EXPECT_EQ(lookup("Key=before any section\n[Main]\n", "Main", "Key"), "default");
}

TEST_F(IniFileTest, TrimsBlanksButKeepsTheValueOtherwiseAsWritten) {
    EXPECT_EQ(lookup("  [ Main ]  \n \t Key \t=  spaced value \t \n", "Main", "Key"),
              "spaced value");
    EXPECT_EQ(lookup("[Main]\nKey=\"quoted\" ; not a comment\n", "Main", "Key"),
              "\"quoted\" ; not a comment");
    EXPECT_EQ(lookup("[Main]\nKey=a=b=c\n", "Main", "Key"), "a=b=c");
    EXPECT_EQ(lookup("[Main]\nKey=\n", "Main", "Key"), "");
    EXPECT_EQ(lookup("[Main]\nKey=   \n", "Main", "Key"), "");
}

TEST_F(IniFileTest, FirstMatchWins) {
    EXPECT_EQ(lookup("[Main]\nKey=first\nKEY=second\n", "Main", "Key"), "first");
    EXPECT_EQ(lookup("[Main]\nKey=first\n[Other]\nKey=x\n[main]\nKey=second\n", "Main", "Key"),
              "first");
    EXPECT_EQ(lookup("[Main]\n[Other]\nKey=x\n[MAIN]\nKey=later section\n", "Main", "Key"),
              "later section");
}

TEST_F(IniFileTest, CommentsCrlfByteOrderMarkAndMissingFinalNewline) {
    // A byte order mark, as editors on other systems write, must not hide the first section.
    const std::string text = "\xEF\xBB\xBF[Main]\r\n"
                             "# Key=commented out\r\n"
                             "; Key=commented\r\n"
                             "  # Key=indented comment\r\n"
                             "Key=crlf value\r\n"
                             "Last=no newline";
    EXPECT_EQ(lookup(text, "Main", "Key"), "crlf value");
    EXPECT_EQ(lookup(text, "Main", "Last"), "no newline");
    EXPECT_EQ(lookup(text, "Main", "; Key"), "default");
}

TEST_F(IniFileTest, CopiesAtMostSizeMinusOneCharacters) {
    const std::string text = "[Main]\nKey=abcdef\n";
    EXPECT_EQ(lookup(text, "Main", "Key", "default", 4), "abc");
    EXPECT_EQ(lookup(text, "Main", "Key", "default", 7), "abcdef");
    EXPECT_EQ(lookup(text, "Main", "Key", "default", 1), "");
    EXPECT_EQ(lookup(text, "Main", "Missing", "long default", 5), "long");
    // Size 0 writes nothing at all.
    EXPECT_EQ(lookup(text, "Main", "Key", "default", 0), "\x7f");
    EXPECT_EQ(read_ini_string(path.c_str(), "Main", "Key", "d", nullptr, 10), 0u);
}

TEST_F(IniFileTest, MissingOrUnusablePathsGiveTheDefault) {
    EXPECT_EQ(lookup_in(directory.file("absent.ini").c_str(), "Main", "Key", "fallback"),
              "fallback");
    EXPECT_EQ(lookup_in(directory.path().c_str(), "Main", "Key", "fallback"), "fallback");
    EXPECT_EQ(lookup_in("/dev/zero", "Main", "Key", "fallback"), "fallback");
    EXPECT_EQ(lookup_in(nullptr, "Main", "Key", "fallback"), "fallback");
    test::write_file(path, "[Main]\nKey=Value\n");
    EXPECT_EQ(lookup_in(path.c_str(), nullptr, "Key", "fallback"), "fallback");
    EXPECT_EQ(lookup_in(path.c_str(), "Main", nullptr, "fallback"), "fallback");
    EXPECT_EQ(lookup_in(path.c_str(), "Main", "Absent", nullptr), "");
    EXPECT_EQ(lookup("", "Main", "Key"), "default");
}

TEST_F(IniFileTest, AnyContentIsSafe) {
    std::mt19937 random(20240611);
    std::string junk(64 * 1024, '\0');
    for (char &c : junk)
        c = static_cast<char>(random());
    EXPECT_EQ(lookup(junk, "Main", "Key"), "default");
    // Junk around a good entry leaves it readable.
    EXPECT_EQ(lookup(junk + "\n[Main]\n" + junk + "\nKey=found\n" + junk, "Main", "Key"), "found");

    // A NUL inside a line would cut the value short: the line is skipped.
    EXPECT_EQ(lookup(std::string("[Main]\nKey=cut\0short\nKey=whole\n", 31), "Main", "Key"),
              "whole");
    EXPECT_EQ(lookup("[Main]\nKey=" + std::string(1 << 20, 'v') + "\nNext=after\n", "Main", "Next"),
              "after");
    EXPECT_EQ(lookup("[Main]\nKey=" + std::string(1 << 20, 'v'), "Main", "Key", "d", 8), "vvvvvvv");
    EXPECT_EQ(lookup("[Unclosed\nKey=x\n[Main\nKey=y\n", "Main", "Key"), "y");
    EXPECT_EQ(lookup("[]\n=\n==\n[\n]\n\n\r\n", "", "", "d"), "");
}

} // namespace
} // namespace vortlink::platform
