// Where the command road differs over USB: block chunks sized by the long reports' counts, and
// identity texts read as device strings. A scripted HID device stands in the slot.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/platform/hid_backend.h"
#include "core/state.h"
#include "core/usb_transport.h"
#include "vortlink.h"

using namespace vortlink;

namespace {

constexpr uint8_t request_id = 1, long_request_id = 2, reply_id = 3, long_reply_id = 4;

// Answers each report with the reply report its opcode calls for; block reads return bytes
// numbered by their address.
class scripted_device final : public platform::hid_device {
  public:
    std::vector<std::vector<uint8_t>> written;
    std::map<uint16_t, std::u16string> strings;

    bool report_lengths(platform::hid_report_lengths &) override { return true; }
    bool find_value_usage(uint16_t, platform::hid_value_report &) override { return false; }
    bool product_string(std::u16string &) override { return false; }
    bool serial_number_string(std::u16string &) override { return false; }
    bool indexed_string(uint16_t index, std::u16string &text, std::size_t max_units) override {
        const auto found = strings.find(index);
        if (found == strings.end())
            return false;
        text = found->second.substr(0, max_units - 1);
        return true;
    }
    bool flush_input() override { return true; }
    platform::hid_io_result write_report(const uint8_t *report, std::size_t length,
                                         uint32_t) override {
        written.emplace_back(report, report + length);
        return platform::hid_io_result::done;
    }
    platform::hid_io_result read_report(uint8_t *buffer, std::size_t length, uint32_t) override {
        const std::vector<uint8_t> &request = written.back();
        const uint8_t opcode = request[1];
        const bool block_read = opcode == 0x53 || opcode == 0x55;
        std::memset(buffer, 0, length);
        buffer[0] = block_read ? long_reply_id : reply_id;
        buffer[1] = opcode;
        if (block_read) {
            const uint32_t address =
                request[2] << 24 | request[3] << 16 | request[4] << 8 | request[5];
            for (unsigned i = 0; i < static_cast<unsigned>(request[6] << 8 | request[7]); ++i)
                buffer[2 + i] = static_cast<uint8_t>(address + i);
        }
        return platform::hid_io_result::done;
    }
    bool send_feature(const uint8_t *, std::size_t) override { return false; }
};

class UsbCommands : public ::testing::Test {
  protected:
    static constexpr uint8_t slot = 11;

    void SetUp() override {
        device = new scripted_device; // the slot owns it; close_hid_slot deletes it
        slot_record &record = state().slots[slot];
        record.hid_device.reset(device);
        record.input_report_length = 65;
        record.output_report_length = 65;
        record.feature_report_length = 0;
        state().slots[slot].reports = {
            {{request_id, 64}, {long_request_id, 64}, {reply_id, 64}, {long_reply_id, 64}, {5, 2}}};
        state().slots[slot].transport = transport_kind::usb;
    }
    void TearDown() override {
        close_hid_slot(slot);
        state().slots[slot].reports = {};
    }

    // Header byte, opcode and count of every report written.
    std::vector<std::vector<unsigned>> chunks() const {
        std::vector<std::vector<unsigned>> found;
        for (const auto &report : device->written)
            found.push_back({report[0], report[1], unsigned(report[6] << 8 | report[7])});
        return found;
    }

    scripted_device *device = nullptr;
};

using chunk_list = std::vector<std::vector<unsigned>>;

} // namespace

TEST_F(UsbCommands, BlockChunksFollowTheLongReportCounts) {
    std::vector<uint8_t> data(128);
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 0x0100, data.data(), 128), TKCMDSET_OK);
    EXPECT_EQ(chunks(),
              (chunk_list{{request_id, 0x55, 62}, {request_id, 0x55, 62}, {request_id, 0x55, 4}}));
    for (unsigned i = 0; i < 128; ++i)
        ASSERT_EQ(data[i], static_cast<uint8_t>(i)) << "byte " << i;

    device->written.clear();
    ASSERT_EQ(tkcmdset_read_mem_block(slot, 0x1000, data.data(), 128), TKCMDSET_OK);
    EXPECT_EQ(chunks(),
              (chunk_list{{request_id, 0x53, 56}, {request_id, 0x53, 56}, {request_id, 0x53, 16}}));

    device->written.clear();
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 0x0200, data.data(), 100), TKCMDSET_OK);
    EXPECT_EQ(chunks(), (chunk_list{{long_request_id, 0x54, 56}, {long_request_id, 0x54, 44}}));
    EXPECT_EQ(std::memcmp(device->written[1].data() + 8, data.data() + 56, 44), 0);
}

TEST_F(UsbCommands, LongReportWithoutRoomForAChunkIsRefused) {
    uint8_t data[8] = {};
    state().slots[slot].reports[usage_index_long_reply].report_count = 2;
    EXPECT_EQ(tkcmdset_read_eemem_block(slot, 0, data, 8), TKCMDSET_BAD_REPORTS);
    state().slots[slot].reports[usage_index_long_reply].report_count = 201;
    EXPECT_EQ(tkcmdset_read_mem_block(slot, 0, data, 8), TKCMDSET_BAD_REPORTS);
    EXPECT_TRUE(device->written.empty());
}

TEST_F(UsbCommands, IdentityTextsAreDeviceStrings) {
    device->strings = {{3, u"QC-2026-00004711"}, {4, u"6400-000731 BOOT"}, {5, u"HW-REV-C"}};
    char text[110];
    ASSERT_EQ(tkcmdset_serial_number(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "QC-2026-00004711");
    ASSERT_EQ(tkcmdset_fw_version(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "6400-000731 BOOT");
    ASSERT_EQ(tkcmdset_hw_version(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "HW-REV-C");
    EXPECT_TRUE(device->written.empty()) << "no exchange: the strings come from the driver";

    device->strings = {{4, std::u16string(150, u'A')}};
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(tkcmdset_fw_version(slot, text), TKCMDSET_OK);
    EXPECT_LE(std::strlen(text), 100u);
    EXPECT_EQ(std::string(text + 101, text + sizeof text), std::string(9, 'x'))
        << "nothing past the 101 bytes callers provide";
    EXPECT_EQ(tkcmdset_hw_version(slot, text), TKCMDSET_NO_STRING);
    EXPECT_STREQ(text, "");
}

TEST_F(UsbCommands, IdentityTextsHoldUpToOneHundredLatin1Characters) {
    const struct {
        std::u16string device;
        std::string expected;
    } cases[] = {
        {std::u16string(99, u'B'), std::string(99, 'B')},
        {std::u16string(100, u'C'), std::string(100, 'C')},
        {std::u16string(101, u'D'), std::string(100, 'D')},
        {u"caf\u00e9", "caf\xe9"},
        {u"A\u0100B\u20ac", "A?B?"}, // the low byte of U+0100 would end the text
        {u"\u0141\u00d8", "?\xd8"},
    };
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.expected);
        device->strings = {{5, entry.device}};
        char text[101];
        std::memset(text, 'x', sizeof text);
        ASSERT_EQ(tkcmdset_hw_version(slot, text), TKCMDSET_OK);
        ASSERT_EQ(strnlen(text, sizeof text), entry.expected.size())
            << "text ends within 101 bytes";
        EXPECT_EQ(std::string(text), entry.expected);
    }
}
