#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "core/protocol.h"
#include "core/status.h"

using namespace vortlink;
using namespace vortlink::protocol;

namespace {
uint8_t crc_of(const char *text) {
    return crc8(reinterpret_cast<const uint8_t *>(text), static_cast<uint16_t>(std::strlen(text)));
}
} // namespace

TEST(Crc8, CatalogueCheckValues) {
    EXPECT_EQ(crc_of("123456789"), 0xF4);
    EXPECT_EQ(crc_of("abc"), 0x5F);
    EXPECT_EQ(crc8(nullptr, 0), 0x00);
}

TEST(Crc8, SingleBytesAreTheTableEntries) {
    const uint8_t expected[] = {0x00, 0x07, 0x0E, 0x09, 0x1C, 0x1B};
    for (uint8_t i = 0; i < sizeof expected; ++i)
        EXPECT_EQ(crc8(&i, 1), expected[i]) << int(i);
}

TEST(Crc8, StatusRequestFrame) {
    const uint8_t frame[] = {0x00, 0x02};
    EXPECT_EQ(crc8(frame, 2), 0x0E);
}

TEST(Crc8, AppendingTheCrcGivesZero) {
    uint8_t frame[] = {0x12, 0x55, 0x00, 0x40, 0x00, 0x00, 0x00, 0x6E, 0};
    frame[8] = crc8(frame, 8);
    EXPECT_EQ(crc8(frame, 9), 0x00);
}

TEST(Packing, BigEndianLayoutsAndCursorAdvance) {
    uint8_t buffer[16] = {};
    uint8_t *cursor = buffer;
    cursor = put_u8(cursor, 0x01);
    cursor = put_u16_be(cursor, 0x0203);
    cursor = put_u32_be(cursor, 0x04050607);
    cursor = put_f32_be(cursor, 2.0f);
    ASSERT_EQ(cursor - buffer, 11);
    const uint8_t expected[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x40, 0x00, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(buffer, expected, sizeof expected));

    const uint8_t *in = buffer;
    uint8_t byte = 0;
    uint16_t word = 0;
    uint32_t dword = 0;
    uint32_t float_bits = 0;
    in = get_u8(in, byte);
    in = get_u16_be(in, word);
    in = get_u32_be(in, dword);
    in = get_u32_be(in, float_bits);
    EXPECT_EQ(in - buffer, 11);
    EXPECT_EQ(byte, 0x01);
    EXPECT_EQ(word, 0x0203);
    EXPECT_EQ(dword, 0x04050607u);
    EXPECT_EQ(float_bits, 0x40000000u);
}

TEST(Packing, FloatsTravelAsTheirSinglePrecisionBits) {
    uint8_t buffer[4];
    put_f32_be(buffer, 1.5f);
    EXPECT_EQ(buffer[0], 0x3F);
    EXPECT_EQ(buffer[1], 0xC0);
    put_f32_be(buffer, 0.4f);
    const uint8_t expected[] = {0x3E, 0xCC, 0xCC, 0xCD};
    EXPECT_EQ(0, std::memcmp(buffer, expected, 4));
}

TEST(Packing, HighBitsSurvive) {
    uint8_t buffer[4];
    uint32_t value = 0;
    get_u32_be(put_u32_be(buffer, 0xFEDCBA98) - 4, value);
    EXPECT_EQ(value, 0xFEDCBA98u);
    uint16_t word = 0;
    get_u16_be(put_u16_be(buffer, 0xFFFE) - 2, word);
    EXPECT_EQ(word, 0xFFFE);
}

TEST(DescriptorTable, LengthsOfKnownRows) {
    struct row {
        uint8_t opcode;
        uint16_t request;
        uint16_t reply;
    };
    const row rows[] = {{0x00, 50, 50}, {0x01, 0, 20},   {0x02, 0, 2},   {0x05, 6, 4},
                        {0x52, 118, 0}, {0x55, 6, 112},  {0x86, 4, 0},   {0x8A, 0, 1},
                        {0xA1, 1, 11},  {0xA5, 9, 2},    {0xAC, 1, 6},   {0x94, 7, 4}};
    for (const row &r : rows) {
        uint16_t length = 999;
        EXPECT_EQ(lookup_command(r.opcode, true, length), status::ok);
        EXPECT_EQ(length, r.request) << std::hex << int(r.opcode);
        EXPECT_EQ(lookup_command(r.opcode, false, length), status::ok);
        EXPECT_EQ(length, r.reply) << std::hex << int(r.opcode);
    }
}

TEST(DescriptorTable, UnknownOpcodeGivesCodeAndZeroLength) {
    for (uint8_t opcode : {uint8_t{0x06}, uint8_t{0x2A}, uint8_t{0xFF}, uint8_t{0xAD}}) {
        uint16_t length = 7;
        EXPECT_EQ(lookup_command(opcode, true, length), status::unknown_opcode);
        EXPECT_EQ(length, 0);
    }
}

TEST(DescriptorTable, FiftyDistinctRowsThatFitTheFrameBuffers) {
    std::set<uint8_t> opcodes;
    for (const command_descriptor &row : command_table) {
        opcodes.insert(row.opcode);
        // Header, opcode, data and CRC-8 must fit the commands' buffers.
        EXPECT_LE(row.request_length + 3u, frame_buffer_size);
        EXPECT_LE(row.reply_length + 3u, frame_buffer_size);
    }
    EXPECT_EQ(opcodes.size(), command_count);
    EXPECT_EQ(opcodes.count(error_reply_marker), 0u);
}
