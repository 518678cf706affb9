// The lighthead record's image: CRC-16, the block check, the float byte swap, the unit
// conversions in both directions and the programmed-on text. No controller is needed here; the
// road through the EEPROM is in block_transfer_test.

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>

#include "commands/lighthead.h"
#include "support/simulator_slot.h"
#include "vortlink.h"

using namespace vortlink;

namespace {

// part_number and programmed_on are fixed-width: a text may fill the field with no terminator.
template <std::size_t width> std::string fixed_text(const char (&field)[width]) {
    return std::string(field, strnlen(field, width));
}

using image_t = uint8_t[eeprom_block_size];

constexpr std::size_t group_offset(std::size_t group) {
    return 48 + 20 * group;
}

uint16_t be16(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

LightheadData zero_record() {
    LightheadData record;
    std::memset(&record, 0, sizeof record);
    return record;
}

void encode(const LightheadData &record, image_t &image) {
    const char no_date[programmed_on_size] = {};
    encode_lighthead(record, no_date, image);
}

// Sets TZ for the test and restores it afterwards.
class time_zone {
  public:
    explicit time_zone(const char *zone) {
        if (const char *old = std::getenv("TZ"))
            saved_ = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~time_zone() {
        if (saved_.empty())
            unsetenv("TZ");
        else
            setenv("TZ", saved_.c_str(), 1);
        tzset();
    }

  private:
    std::string saved_;
};

} // namespace

TEST(Crc16, MatchesTheArcCheckValues) {
    const auto *digits = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(crc16(digits, 9), 0xBB3D);
    EXPECT_EQ(crc16(digits, 0), 0x0000);
    const uint8_t single = 0x01;
    EXPECT_EQ(crc16(&single, 1), 0xC0C1);
}

TEST(CheckRecord, NeedsTheIdentifierAndTheBigEndianCrc) {
    image_t image;
    encode(zero_record(), image);
    EXPECT_TRUE(check_record(image, lighthead_block_id));
    EXPECT_FALSE(check_record(image, mfg_block_id)) << "identifier 5 is not a manufacturing block";

    const uint16_t crc = be16(image);
    ASSERT_NE(crc >> 8, crc & 0xFF) << "the swapped CRC must differ for this case to mean much";
    std::swap(image[0], image[1]);
    EXPECT_FALSE(check_record(image, lighthead_block_id)) << "CRC stored low byte first";
    std::swap(image[0], image[1]);

    image[127] ^= 0x01;
    EXPECT_FALSE(check_record(image, lighthead_block_id)) << "last covered byte changed";
}

TEST(CheckRecord, ErasedEepromIsNoRecord) {
    image_t erased;
    std::memset(erased, 0xFF, sizeof erased);
    EXPECT_FALSE(check_record(erased, lighthead_block_id));
    EXPECT_FALSE(check_record(erased, 0xFFFF)) << "the identifier matches but the CRC does not";
}

TEST(ImageFloats, ReverseTheBytesBothWays) {
    const float value = 0.4f;
    ASSERT_EQ(std::bit_cast<uint32_t>(value), 0x3ECCCCCDu);
    uint8_t image_bytes[4];
    put_f32_be(image_bytes, value);
    uint32_t host_order = 0;
    std::memcpy(&host_order, image_bytes, sizeof host_order);
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_EQ(host_order, 0xCDCCCC3Eu);
    }
    EXPECT_EQ(std::bit_cast<uint32_t>(get_f32_be(image_bytes)), 0x3ECCCCCDu);
}

TEST(EncodeLighthead, EmptyRecordHasOnlyTheFixedBytes) {
    image_t image;
    std::memset(image, 0xAA, sizeof image);
    encode(zero_record(), image);
    const uint8_t prefix[] = {0x00, 0x05, 0x01, 0x00, 0x0F, 0x07};
    EXPECT_EQ(std::memcmp(image + 2, prefix, sizeof prefix), 0);
    for (std::size_t i = 8; i < eeprom_block_size; ++i)
        ASSERT_EQ(image[i], 0) << "byte " << i;
    EXPECT_EQ(be16(image), crc16(image + 2, 126));
}

TEST(EncodeLighthead, ConversionsTruncateAndKeepTheLowBits) {
    LightheadData record = zero_record();
    LedParameters &led = record.led[0];
    led.led_rth = 0.7f; // 6.99999... tenths
    led.tau = 1.5f;     // 1500 us
    led.vf_slope = 0.4f;
    led.vf_offset = 2.75f; // 2750 mV
    led.tj_max = 255.9f;
    led.string_count = 10;
    led.leds_per_string = 3;
    led.heatsink_rth = 6553.5f; // the largest value that fits
    led.default_current = 2.3f; // 2299.99995 mA
    led.max_pulse_current = 65.536f;
    led.max_cont_current = -1.0f;
    image_t image;
    encode(record, image);

    const uint8_t *group = image + group_offset(0);
    EXPECT_EQ(be16(group + 0), 6);
    EXPECT_EQ(be16(group + 2), 1500);
    const uint8_t slope[] = {0x3E, 0xCC, 0xCC, 0xCD};
    EXPECT_EQ(std::memcmp(group + 4, slope, 4), 0);
    EXPECT_EQ(be16(group + 8), 2750);
    EXPECT_EQ(group[10], 255);
    EXPECT_EQ(group[11], 0xA3);
    EXPECT_EQ(be16(group + 12), 0xFFFF);
    EXPECT_EQ(be16(group + 14), 0x08FB);
    EXPECT_EQ(be16(group + 16), 0) << "65536 mA keeps only its low 16 bits";
    EXPECT_EQ(be16(group + 18), 0xFC18) << "-1000 mA as 16 bits";
}

TEST(EncodeLighthead, StringLayoutKeepsFourBitsOfEachCount) {
    LightheadData record = zero_record();
    record.led[1].string_count = 1;
    record.led[1].leds_per_string = 20;
    record.led[2].string_count = 0x13;
    record.led[2].leds_per_string = -1;
    image_t image;
    encode(record, image);
    EXPECT_EQ(image[group_offset(1) + 11], 0x14);
    EXPECT_EQ(image[group_offset(2) + 11], 0x3F);
}

TEST(EncodeLighthead, ValuesWithoutAnIntegerFormAreStoredAsZero) {
    LightheadData record = zero_record();
    record.led[3].led_rth = std::numeric_limits<float>::quiet_NaN();
    record.led[3].tau = std::numeric_limits<float>::infinity();
    record.led[3].tj_max = 1e20f;
    record.led[3].default_current = -1e20f;
    image_t image;
    encode(record, image);
    const uint8_t *group = image + group_offset(3);
    EXPECT_EQ(be16(group + 0), 0);
    EXPECT_EQ(be16(group + 2), 0);
    EXPECT_EQ(group[10], 0);
    EXPECT_EQ(be16(group + 14), 0);
}

TEST(EncodeLighthead, TakesPartNumberAsItIsAndIgnoresTheCallersDateAndReserved) {
    LightheadData record = zero_record();
    const char part[16] = {'L', 'H', '-', '4', '0', '0', 0, 'x', 'y', 'z', 1, 2, 3, 4, 5, 6};
    std::memcpy(record.part_number, part, sizeof part);
    const char date[programmed_on_size] = "7-Dec-2026 4:59";

    image_t plain;
    encode_lighthead(record, date, plain);
    EXPECT_EQ(std::memcmp(plain + 8, part, 16), 0);
    EXPECT_EQ(std::memcmp(plain + 24, date, programmed_on_size), 0);

    std::memset(record.programmed_on, 'Q', sizeof record.programmed_on);
    std::memset(record.reserved, 0x77, sizeof record.reserved);
    for (LedParameters &led : record.led)
        std::memset(led.reserved, 0x66, sizeof led.reserved);
    image_t cluttered;
    encode_lighthead(record, date, cluttered);
    EXPECT_EQ(std::memcmp(plain, cluttered, eeprom_block_size), 0);
}

TEST(DecodeLighthead, TextsThatFillTheirFieldsComeBackWholeWithoutATerminator) {
    LightheadData written = zero_record();
    std::memcpy(written.part_number, "QL-7731-ABCDEFGH", 16);
    const char date[programmed_on_size] = {'3', '0', '-', 'S', 'e', 'p', '-', '2', '0', '2',
                                           '7', ' ', '2', '3', ':', '5', '9', 'x', 'y', 'z'};
    image_t image;
    encode_lighthead(written, date, image);
    std::memcpy(image + 24, date, sizeof date); // an image written by some other tool
    LightheadData read;
    std::memset(&read, 0x5A, sizeof read);
    decode_lighthead(image, read);
    EXPECT_EQ(fixed_text(read.part_number), "QL-7731-ABCDEFGH");
    EXPECT_EQ(fixed_text(read.programmed_on), std::string(date, sizeof date));
    EXPECT_EQ(read.reserved[0], 0x5A) << "the field after is not written";
}

TEST(DecodeLighthead, ScalesBackAndLeavesReservedBytesAlone) {
    LightheadData written = zero_record();
    std::strcpy(written.part_number, "QL-7731");
    for (int group = 0; group < 4; ++group) {
        LedParameters &led = written.led[group];
        led.led_rth = 1.5f + static_cast<float>(group);
        led.tau = 0.25f;
        led.vf_slope = -0.4f;
        led.vf_offset = 3.125f;
        led.tj_max = 150.0f;
        led.string_count = 15;
        led.leds_per_string = group;
        led.heatsink_rth = 0.5f;
        led.default_current = 2.3f;
        led.max_pulse_current = 40.0f;
        led.max_cont_current = 0.75f;
    }
    const char date[programmed_on_size] = "15-Jan-2027 13:05";
    image_t image;
    encode_lighthead(written, date, image);

    LightheadData read;
    std::memset(&read, 0x5A, sizeof read);
    decode_lighthead(image, read);
    EXPECT_EQ(fixed_text(read.part_number), "QL-7731");
    EXPECT_EQ(fixed_text(read.programmed_on), date);
    for (uint8_t byte : read.reserved)
        ASSERT_EQ(byte, 0x5A);
    for (int group = 0; group < 4; ++group) {
        SCOPED_TRACE(group);
        const LedParameters &led = read.led[group];
        EXPECT_EQ(led.led_rth, 1.5f + static_cast<float>(group));
        EXPECT_EQ(led.tau, 0.25f);
        EXPECT_EQ(std::bit_cast<uint32_t>(led.vf_slope), std::bit_cast<uint32_t>(-0.4f));
        EXPECT_EQ(led.vf_offset, 3.125f);
        EXPECT_EQ(led.tj_max, 150.0f);
        EXPECT_EQ(led.string_count, 15);
        EXPECT_EQ(led.leds_per_string, group);
        EXPECT_EQ(led.heatsink_rth, 0.5f);
        EXPECT_EQ(led.default_current, 2.299f) << "2.3 A was stored as 2299 mA";
        EXPECT_EQ(led.max_pulse_current, 40.0f);
        EXPECT_EQ(led.max_cont_current, 0.75f);
        for (uint8_t byte : led.reserved)
            ASSERT_EQ(byte, 0x5A);
    }
}

TEST(ProgrammedOn, DayAndHourWithoutLeadingZeroInLocalTime) {
    time_zone utc("UTC0");
    const std::time_t morning = 1796619570; // 2026-12-07 04:59:30 UTC
    char text[programmed_on_size];
    std::memset(text, 'x', sizeof text);
    format_programmed_on(morning, text);
    EXPECT_STREQ(text, "7-Dec-2026 4:59");
    for (std::size_t i = std::strlen(text); i < sizeof text; ++i)
        ASSERT_EQ(text[i], '\0') << "the rest of the field is zero";

    format_programmed_on(1767099900, text); // 2025-12-30 13:05 UTC
    EXPECT_STREQ(text, "30-Dec-2025 13:05");
}

TEST(ProgrammedOn, FollowsTheLocalTimeZone) {
    time_zone east("XYZ-2"); // two hours ahead of UTC
    char text[programmed_on_size];
    format_programmed_on(1796619570, text);
    EXPECT_STREQ(text, "7-Dec-2026 6:59");
}

// ---- Through the controller's EEPROM ------------------------------------------------------

namespace {

// The controller starts with its EEPROM erased, as one fresh from assembly.
class LightheadOnController : public vortlink::test::SimulatorSlot {
  protected:
    LightheadOnController() : SimulatorSlot({"--erased"}) {}

    static LightheadData sample(float current) {
        LightheadData record = zero_record();
        const char part[16] = {'Q', 'L', 'H', '-', '2', '0', 0, 0x7F, 'r', 'e', 's', 't'};
        std::memcpy(record.part_number, part, sizeof part);
        for (LedParameters &led : record.led) {
            led.led_rth = 12.5f;
            led.vf_slope = 0.4f;
            led.string_count = 2;
            led.leds_per_string = 6;
            led.default_current = current;
        }
        return record;
    }

    static std::string minute_text(std::time_t when) {
        char text[32];
        std::tm local{};
        localtime_r(&when, &local);
        std::strftime(text, sizeof text, "%-d-%b-%Y %-H:%M", &local);
        return text;
    }
};

} // namespace

TEST_F(LightheadOnController, RoundTripKeepsPartNumberAndStampsTheMinute) {
    const LightheadData written = sample(2.3f);
    const std::time_t before = std::time(nullptr);
    ASSERT_EQ(tkcmdset_set_lighthead_data(slot, &written), TKCMDSET_OK);
    const std::time_t after = std::time(nullptr);
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>({0x00, 0x54, 0, 0, 0x04, 0x00, 0, 104}),
              std::vector<uint8_t>(frames[0].begin(), frames[0].begin() + 8))
        << "the first chunk goes to 1024 with its header: 104 bytes";
    EXPECT_EQ(frames[1][5], 0x68) << "the second chunk goes to 1128";
    EXPECT_EQ(frames[1][7], 24);

    LightheadData read;
    std::memset(&read, 0x5A, sizeof read);
    ASSERT_EQ(tkcmdset_get_lighthead_data(slot, &read), TKCMDSET_OK);
    EXPECT_EQ(std::memcmp(read.part_number, written.part_number, 16), 0);
    const std::string stamp = fixed_text(read.programmed_on);
    EXPECT_TRUE(stamp == minute_text(before) || stamp == minute_text(after)) << stamp;
    for (const LedParameters &led : read.led) {
        EXPECT_EQ(led.default_current, 2.299f);
        EXPECT_EQ(led.led_rth, 12.5f);
        EXPECT_EQ(led.vf_slope, 0.4f);
        EXPECT_EQ(led.leds_per_string, 6);
    }
}

TEST_F(LightheadOnController, ErasedEepromIsRefusedAndTheRecordUntouched) {
    LightheadData read;
    std::memset(&read, 0x5A, sizeof read);
    const LightheadData before = read;
    EXPECT_EQ(tkcmdset_get_lighthead_data(slot, &read), TKCMDSET_BAD_LIGHTHEAD_DATA);
    EXPECT_EQ(std::memcmp(&read, &before, sizeof read), 0);

    sim.inject("error 9");
    EXPECT_EQ(tkcmdset_get_lighthead_data(slot, &read), 9);
    EXPECT_EQ(std::memcmp(&read, &before, sizeof read), 0);
}

TEST_F(LightheadOnController, WriteInterruptedBetweenChunksReadsAsBadData) {
    const LightheadData first = sample(1.0f);
    const LightheadData second = sample(3.0f);
    ASSERT_EQ(tkcmdset_set_lighthead_data(slot, &first), TKCMDSET_OK);

    sim.inject("delay 0");
    sim.inject("error 4"); // the second chunk is refused
    EXPECT_EQ(tkcmdset_set_lighthead_data(slot, &second), 4);
    LightheadData read;
    EXPECT_EQ(tkcmdset_get_lighthead_data(slot, &read), TKCMDSET_BAD_LIGHTHEAD_DATA);

    ASSERT_EQ(tkcmdset_set_lighthead_data(slot, &first), TKCMDSET_OK);
    sim.inject("drop"); // the first chunk is written but its reply never comes
    EXPECT_EQ(tkcmdset_set_lighthead_data(slot, &second), TKCMDSET_REPLY_TIMEOUT);
    EXPECT_EQ(tkcmdset_get_lighthead_data(slot, &read), TKCMDSET_BAD_LIGHTHEAD_DATA);
}

// The nearest float to 0.7 tenths or 5 mA lies just below the stored number, so a record read
// and written back unchanged used to lose one unit in about half of all stored numbers.
TEST(DecodeLighthead, ARecordReadAndWrittenBackUnchangedKeepsEveryStoredNumber) {
    const char date[programmed_on_size] = "1-Jan-2027 0:00";
    for (const unsigned stored : {1u, 5u, 7u, 2299u, 2300u, 6245u, 40001u, 65535u}) {
        SCOPED_TRACE(stored);
        image_t image;
        encode_lighthead(zero_record(), date, image);
        for (std::size_t group = 0; group < 4; ++group)
            for (const std::size_t field : {0, 2, 8, 12, 14, 16, 18}) {
                image[group_offset(group) + field] = static_cast<uint8_t>(stored >> 8);
                image[group_offset(group) + field + 1] = static_cast<uint8_t>(stored);
            }
        LightheadData record = zero_record();
        decode_lighthead(image, record);
        image_t written;
        encode_lighthead(record, date, written);
        for (std::size_t group = 0; group < 4; ++group)
            for (const std::size_t field : {0, 2, 8, 12, 14, 16, 18})
                EXPECT_EQ(be16(written + group_offset(group) + field), stored)
                    << "group " << group << ", byte " << field;
    }
}
