#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "core/catalogue.h"
#include "core/version.h"
#include "core/settings.h"
#include "core/state.h"
#include "core/status_table.h"
#include "support/temp_directory.h"
#include "vortlink.h"

using namespace vortlink;
using vortlink::test::temp_directory;
using vortlink::test::write_file;

TEST(CataloguePath, RelativePathKeepsOnlyTheFileName) {
    EXPECT_EQ(resolve_catalogue_path(".\\ecodes.ini", "/srv/line4/"), "/srv/line4/ecodes.ini");
    EXPECT_EQ(resolve_catalogue_path("./ecodes.ini", "/srv/line4/"), "/srv/line4/ecodes.ini");
    EXPECT_EQ(resolve_catalogue_path(".\\sub\\dir\\codes.ini", "/srv/line4/"),
              "/srv/line4/codes.ini");
    EXPECT_EQ(resolve_catalogue_path("../etc/codes.v2.ini", "/srv/line4/"),
              "/srv/line4/codes.v2.ini");
    EXPECT_EQ(resolve_catalogue_path("./mixed\\sep/x.ini", "/a"), "/a/x.ini");
}

TEST(CataloguePath, OtherPathsAreUsedUnchanged) {
    EXPECT_EQ(resolve_catalogue_path("/opt/quorrel/ecodes.ini", "/srv/"),
              "/opt/quorrel/ecodes.ini");
    EXPECT_EQ(resolve_catalogue_path("codes/ecodes.ini", "/srv/"), "codes/ecodes.ini");
}

TEST(CataloguePath, WithoutRecordedDirectoryTheNameIsRelativeToTheCaller) {
    EXPECT_EQ(resolve_catalogue_path(".\\ecodes.ini", nullptr), "ecodes.ini");
    EXPECT_EQ(resolve_catalogue_path(".\\ecodes.ini", ""), "ecodes.ini");
}

class CatalogueLookup : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
        write_file(directory.file("codes.ini"), "[-10202]\n"
                                                "Name = Device Busy\n"
                                                "Text=Somebody else holds the slot.\n"
                                                "[5]\nName=Flash Fault\nText=Replace the board.\n"
                                                "[0]\nName=Fine\n");
        use_catalogue(directory.file("codes.ini"));
    }
    void TearDown() override { use_catalogue(".\\ecodes.ini"); }

    static void use_catalogue(const std::string &path) {
        ASSERT_EQ(write_setting_string("ErrorCodesFile", path.c_str()), status::ok);
    }
    static std::string name_of(int16_t code, uint16_t size = 100) {
        char buffer[100];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(tkcmdset_get_error_name(code, buffer, size), 0);
        return buffer;
    }
    static std::string text_of(int16_t code, uint16_t size = 100) {
        char buffer[100];
        std::memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(tkcmdset_get_error_text(code, buffer, size), 0);
        return buffer;
    }

    temp_directory directory;
};

TEST_F(CatalogueLookup, SectionsAreNamedBySignedDecimalCode) {
    EXPECT_EQ(name_of(-10202), "Device Busy");
    EXPECT_EQ(text_of(-10202), "Somebody else holds the slot.");
    EXPECT_EQ(name_of(5), "Flash Fault");
    EXPECT_EQ(name_of(0), "Fine");
}

TEST_F(CatalogueLookup, MissingCodeKeyOrFileGivesTheDefaults) {
    EXPECT_EQ(name_of(-10203), "Unknown Error");
    EXPECT_EQ(text_of(-10203), "No further information");
    EXPECT_EQ(text_of(0), "No further information");
    use_catalogue(directory.file("absent.ini"));
    EXPECT_EQ(name_of(5), "Unknown Error");
}

TEST_F(CatalogueLookup, SmallBuffersGetTheValueCutAndTerminated) {
    EXPECT_EQ(name_of(-10202, 1), "");
    EXPECT_EQ(name_of(-10202, 7), "Device");
    char untouched = 'k';
    EXPECT_EQ(tkcmdset_get_error_name(-10202, &untouched, 0), 0);
    EXPECT_EQ(untouched, 'k');
    EXPECT_EQ(tkcmdset_get_error_text(-10202, nullptr, 10), 0);
}

TEST_F(CatalogueLookup, RelativeSettingResolvesAgainstTheRecordedDirectory) {
    platform::shared_data *shared = shared_state();
    ASSERT_NE(shared, nullptr);
    char saved[sizeof shared->working_directory];
    std::memcpy(saved, shared->working_directory, sizeof saved);
    const std::string recorded = directory.path() + "/";
    std::strcpy(shared->working_directory, recorded.c_str());

    use_catalogue(".\\some\\where\\codes.ini");
    EXPECT_EQ(name_of(5), "Flash Fault");
    EXPECT_EQ(catalogue_path(), directory.file("codes.ini"));

    std::memcpy(shared->working_directory, saved, sizeof saved);
}

TEST(StatusTable, CodesAreUniqueAndEveryEntryIsExplained) {
    std::set<int16_t> seen;
    for (const status_entry &entry : status_table()) {
        EXPECT_TRUE(seen.insert(entry.code).second) << entry.code;
        EXPECT_GT(std::strlen(entry.name), 2u) << entry.code;
        EXPECT_GT(std::strlen(entry.text), 20u) << entry.code;
        EXPECT_LT(std::strlen(entry.name), 50u) << entry.code;
        EXPECT_EQ(std::strchr(entry.text, '\n'), nullptr) << entry.code;
    }
}

TEST(StatusTable, HoldsEveryLibraryAndUtilityCode) {
    const int16_t expected[] = {
        -10001, -10100, -10101, -10102, -10104, -10105, -10107, -10108, -10109, -10110,
        -10111, -10112, -10201, -10202, -10203, -10204, -10205, -10206, -10207, -10208,
        -10600, -10601, -10602, -10603, -10800, -10801, -10802, -10803, -10300, -10301,
        -10302, -10303, -10304, -10305, -10306, -10307, -10308, -20100, -20101, -20102};
    for (int16_t code : expected)
        EXPECT_NE(find_status(code), nullptr) << code;
    int library_codes = 0;
    for (const status_entry &entry : status_table())
        library_codes += entry.origin == code_origin::library && entry.code != 0;
    EXPECT_EQ(library_codes, 28);
}

TEST(Version, PacksMajorAndMinorOfTheReleaseText) {
    // The release text is what the packages, pkg-config and --version show.
    unsigned major = 0, minor = 0, patch = 0;
    ASSERT_EQ(std::sscanf(VORTLINK_VERSION_TEXT, "%u.%u.%u", &major, &minor, &patch), 3);
    const uint16_t version = tkcmdset_get_dll_version();
    EXPECT_NE(version, 0);
    EXPECT_EQ(version >> 8, major & 0xFF);
    EXPECT_EQ(version & 0xFF, minor & 0xFF);
}

TEST(Version, FirstReleaseReadsOneDotZeroZero) {
    if (std::string(VORTLINK_VERSION_TEXT) != "1.0.0")
        GTEST_SKIP() << "release " << VORTLINK_VERSION_TEXT;
    char shown[16];
    const uint16_t version = tkcmdset_get_dll_version();
    std::snprintf(shown, sizeof shown, "%d.%02d", version >> 8, version & 0xFF);
    EXPECT_EQ(version, 0x0100);
    EXPECT_STREQ(shown, "1.00");
}

// A catalogue someone else could have planted (another user's, or one others may write) is read
// as a missing one; the refusal is told once, its path's control characters escaped.
TEST_F(CatalogueLookup, CatalogueThatOthersCouldHavePlantedIsNotRead) {
    const std::string shared = directory.file("shared\x1b[31m");
    ASSERT_EQ(::mkdir(shared.c_str(), 0777), 0);
    const struct {
        const char *what;
        std::function<bool(const std::string &)> plant;
    } cases[] = {
        {"writable by its group", [](const std::string &f) { return ::chmod(f.c_str(), 0664) == 0; }},
        {"writable by anyone", [](const std::string &f) { return ::chmod(f.c_str(), 0646) == 0; }},
        {"another user's", [](const std::string &f) { return ::chown(f.c_str(), 65534, 65534) == 0; }},
    };
    testing::internal::CaptureStderr();
    int planted = 0;
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.what);
        const std::string file = shared + "/" + std::to_string(planted) + ".ini";
        write_file(file, "[-10801]\nName=No Error\nText=\x1b]0;owned\x07All is well.\n");
        ::chmod(file.c_str(), 0644);
        use_catalogue(file);
        if (!entry.plant(file))
            continue; // giving a file away needs root
        ++planted;
        EXPECT_NE(name_of(-10801), "No Error");
        EXPECT_EQ(text_of(-10801).find('\x1b'), std::string::npos);
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GE(planted, 2);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("shared\\x1b[31m"), std::string::npos) << err;
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << "no raw escape reaches the terminal";
}
