// The manufacturing and configuration blocks byte by byte, the lenient and strict readings of the
// dialog's texts, and the lighthead editor's values and range checks, all without Qt.

#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <limits>
#include <vector>

#include "blocks/config_block.h"
#include "blocks/field_text.h"
#include "blocks/lighthead_values.h"
#include "blocks/mfg_block.h"
#include "common/crc16.h"

using namespace vortlink::loader;

namespace {

// A fixed-width text field of the lighthead record: it may fill the field without a terminator.
template <std::size_t width> std::string field_text(const char (&field)[width]) {
    return std::string(field, strnlen(field, width));
}

std::tm utc_date(int year, int month, int day) {
    std::tm date{};
    date.tm_year = year - 1900;
    date.tm_mon = month - 1;
    date.tm_mday = day;
    date.tm_hour = 12;
    const time_t seconds = timegm(&date);
    std::tm normalised{};
    gmtime_r(&seconds, &normalised);
    return normalised;
}

template <std::size_t size>
std::vector<uint8_t> bytes_at(const uint8_t (&block)[size], std::size_t offset, std::size_t count) {
    return std::vector<uint8_t>(block + offset, block + offset + count);
}

mfg_fields sample_mfg_fields() {
    mfg_fields fields;
    fields.serial_number = "0000000042";
    fields.mac = {0x02, 0x4C, 0x51, 0x00, 0x12, 0x34};
    fields.ip = 0xC0A80864; // 192.168.8.100
    fields.hardware_part_number = "4310-000552-110";
    fields.eco_revision = "110";
    return fields;
}

config_fields sample_config_fields() {
    config_fields fields;
    fields.trigger_input = trigger_choice::input_2;
    fields.rising = true;
    fields.width = "100";
    fields.delay = "0";
    fields.current = "2.5";
    fields.supply_overhead = "5";
    fields.initial_led_temperature = "25";
    fields.mode_position = 2;
    fields.slew_position = 3;
    return fields;
}

constexpr std::size_t record_offset(int channel) {
    return 96 + 40 * static_cast<std::size_t>(channel);
}

} // namespace

TEST(MfgBlock, LaysOutEveryFieldAndSealsTheBlock) {
    mfg_fields fields = sample_mfg_fields();
    fields.limit_48v = true;
    uint8_t block[mfg_block_size];
    build_mfg_block(fields, utc_date(2026, 4, 10), block);

    EXPECT_EQ(bytes_at(block, 2, 4), (std::vector<uint8_t>{0x00, 0x02, 0x01, 0x00}));
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 6)), "0000000042");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 22)), "0992026");
    EXPECT_EQ(block[29], 0);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 38)), "4310-000552-110");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 54)), "110");
    EXPECT_EQ(bytes_at(block, 61, 6), (std::vector<uint8_t>{0x02, 0x4C, 0x51, 0x00, 0x12, 0x34}));
    EXPECT_EQ(bytes_at(block, 68, 4), (std::vector<uint8_t>{192, 168, 8, 100}));
    EXPECT_EQ(block[72], 0x01);
    for (std::size_t zero : {30u, 37u, 58u, 60u, 67u, 73u, 127u})
        EXPECT_EQ(block[zero], 0) << "offset " << zero;
    const uint16_t crc = crc16(std::span<const uint8_t>(block + 2, 126));
    EXPECT_EQ(block[0], crc >> 8);
    EXPECT_EQ(block[1], crc & 0xFF);
    EXPECT_TRUE(IsValidMfgBlock(block));

    const mfg_fields back = read_mfg_block(block);
    EXPECT_EQ(back.serial_number, fields.serial_number);
    EXPECT_EQ(back.mac, fields.mac);
    EXPECT_EQ(back.ip, fields.ip);
    EXPECT_EQ(back.hardware_part_number, fields.hardware_part_number);
    EXPECT_EQ(back.eco_revision, fields.eco_revision);
    EXPECT_TRUE(back.limit_48v);

    fields.limit_48v = false;
    build_mfg_block(fields, utc_date(2026, 4, 10), block);
    EXPECT_EQ(block[72], 0x00);
}

TEST(MfgBlock, LongTextsFillTheirFieldsWithoutTerminator) {
    mfg_fields fields = sample_mfg_fields();
    fields.serial_number = "ABCDEFGHIJKLMNOPQRST";
    fields.hardware_part_number = "1234567890abcdefXYZ";
    fields.eco_revision = "REV-LONG";
    uint8_t block[mfg_block_size];
    build_mfg_block(fields, utc_date(2026, 1, 1), block);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 6), 16), "ABCDEFGHIJKLMNOP");
    // The date code follows at once: no terminator after a 16-character serial number.
    EXPECT_EQ(block[22], '0');
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 38), 16), "1234567890abcdef");
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(block + 54), 4), "REV-");
    EXPECT_EQ(block[58], 0);
    EXPECT_EQ(read_mfg_block(block).serial_number, "ABCDEFGHIJKLMNOP");

    fields.serial_number = "ABCDEFGHIJKLMNOP";
    uint8_t exact[mfg_block_size];
    build_mfg_block(fields, utc_date(2026, 1, 1), exact);
    EXPECT_EQ(bytes_at(exact, 6, 17), bytes_at(block, 6, 17));
}

TEST(MfgBlock, DateCodeCountsDaysFromZero) {
    EXPECT_EQ(mfg_date_code(utc_date(2025, 1, 1)), "0002025");
    EXPECT_EQ(mfg_date_code(utc_date(2024, 12, 31)), "3652024");
    EXPECT_EQ(mfg_date_code(utc_date(2025, 12, 31)), "3642025");
    uint8_t block[mfg_block_size];
    build_mfg_block(sample_mfg_fields(), utc_date(2024, 12, 31), block);
    EXPECT_EQ(bytes_at(block, 22, 8), (std::vector<uint8_t>{'3', '6', '5', '2', '0', '2', '4', 0}));
}

TEST(MfgBlock, SameFieldsOnTheSameDayGiveTheSameBytes) {
    uint8_t morning[mfg_block_size];
    uint8_t evening[mfg_block_size];
    std::tm date = utc_date(2026, 7, 4);
    build_mfg_block(sample_mfg_fields(), date, morning);
    date.tm_hour = 23;
    date.tm_min = 59;
    build_mfg_block(sample_mfg_fields(), date, evening);
    EXPECT_EQ(std::memcmp(morning, evening, mfg_block_size), 0);
    build_mfg_block(sample_mfg_fields(), utc_date(2026, 7, 5), evening);
    EXPECT_NE(std::memcmp(morning, evening, mfg_block_size), 0);
}

TEST(MfgBlock, ValidityNeedsIdentifierAndCrc) {
    uint8_t block[mfg_block_size];
    build_mfg_block(sample_mfg_fields(), utc_date(2026, 4, 10), block);
    ASSERT_TRUE(IsValidMfgBlock(block));
    block[100] ^= 0x01;
    EXPECT_FALSE(IsValidMfgBlock(block));
    block[100] ^= 0x01;
    std::swap(block[0], block[1]); // stored low byte first
    EXPECT_FALSE(IsValidMfgBlock(block));
    std::swap(block[0], block[1]);

    // A sealed block of another kind is not a manufacturing block.
    block[3] = 4;
    const uint16_t crc = crc16(std::span<const uint8_t>(block + 2, 126));
    block[0] = static_cast<uint8_t>(crc >> 8);
    block[1] = static_cast<uint8_t>(crc);
    EXPECT_FALSE(IsValidMfgBlock(block));

    uint8_t erased[mfg_block_size];
    std::memset(erased, 0xFF, sizeof erased);
    EXPECT_FALSE(IsValidMfgBlock(erased));
}

TEST(ConfigBlock, LaysOutHeadAndFourEqualChannelRecords) {
    config_fields fields = sample_config_fields();
    fields.differential_2 = true;
    uint8_t block[config_block_size];
    build_config_block(fields, block);

    EXPECT_EQ(bytes_at(block, 2, 4), (std::vector<uint8_t>{0x00, 0x04, 0x01, 0x0A}));
    EXPECT_EQ(bytes_at(block, 6, 8),
              (std::vector<uint8_t>{0x40, 0xA0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(bytes_at(block, 14, 4), (std::vector<uint8_t>{25, 25, 25, 25}));
    EXPECT_EQ(block[22], 0x02);
    const std::vector<uint8_t> expected_record = {
        2, 1, 5, 3, 0, 0, 0x00, 0x00, 0x40, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 100, 0, 0, 0, 0,
        0, 0, 0, 0, 0, 0, 0,    0,    0,    0,    0,    0,    0,    0,    0,    0,   0, 0, 0, 0};
    for (int channel = 0; channel < 4; ++channel)
        EXPECT_EQ(bytes_at(block, record_offset(channel), 40), expected_record)
            << "channel " << channel;
    for (std::size_t offset = 23; offset < 96; ++offset)
        ASSERT_EQ(block[offset], 0) << "offset " << offset;
    EXPECT_TRUE(IsValidConfigBlock(block));
    const uint16_t crc = crc16(std::span<const uint8_t>(block + 2, 254));
    EXPECT_EQ(block[0], crc >> 8);
    EXPECT_EQ(block[1], crc & 0xFF);
}

TEST(ConfigBlock, TextsAreCutToTheirFieldWidth) {
    config_fields fields = sample_config_fields();
    fields.delay = "70000";
    fields.initial_led_temperature = "300";
    fields.width = "-5";
    fields.current = "2.5";
    uint8_t block[config_block_size];
    build_config_block(fields, block);
    const std::size_t record = record_offset(0);
    EXPECT_EQ(bytes_at(block, record + 6, 2), (std::vector<uint8_t>{0x11, 0x70})); // 4464
    EXPECT_EQ(bytes_at(block, 14, 4), (std::vector<uint8_t>{44, 44, 44, 44}));
    EXPECT_EQ(bytes_at(block, record + 12, 4), (std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFB}));
    EXPECT_EQ(bytes_at(block, record + 8, 4), (std::vector<uint8_t>{0x40, 0x20, 0x00, 0x00}));

    config_fields back;
    read_config_block(block, back);
    EXPECT_EQ(back.delay, "4464");
    EXPECT_EQ(back.initial_led_temperature, "44");
    EXPECT_EQ(back.width, "-5");
    EXPECT_EQ(back.current, " 2.50");
    EXPECT_EQ(back.supply_overhead, " 5.00");

    // Texts without digits are 0; nothing is refused.
    fields.delay = "abc";
    fields.width = "";
    fields.current = "x1";
    fields.supply_overhead = "  -1.5e1V";
    build_config_block(fields, block);
    EXPECT_EQ(bytes_at(block, record + 6, 2), (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(bytes_at(block, record + 12, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(bytes_at(block, record + 8, 4), (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(bytes_at(block, 6, 4), (std::vector<uint8_t>{0xC1, 0x70, 0x00, 0x00})); // -15
}

TEST(ConfigBlock, UnselectedListsAndTriggerChoices) {
    config_fields fields = sample_config_fields();
    fields.mode_position = no_selection;
    fields.slew_position = no_selection;
    fields.trigger_input = trigger_choice::unselected;
    fields.rising = false;
    uint8_t block[config_block_size];
    build_config_block(fields, block);
    for (int channel = 0; channel < 4; ++channel) {
        EXPECT_EQ(block[record_offset(channel) + 0], 0);
        EXPECT_EQ(block[record_offset(channel) + 1], 0);
        EXPECT_EQ(block[record_offset(channel) + 2], 0);
        EXPECT_EQ(block[record_offset(channel) + 3], 0xFF);
    }
    const uint8_t codes[] = {1, 2, 5, 8};
    for (int position = 0; position < 4; ++position) {
        fields.mode_position = position;
        fields.trigger_input = position % 2 == 0 ? trigger_choice::input_1 : trigger_choice::none;
        build_config_block(fields, block);
        EXPECT_EQ(block[record_offset(3) + 2], codes[position]);
        EXPECT_EQ(block[record_offset(3)], position % 2 == 0 ? 1 : 0);
    }
    EXPECT_EQ(std::string(operating_mode_names[1]), "Timing Bypass");
    EXPECT_EQ(std::string(slew_rate_names[2]), "MED-FAST");
}

TEST(ConfigBlock, ReadingShowsTheFirstChannelRecord) {
    uint8_t block[config_block_size];
    config_fields written = sample_config_fields();
    written.differential_1 = true;
    build_config_block(written, block);
    // Only record 0 counts when reading.
    block[record_offset(1) + 2] = 8;

    config_fields shown;
    shown.mode_position = 3;
    read_config_block(block, shown);
    EXPECT_EQ(shown.trigger_input, trigger_choice::input_2);
    EXPECT_TRUE(shown.rising);
    EXPECT_TRUE(shown.differential_1);
    EXPECT_FALSE(shown.differential_2);
    EXPECT_EQ(shown.width, "100");
    EXPECT_EQ(shown.initial_led_temperature, "25");
    EXPECT_EQ(shown.mode_position, 2);
    EXPECT_EQ(shown.slew_position, 3);

    struct trigger_case {
        uint8_t byte;
        trigger_choice shown;
    };
    for (const trigger_case &c :
         {trigger_case{0, trigger_choice::none}, trigger_case{1, trigger_choice::input_1},
          trigger_case{3, trigger_choice::input_1}, trigger_case{2, trigger_choice::input_2},
          trigger_case{4, trigger_choice::unselected}}) {
        block[record_offset(0)] = c.byte;
        read_config_block(block, shown);
        EXPECT_EQ(shown.trigger_input, c.shown) << "byte " << int(c.byte);
    }
    block[record_offset(0) + 1] = 0;
    read_config_block(block, shown);
    EXPECT_FALSE(shown.rising);

    // Code 18 is the mode without a list entry; an unknown code keeps the selection.
    block[record_offset(0) + 2] = 18;
    read_config_block(block, shown);
    EXPECT_EQ(shown.mode_position, operating_mode_without_entry);
    shown.mode_position = 1;
    block[record_offset(0) + 2] = 3;
    read_config_block(block, shown);
    EXPECT_EQ(shown.mode_position, 1);

    block[record_offset(0) + 3] = 0xFF;
    read_config_block(block, shown);
    EXPECT_EQ(shown.slew_position, no_selection);
    block[record_offset(0) + 3] = 4;
    read_config_block(block, shown);
    EXPECT_EQ(shown.slew_position, no_selection);
}

TEST(ConfigBlock, ValidityAndDefaultsOfAnInvalidBlock) {
    uint8_t block[config_block_size];
    build_config_block(sample_config_fields(), block);
    EXPECT_TRUE(IsValidConfigBlock(block));
    block[255] ^= 0x80;
    EXPECT_FALSE(IsValidConfigBlock(block));
    uint8_t erased[config_block_size];
    std::memset(erased, 0xFF, sizeof erased);
    EXPECT_FALSE(IsValidConfigBlock(erased));

    config_fields fields = sample_config_fields();
    fields.differential_1 = true;
    fields.initial_led_temperature = "77";
    fields.slew_position = 2;
    fields.rising = false;
    show_config_defaults(fields);
    EXPECT_EQ(fields.trigger_input, trigger_choice::none);
    EXPECT_TRUE(fields.rising);
    EXPECT_EQ(fields.width, "100");
    EXPECT_EQ(fields.delay, "0");
    EXPECT_EQ(fields.current, "1.0");
    EXPECT_EQ(fields.supply_overhead, "5.0");
    EXPECT_EQ(fields.mode_position, 0);
    EXPECT_TRUE(fields.differential_1);
    EXPECT_EQ(fields.initial_led_temperature, "77");
    EXPECT_EQ(fields.slew_position, 2);
}

TEST(ConfigBlock, TimingBypassAndTriggerInputExcludeEachOther) {
    const int bypass = timing_bypass_position;
    const int without_entry = operating_mode_without_entry;
    EXPECT_EQ(mode_after_trigger_change(trigger_choice::none, without_entry), bypass);
    EXPECT_EQ(mode_after_trigger_change(trigger_choice::none, bypass), bypass);
    EXPECT_EQ(mode_after_trigger_change(trigger_choice::input_1, bypass), without_entry);
    EXPECT_EQ(mode_after_trigger_change(trigger_choice::input_2, bypass), without_entry);
    EXPECT_EQ(mode_after_trigger_change(trigger_choice::unselected, bypass), without_entry);
    EXPECT_EQ(mode_after_trigger_change(trigger_choice::input_1, without_entry), without_entry);
    for (int other : {no_selection, 0, 2, 3}) {
        EXPECT_EQ(mode_after_trigger_change(trigger_choice::none, other), other);
        EXPECT_EQ(mode_after_trigger_change(trigger_choice::input_1, other), other);
    }
}

TEST(FieldText, LenientReadingsStopAtTheFirstStrangeCharacter) {
    EXPECT_EQ(lenient_int32("  -12abc"), -12);
    EXPECT_EQ(lenient_int32("+7"), 7);
    EXPECT_EQ(lenient_int32("abc"), 0);
    EXPECT_EQ(lenient_int32(""), 0);
    EXPECT_EQ(lenient_int32("- 5"), 0);
    EXPECT_EQ(lenient_int32("99999999999999999999"), std::numeric_limits<int32_t>::max());
    EXPECT_EQ(lenient_int32("-2147483648"), std::numeric_limits<int32_t>::min());
    EXPECT_EQ(lenient_int32("-99999999999"), std::numeric_limits<int32_t>::min());

    EXPECT_FLOAT_EQ(lenient_float(" 2.5"), 2.5F);
    EXPECT_FLOAT_EQ(lenient_float("1e2"), 100.0F);
    EXPECT_FLOAT_EQ(lenient_float("+2.5e-1x"), 0.25F);
    EXPECT_FLOAT_EQ(lenient_float(".5"), 0.5F);
    EXPECT_FLOAT_EQ(lenient_float("3."), 3.0F);
    EXPECT_FLOAT_EQ(lenient_float("7e"), 7.0F);
    EXPECT_FLOAT_EQ(lenient_float("1,5"), 1.0F);
    EXPECT_EQ(lenient_float("abc"), 0.0F);
    EXPECT_EQ(lenient_float("."), 0.0F);
    EXPECT_EQ(lenient_float("inf"), 0.0F);
    EXPECT_EQ(lenient_float("0x10"), 0.0F);
    EXPECT_EQ(lenient_float("1e999"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(lenient_float("1e60"), std::numeric_limits<float>::infinity());
    EXPECT_EQ(lenient_float("-1e60"), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(lenient_float("1e-999"), 0.0F);
}

TEST(FieldText, StrictReadingsTakeWholeNumbersOnly) {
    EXPECT_EQ(strict_int32(" 12 "), 12);
    EXPECT_EQ(strict_int32("+3"), 3);
    EXPECT_EQ(strict_int32("-3"), -3);
    for (const char *refused : {"", "  ", "abc", "1.5", "12x", "+", "2147483648", "1 2"})
        EXPECT_FALSE(strict_int32(refused).has_value()) << refused;

    EXPECT_EQ(strict_float(" 0.6 "), 0.6F);
    EXPECT_EQ(strict_float("1e1"), 10.0F);
    EXPECT_EQ(strict_float("-.5"), -0.5F);
    for (const char *refused : {"", "abc", "1.5A", "1e", "nan", "inf", "1e60", "0x1"})
        EXPECT_FALSE(strict_float(refused).has_value()) << refused;
}

TEST(FieldText, FormatsIgnoreTheLocale) {
    EXPECT_EQ(fixed_text(2.5, 5, 2), " 2.50");
    EXPECT_EQ(fixed_text(-12.5, 5, 2), "-12.50");
    EXPECT_EQ(fixed_text(123456.0, 5, 2), "123456.00");
    EXPECT_EQ(general_text(0.4F, 6), "0.4");
    EXPECT_EQ(general_text(50.0F / 3.0F, 6), "16.6667");
    EXPECT_EQ(general_text(1e7, 6), "1e+07");
    EXPECT_EQ(general_text(100.0, 6), "100");
}

namespace {

std::array<std::string, lighthead_rows> texts_of(const lighthead_values &values) {
    std::array<std::string, lighthead_rows> texts;
    for (int row = 0; row < lighthead_rows; ++row)
        texts[row] = row_text(values, static_cast<lighthead_row>(row));
    return texts;
}

lighthead_values default_values() {
    lighthead_values values;
    set_defaults(values);
    return values;
}

std::string &text_of(std::array<std::string, lighthead_rows> &texts, lighthead_row row) {
    return texts[static_cast<int>(row)];
}

} // namespace

TEST(LightheadValues, DefaultsAndTheirTexts) {
    const lighthead_values values = default_values();
    const std::array<std::string, lighthead_rows> expected = {"0", "1", "0.4", "3.5", "100", "1",
                                                              "1", "0", "1",   "1",   "1"};
    EXPECT_EQ(texts_of(values), expected);
    EXPECT_EQ(values.programming_text, "Lighthead not programmed");
    EXPECT_EQ(std::string(lighthead_layout[4].label), "Tjmax (\u00B0 F)");
    EXPECT_TRUE(lighthead_layout[5].integer);
    EXPECT_FALSE(lighthead_layout[8].integer);
}

TEST(LightheadValues, RecordGroupZeroRoundTrip) {
    LightheadData record{};
    std::strcpy(record.part_number, "LH-4400-01");
    std::strcpy(record.programmed_on, "10-Apr-2026 9:30");
    record.led[0] =
        LedParameters{2.5F, 12.0F, 0.4F, 2.9F, 125.0F, 4, 6, 0.8F, 1.0F, 10.0F, 1.5F, {}};
    record.led[1].tau = 7.0F;

    lighthead_values values;
    load_record(values, record);
    EXPECT_EQ(values.programming_text, "Lighthead last programmed on 10-Apr-2026 9:30");
    EXPECT_EQ(values.string_count, 4);
    EXPECT_EQ(values.leds_per_string, 6);
    EXPECT_EQ(row_text(values, lighthead_row::heatsink_rth), "0.8");

    LightheadData copy{};
    std::strcpy(copy.part_number, "kept");
    copy.led[2].tj_max = 9.0F;
    store_record(values, copy);
    EXPECT_EQ(std::memcmp(&copy.led[0], &record.led[0], sizeof(LedParameters)), 0);
    EXPECT_EQ(field_text(copy.part_number), "kept");
    EXPECT_EQ(copy.programmed_on[0], '\0');
    EXPECT_EQ(copy.led[1].tau, 0.0F);
    EXPECT_EQ(copy.led[2].tj_max, 9.0F);

    // A programming date that fills its field has no terminator to stop at.
    std::memset(record.programmed_on, 'x', sizeof record.programmed_on);
    load_record(values, record);
    EXPECT_EQ(values.programming_text,
              std::string("Lighthead last programmed on ") + std::string(20, 'x'));
}

TEST(LightheadValues, CurrentLimitsFollowTheNumberOfStrings) {
    lighthead_values values = default_values();
    std::array<std::string, lighthead_rows> texts = texts_of(values);
    text_of(texts, lighthead_row::string_count) = "4";
    text_of(texts, lighthead_row::default_current) = "12.5";
    text_of(texts, lighthead_row::max_pulse_current) = "12.5";
    text_of(texts, lighthead_row::max_cont_current) = "0.5";
    EXPECT_FALSE(take_over_rows(values, texts).has_value());
    EXPECT_EQ(values.max_cont_current, 0.5F);

    text_of(texts, lighthead_row::max_cont_current) = "0.6";
    const auto refusal = take_over_rows(values, texts);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->row, lighthead_row::max_cont_current);
    EXPECT_EQ(refusal->message, "Please enter a number between 0 and 0.5.");
    EXPECT_EQ(values.max_cont_current, 0.5F);

    text_of(texts, lighthead_row::max_cont_current) = "0.5";
    text_of(texts, lighthead_row::max_pulse_current) = "12.51";
    ASSERT_TRUE(take_over_rows(values, texts).has_value());

    // Three strings: the limit is the single-precision quotient, 16.666666.
    text_of(texts, lighthead_row::string_count) = "3";
    text_of(texts, lighthead_row::max_pulse_current) = "1";
    text_of(texts, lighthead_row::default_current) = "16.666666";
    EXPECT_FALSE(take_over_rows(values, texts).has_value());
    text_of(texts, lighthead_row::default_current) = "16.66667";
    const auto above = take_over_rows(values, texts);
    ASSERT_TRUE(above.has_value());
    EXPECT_EQ(above->row, lighthead_row::default_current);
    EXPECT_EQ(above->message, "Please enter a number between 0 and 16.6667.");
}

TEST(LightheadValues, RefusalStopsAfterTheRowsAlreadyTaken) {
    lighthead_values values = default_values();
    values.default_current = 20.0F;
    std::array<std::string, lighthead_rows> texts = texts_of(values);
    text_of(texts, lighthead_row::led_rth) = "3.25";
    text_of(texts, lighthead_row::string_count) = "5";
    text_of(texts, lighthead_row::heatsink_rth) = "1.5";
    text_of(texts, lighthead_row::max_pulse_current) = "2";

    const auto refusal = take_over_rows(values, texts);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->row, lighthead_row::default_current);
    EXPECT_EQ(refusal->message, "Please enter a number between 0 and 10.");
    EXPECT_EQ(values.led_rth, 3.25F);
    EXPECT_EQ(values.string_count, 5);
    EXPECT_EQ(values.heatsink_rth, 1.5F);
    EXPECT_EQ(values.default_current, 20.0F);
    EXPECT_EQ(values.max_pulse_current, 1.0F);
}

TEST(LightheadValues, RangeEdgesOfEveryKind) {
    struct edge {
        lighthead_row row;
        const char *text;
        const char *message; // nullptr when accepted
    };
    const edge edges[] = {
        {lighthead_row::string_count, "0", "Please enter an integer between 1 and 10."},
        {lighthead_row::string_count, "11", "Please enter an integer between 1 and 10."},
        {lighthead_row::string_count, "2", nullptr},
        {lighthead_row::string_count, "2.5", "Please enter an integer."},
        {lighthead_row::leds_per_string, "15", nullptr},
        {lighthead_row::leds_per_string, "16", "Please enter an integer between 1 and 15."},
        {lighthead_row::leds_per_string, "21", "Please enter an integer between 1 and 15."},
        {lighthead_row::leds_per_string, "", "Please enter an integer."},
        {lighthead_row::led_rth, "6000", nullptr},
        {lighthead_row::led_rth, "6000.5", "Please enter a number between 0 and 6000."},
        {lighthead_row::tau, "-0.001", "Please enter a number between 0 and 65."},
        {lighthead_row::vf_slope, "50", nullptr},
        {lighthead_row::vf_offset, "abc", "Please enter a number."},
        {lighthead_row::tj_max, "", "Please enter a number."},
        {lighthead_row::tj_max, "250.0001", "Please enter a number between 0 and 250."},
        {lighthead_row::heatsink_rth, "1e3", nullptr},
    };
    for (const edge &e : edges) {
        lighthead_values values = default_values();
        std::array<std::string, lighthead_rows> texts = texts_of(values);
        text_of(texts, e.row) = e.text;
        const auto refusal = take_over_rows(values, texts);
        if (e.message == nullptr) {
            EXPECT_FALSE(refusal.has_value()) << e.text;
        } else {
            ASSERT_TRUE(refusal.has_value()) << e.text;
            EXPECT_EQ(refusal->row, e.row) << e.text;
            EXPECT_EQ(refusal->message, e.message) << e.text;
        }
    }
}

TEST(LightheadValues, OutOfRangeValuesShowButAreRefusedOnTakeOver) {
    LightheadData record{};
    record.led[0].string_count = 12;
    record.led[0].leds_per_string = 3;
    lighthead_values values;
    load_record(values, record);
    std::array<std::string, lighthead_rows> texts = texts_of(values);
    EXPECT_EQ(text_of(texts, lighthead_row::string_count), "12");
    const auto refusal = take_over_rows(values, texts);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->row, lighthead_row::string_count);
    EXPECT_EQ(values.string_count, 12);
}
