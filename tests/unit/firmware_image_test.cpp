// Image classification, the Ethernet-processor staging, and the header CRCs the boot loader
// checks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "common/crc16.h"
#include "firmware/firmware_image.h"

using namespace vortlink::loader;

namespace {

class FirmwareImage : public ::testing::Test {
  protected:
    FirmwareImage() : bytes(image_area_size, 0xFF), image(bytes.data(), image_area_size) {}

    void sign_ethernet_image() {
        std::memcpy(bytes.data() + ethernet_header::signature_address, ethernet_header::signature,
                    sizeof ethernet_header::signature);
    }

    void set_body(uint32_t lowest, uint32_t start, uint32_t end) {
        uint8_t *header = bytes.data() + lowest;
        for (int i = 0; i < 4; ++i) {
            header[controller_header::body_start_offset + i] =
                static_cast<uint8_t>(start >> (24 - 8 * i));
            header[controller_header::body_end_offset + i] =
                static_cast<uint8_t>(end >> (24 - 8 * i));
        }
    }

    uint16_t crc_over(uint32_t from, uint32_t to_exclusive) const {
        return crc16(std::span<const uint8_t>(bytes.data() + from, to_exclusive - from));
    }

    std::vector<uint8_t> bytes;
    image_span image;
    image_layout layout;
};

} // namespace

TEST(Crc16, IsCrc16Arc) {
    const auto *digits = reinterpret_cast<const uint8_t *>("123456789");
    EXPECT_EQ(crc16({digits, 9}), 0xBB3D);
    EXPECT_EQ(crc16({digits, 0}), 0x0000);
    const uint8_t one = 0x01;
    EXPECT_EQ(crc16({&one, 1}), 0xC0C1);
}

TEST_F(FirmwareImage, ControllerImagesStartOnTheirBlocks) {
    for (uint32_t lowest : {0x10000u, 0x20000u, 0x30000u}) {
        ASSERT_EQ(classify_image(image, lowest, 0x3FFFF, layout), status::ok) << lowest;
        EXPECT_EQ(layout.kind, image_kind::controller);
        EXPECT_EQ(layout.staging_offset, 0u);
    }
    for (uint32_t lowest : {0x18000u, 0x10080u, 0x40000u, 0xFFFFFFFFu})
        EXPECT_EQ(classify_image(image, lowest, 0x3FFFF, layout), status::image_not_recognised)
            << lowest;
    EXPECT_EQ(classify_image(image, 0xFFFFFFFF, 0, layout), status::image_not_recognised)
        << "a file without data";
    EXPECT_EQ(classify_image(image, 0x10000, 0x40000, layout), status::image_not_recognised);
}

TEST_F(FirmwareImage, EthernetImagesNeedTheSignature) {
    EXPECT_EQ(classify_image(image, 0, 0x8FFF, layout), status::image_not_recognised);
    sign_ethernet_image();
    ASSERT_EQ(classify_image(image, 0, 0x8FFF, layout), status::ok);
    EXPECT_EQ(layout.kind, image_kind::ethernet);
    bytes[ethernet_header::signature_address + sizeof ethernet_header::signature - 1] = 0xFF;
    EXPECT_EQ(classify_image(image, 0, 0x8FFF, layout), status::image_not_recognised)
        << "the signature ends with its NUL";
    sign_ethernet_image();
    bytes[ethernet_header::signature_address] = 'k';
    EXPECT_EQ(classify_image(image, 0, 0x8FFF, layout), status::image_not_recognised);
}

TEST_F(FirmwareImage, EthernetStagingFollowsTheImageSize) {
    sign_ethernet_image();
    struct staging {
        uint32_t highest, offset, forward;
    };
    for (const staging s :
         {staging{0x8FFF, 0x30000, 0x30000 | 0x4800}, staging{0xFFFE, 0x30000, 0x30000 | 0x8000},
          staging{0xFFFF, 0x10000, 0x10000 | 0x8000}, staging{0x10000, 0x10000, 0x10000 | 0x8001},
          staging{0x1FFFD, 0x10000, 0x10000 | 0xFFFF}}) {
        ASSERT_EQ(classify_image(image, 0, s.highest, layout), status::ok) << s.highest;
        EXPECT_EQ(layout.staging_offset, s.offset) << s.highest;
        EXPECT_EQ(forward_argument(0, s.highest, layout.staging_offset), s.forward) << s.highest;
    }
    // 0x1FFFF bytes or more would carry the word count, rounded up, into the staging address.
    EXPECT_EQ(classify_image(image, 0, 0x1FFFE, layout), status::image_not_recognised);
    EXPECT_EQ(classify_image(image, 0, 0x1FFFF, layout), status::image_not_recognised);
    EXPECT_EQ(classify_image(image, 0, 0x3FFFF, layout), status::image_not_recognised);
}

TEST_F(FirmwareImage, EthernetHeaderCrcCoversItsHeader) {
    sign_ethernet_image();
    seal_ethernet_header(image);
    EXPECT_EQ(get_u16_be(bytes.data() + 0x500), crc_over(0x502, 0x588));
    EXPECT_NE(get_u16_be(bytes.data() + 0x500), crc_over(0x502, 0x587));
}

TEST_F(FirmwareImage, ControllerHeaderGetsBodyThenHeaderCrc) {
    for (uint32_t i = 0x10000; i < 0x20000; ++i)
        bytes[i] = static_cast<uint8_t>(i * 13 + (i >> 8));
    set_body(0x10000, 0x10100, 0x1F000);
    ASSERT_EQ(seal_controller_header(image, 0x10000), status::ok);
    EXPECT_EQ(get_u16_be(bytes.data() + 0x10052), crc_over(0x10100, 0x1F000));
    EXPECT_EQ(get_u16_be(bytes.data() + 0x10000), crc_over(0x10002, 0x10088))
        << "the header CRC covers the body CRC and the first 8 bytes of the next chunk";

    set_body(0x30000, 0x30100, 0x30100);
    ASSERT_EQ(seal_controller_header(image, 0x30000), status::ok);
    EXPECT_EQ(get_u16_be(bytes.data() + 0x30052), 0) << "the CRC of no bytes";
    set_body(0x30000, 0x30100, 0x40000);
    EXPECT_EQ(seal_controller_header(image, 0x30000), status::ok) << "a body up to the very end";
}

TEST_F(FirmwareImage, BadBodyBoundsLeaveTheImageAlone) {
    struct bounds {
        uint32_t start, end;
        status_t expected;
    };
    for (const bounds b : {bounds{0x40001, 0x40001, status::image_bad_body_start},
                           bounds{0xFFFFFFFF, 0, status::image_bad_body_start},
                           bounds{0x40000, 0x40001, status::image_bad_body_end},
                           bounds{0x20000, 0x1FFFF, status::image_bad_body_end},
                           bounds{0x20000, 0x40001, status::image_bad_body_end}}) {
        set_body(0x20000, b.start, b.end);
        const std::vector<uint8_t> before = bytes;
        EXPECT_EQ(seal_controller_header(image, 0x20000), b.expected) << b.start << " " << b.end;
        EXPECT_TRUE(bytes == before);
    }
}

TEST(ProgressPercent, RoundsDownInUnsigned32Bits) {
    EXPECT_EQ(progress_percent(0x10080, 0x10000, 0x1FFFF), 0u);
    EXPECT_EQ(progress_percent(0x1FF80, 0x10000, 0x1FFFF), 99u);
    EXPECT_EQ(progress_percent(0x3FF80, 0x10000, 0x3FFFF), 99u);
    EXPECT_EQ(progress_percent(0x28000, 0x10000, 0x3FFFF), 50u);
    EXPECT_EQ(progress_percent(0x10000, 0x10000, 0x10000), 0u) << "a one-byte image";
}
