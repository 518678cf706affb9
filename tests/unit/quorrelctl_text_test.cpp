// The tool's readings of typed values and its text forms of device data: the edge cases where a
// lenient reading or a byte-counting column would mislead a technician.

#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "block_views.h"
#include "core/ipv4_text.h"
#include "output.h"
#include "text_input.h"

using namespace vortlink::ctl;

TEST(QuorrelctlText, UnsignedNumbersAreWholeDecimalOrHex) {
    struct row {
        const char *text;
        uint64_t max;
        std::optional<uint64_t> expected;
    };
    const row table[] = {
        {"0", 10, 0},           {"010", 100, 10},       {"0x1F", 255, 31},
        {"0X1f", 255, 31},      {"255", 255, 255},      {"256", 255, std::nullopt},
        {"", 10, std::nullopt}, {"0x", 10, std::nullopt}, {"-1", 10, std::nullopt},
        {"+1", 10, std::nullopt}, {" 1", 10, std::nullopt}, {"1 ", 10, std::nullopt},
        {"1e3", 5000, std::nullopt}, {"99999999999999999999", UINT64_MAX, std::nullopt},
        {"zz", 10, std::nullopt},
    };
    for (const auto &r : table)
        EXPECT_EQ(parse_unsigned(r.text, r.max), r.expected) << r.text;
    EXPECT_EQ(parse_signed("-32768", -32768, 32767), -32768);
    EXPECT_EQ(parse_signed("40000", -32768, 32767), std::nullopt);
    EXPECT_EQ(parse_signed("-", -5, 5), std::nullopt);
}

// What glibc's inet_pton takes for AF_INET, and nothing else.
TEST(QuorrelctlText, IpAddressesAreExactlyFourDecimalParts) {
    const std::pair<const char *, std::optional<uint32_t>> table[] = {
        {"192.168.1.100", 0xC0A80164}, {"0.0.0.0", 0},           {"255.255.255.255", 0xFFFFFFFF},
        {"10.0.0.1", 0x0A000001},      {"256.1.1.1", std::nullopt}, {"01.2.3.4", std::nullopt},
        {"1.2.3.00", std::nullopt},    {"1.2.3", std::nullopt},     {"1.2.3.4.5", std::nullopt},
        {"1.2.3.4 ", std::nullopt},    {" 1.2.3.4", std::nullopt},  {"1..3.4", std::nullopt},
        {"1.2.3.", std::nullopt},      {"+1.2.3.4", std::nullopt},  {"0x1.2.3.4", std::nullopt},
        {"1.2.3.1234", std::nullopt},  {"", std::nullopt},          {"16909060", std::nullopt},
    };
    for (const auto &[text, expected] : table)
        EXPECT_EQ(vortlink::parse_dotted_quad(text), expected) << text;
}

TEST(QuorrelctlText, RealsAreFiniteAndWhole) {
    EXPECT_EQ(parse_real("2.25"), 2.25);
    EXPECT_EQ(parse_real("1e1"), 10.0);
    EXPECT_EQ(parse_real("-0.5"), -0.5);
    for (const char *bad : {"nan", "NaN", "inf", "-inf", "infinity", "1e999", "0x10", "1,5",
                            "2.5A", "", " 1", "1.2.3"})
        EXPECT_EQ(parse_real(bad), std::nullopt) << bad;
}

TEST(QuorrelctlText, TextFieldsAreRefusedWhenTooLongOrNotPrintableAscii) {
    EXPECT_EQ(text_field_problem("--eco", "B", 4), "");
    EXPECT_EQ(text_field_problem("--eco", "ABCD", 4), "");
    EXPECT_NE(text_field_problem("--eco", "ABCDE", 4).find("--eco: at most 4 characters, got 5"),
              std::string::npos);
    EXPECT_NE(text_field_problem("--part", "A\tB", 16), "");
    EXPECT_NE(text_field_problem("--part", "\xC3\xA9", 16), "");
}

TEST(QuorrelctlText, DeviceBytesBecomeUtf8WithoutLoss) {
    // Valid UTF-8 stays; any other byte is a Latin-1 character.
    EXPECT_EQ(device_text("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(device_text("Q\xE9"), "Q\xC3\xA9");
    EXPECT_EQ(device_text("\xFF\xFE"), "\xC3\xBF\xC3\xBE");
    // An overlong form and a lone surrogate are not UTF-8.
    EXPECT_EQ(device_text("\xC0\xAF"), "\xC3\x80\xC2\xAF");
    EXPECT_EQ(device_text("\xED\xA0\x80"), "\xC3\xAD\xC2\xA0\xC2\x80");
    // A sequence cut off at the end of the field.
    EXPECT_EQ(device_text("A\xE2\x82"), "A\xC3\xA2\xC2\x82");
    const char field[4] = {'A', 'B', 'C', 'D'};
    EXPECT_EQ(device_text(field, sizeof field), "ABCD") << "no terminator needed";
}

TEST(QuorrelctlText, ColumnsCountCharactersNotBytes) {
    EXPECT_EQ(display_width("Tjmax (\u00B0 F)"), 11u);
    EXPECT_EQ(pad_right("\u00B0C", 4), "\u00B0C  ");
    const std::string text = render_rows({{"LED Rth (\u00B0C/W)", "2.5"}, {"Vf Slope", "0.4"}});
    EXPECT_EQ(text, "LED Rth (\u00B0C/W): 2.5\nVf Slope:       0.4\n");
}

TEST(QuorrelctlText, FloatsAreTheirShortestNumber) {
    EXPECT_EQ(json_real(0.4F).dump(), "0.4");
    EXPECT_EQ(json_real(38.79234F).get<float>(), 38.79234F);
    EXPECT_EQ(json_real(1.0F).dump(), "1.0");
    EXPECT_EQ(real_text(38.792343), "38.7923");
}

TEST(QuorrelctlText, DatesInIso8601) {
    EXPECT_EQ(iso_date_from_code("0002026"), "2026-01-01");
    EXPECT_EQ(iso_date_from_code("0992026"), "2026-04-10");
    EXPECT_EQ(iso_date_from_code("3652024"), "2024-12-31") << "leap year";
    EXPECT_EQ(iso_date_from_code("3652026"), "") << "no such day";
    EXPECT_EQ(iso_date_from_code("99x2026"), "");
    EXPECT_EQ(iso_date_from_code(""), "");
    EXPECT_EQ(iso_time_from_programmed_on("7-Dec-2026 4:59"), "2026-12-07T04:59");
    EXPECT_EQ(iso_time_from_programmed_on("10-Apr-2026 23:30"), "2026-04-10T23:30");
    for (const char *bad : {"", "Lighthead", "7-Dez-2026 4:59", "7-Dec-2026 24:00",
                            "7-Dec-2026 4:5", "32-Dec-2026 4:59", "7-Dec-2026"})
        EXPECT_EQ(iso_time_from_programmed_on(bad), "") << bad;
}

TEST(QuorrelctlText, NearestNameOnlyForLikelyMisspellings) {
    const std::vector<std::string> names = {"program", "status", "info", "diag"};
    EXPECT_EQ(nearest_name("progam", names), "program");
    EXPECT_EQ(nearest_name("stauts", names), "status");
    EXPECT_EQ(nearest_name("frobnicate", names), "");
}

TEST(QuorrelctlText, ControlCharactersAreShownEscaped) {
    struct row {
        std::string text, shown, shown_as_lines;
    };
    const row table[] = {
        {"\x1b[2J\x1b]0;owned\x07", "\\x1b[2J\\x1b]0;owned\\x07", "\\x1b[2J\\x1b]0;owned\\x07"},
        {"a\nb\tc\rd", "a\\x0ab\\x09c\\x0dd", "a\nb\tc\\x0dd"},
        {std::string("nul\0del\x7f", 8), "nul\\x00del\\x7f", "nul\\x00del\\x7f"},
        // C1 controls, as UTF-8 and as a lone byte; other UTF-8 and Latin-1 stays.
        {"\xc2\23331m \2331m", "\\x9b31m \\x9b1m", "\\x9b31m \\x9b1m"},
        {"Q000\xc3\xa9 \xe2\x82\xac \xc2\xa0", "Q000\xc3\xa9 \xe2\x82\xac \xc2\xa0",
         "Q000\xc3\xa9 \xe2\x82\xac \xc2\xa0"},
        {"back\\slash", "back\\slash", "back\\slash"},
    };
    for (const auto &r : table) {
        EXPECT_EQ(printable(r.text), r.shown) << r.shown;
        EXPECT_EQ(printable_lines(r.text), r.shown_as_lines) << r.shown;
    }
}
