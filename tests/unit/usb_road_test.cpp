// The USB road end to end: device search, tkcmdset_init_ex and the USB exchange against the
// simulated HID controllers of a real quorrel-sim process (VORTLINK_HID_SIM).

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "commands/command.h"
#include "core/platform/clock.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/state.h"
#include "core/usb_transport.h"
#include "support/simulator_process.h"
#include "vortlink.h"

using namespace vortlink;
using vortlink::test::simulator_process;
using vortlink::test::with_hid;

namespace {

constexpr const char *product = "Kv Quorrel Controller";

// The simulator's report layout: request 1 (usage 166), long request 2 (167), reply 3 (168),
// long reply 4 (169), feature 5 (170).
constexpr uint8_t request_report = 1;
constexpr uint8_t reply_report = 3;

class UsbRoad : public ::testing::Test {
  protected:
    explicit UsbRoad(std::vector<std::string> args = {"--usb-devices", "2"})
        : sim(with_hid, std::move(args)) {}

    void SetUp() override { setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1); }
    void TearDown() override {
        for (uint8_t slot = 0; slot < 4; ++slot)
            tkcmdset_shutdown(slot);
        unsetenv("VORTLINK_HID_SIM");
    }

    std::string serial_of(uint8_t slot) {
        char text[128] = {};
        EXPECT_EQ(tkcmdset_serial_number(slot, text), status::ok);
        return text;
    }

    simulator_process sim;
};

} // namespace

TEST_F(UsbRoad, SlotsTakeTheControllersInListOrder) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    ASSERT_EQ(tkcmdset_init_ex(1, product, nullptr), status::ok);
    EXPECT_EQ(serial_of(0), "Q0000001");
    EXPECT_EQ(serial_of(1), "Q0000002");
    EXPECT_EQ(state().slots[0].transport, transport_kind::usb);
    EXPECT_EQ(tkcmdset_init_ex(2, product, nullptr), status::no_device_matched);
    EXPECT_EQ(state().slots[2].hid_device, nullptr);
}

TEST_F(UsbRoad, SerialNumberFindsTheSameControllerOnAnySlot) {
    for (uint8_t slot : {uint8_t{0}, uint8_t{3}, uint8_t{49}}) {
        ASSERT_EQ(tkcmdset_init_ex(slot, product, "Q0000002"), status::ok) << int(slot);
        EXPECT_EQ(serial_of(slot), "Q0000002");
        tkcmdset_shutdown(slot);
    }
    EXPECT_EQ(tkcmdset_init_ex(0, product, "Q0000009"), status::no_device_matched);
}

TEST_F(UsbRoad, EmptySerialArgumentCountsAsNone) {
    ASSERT_EQ(tkcmdset_init_ex(1, product, ""), status::ok);
    EXPECT_EQ(serial_of(1), "Q0000002");
}

TEST_F(UsbRoad, ReportTableHoldsTheIdsAndCountsOfTheUsages) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    const auto &reports = state().slots[0].reports;
    EXPECT_EQ(reports[usage_index_request].report_id, 1);
    EXPECT_EQ(reports[usage_index_long_request].report_id, 2);
    EXPECT_EQ(reports[usage_index_reply].report_id, 3);
    EXPECT_EQ(reports[usage_index_long_reply].report_id, 4);
    EXPECT_EQ(reports[usage_index_feature].report_id, 5);
    EXPECT_EQ(reports[usage_index_long_request].report_count, 112);
    EXPECT_EQ(reports[usage_index_long_reply].report_count, 112);
    EXPECT_EQ(state().slots[0].output_report_length, 113);
    EXPECT_EQ(state().slots[0].input_report_length, 113);
}

TEST_F(UsbRoad, StatusTravelsInTheReportsOfUsages166And168) {
    sim.inject("status-word 0x4321");
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    sim.clear_frames();
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(0, &word), status::ok);
    EXPECT_EQ(word, 0x4321);
    const auto frames = sim.usb_frames();
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), 113u) << "a whole output report of the device's length";
    EXPECT_EQ(frames[0][0], request_report);
    EXPECT_EQ(frames[0][1], 0x02);
    EXPECT_TRUE(sim.frames().empty()) << "nothing went over TCP";
}

TEST_F(UsbRoad, ReplyChecksComeInOrder) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    uint16_t word = 0;
    // A reply that is not this request's leaves the slot out of step: the next exchange starts
    // with an echo. An error reply is a whole answer and leaves it in step.
    const struct {
        const char *fault;
        status_t result;
        std::size_t next_reports;
    } cases[] = {{"report-id 4", status::wrong_report_id, 2},
                 {"opcode 0x41", status::wrong_opcode, 2},
                 {"error -12", -12, 1}};
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.fault);
        sim.inject(entry.fault);
        EXPECT_EQ(tkcmdset_status(0, &word), entry.result);
        sim.clear_frames();
        EXPECT_EQ(tkcmdset_status(0, &word), status::ok);
        const auto frames = sim.usb_frames();
        ASSERT_EQ(frames.size(), entry.next_reports);
        EXPECT_EQ(frames.front()[1], entry.next_reports == 2 ? 0x00 : 0x02);
        EXPECT_EQ(frames.back()[1], 0x02);
    }
}

TEST_F(UsbRoad, ErrorReplyIsTakenWhateverItsReportId) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    command_frames frames;
    sim.inject("error 5");
    // Expect the reply in a report the device will not use: the '*' is looked at first.
    frames.request[0] = request_report;
    frames.request[1] = protocol::opcode::status;
    frames.reply[0] = 0x77;
    EXPECT_EQ(usb_exchange(0, frames.request, frames.reply, 1500), 5);
    EXPECT_EQ(frames.reply[0], reply_report);
}

TEST_F(UsbRoad, ReadThatTimesOutEndsWithinTheTimeOut) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    sim.inject("drop");
    uint16_t word = 1;
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(tkcmdset_status(0, &word), status::read_timeout);
    const uint32_t elapsed = platform::monotonic_ms() - start;
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LT(elapsed, 4500u);
    EXPECT_EQ(word, 0);
}

TEST_F(UsbRoad, LateReplyIsFlushedBeforeTheNextRequest) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    sim.inject("delay 1800");
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(0, &word), status::read_timeout);
    ASSERT_EQ(sim.control("wait-replies"), "ok");
    sim.inject("status-word 0x0101");
    EXPECT_EQ(tkcmdset_status(0, &word), status::ok);
    EXPECT_EQ(word, 0x0101) << "the stale reply of the first request is not taken";
}

TEST_F(UsbRoad, PumpKeepsItsTurnsWhileTheReplyIsAwaited) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    int pump_calls = 0;
    tkcmdset_set_message_pump(
        [](void *context) { return ++*static_cast<int *>(context) >= 20 ? 1 : 0; },
        &pump_calls);
    sim.inject("delay 1000");
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(0, &word), status::quit_requested);
    tkcmdset_set_message_pump(nullptr, nullptr);
    EXPECT_EQ(pump_calls, 20);
}

TEST_F(UsbRoad, UsbFailuresAreNotCounted) {
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    uint32_t before = 0;
    ASSERT_EQ(read_setting_dword("CommandFailCount", 0, before), status::ok);
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    sim.inject("error 3");
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(0, &word), 3);
    uint32_t after = 0;
    ASSERT_EQ(read_setting_dword("CommandFailCount", 0, after), status::ok);
    EXPECT_EQ(after, before);
}

TEST_F(UsbRoad, UnpluggedDeviceIsNotFoundAndTheSlotIsLeftClosed) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, "Q0000001"), status::ok);
    sim.inject("unplug 1 0");
    uint16_t word = 0;
    // The flush before the request is the first to find the device gone.
    EXPECT_EQ(tkcmdset_status(0, &word), status::flush_failed);
    EXPECT_EQ(tkcmdset_init_ex(0, product, "Q0000001"), status::no_device_matched);
    EXPECT_EQ(tkcmdset_status(0, &word), status::no_usb_device);
    sim.inject("plug 1");
    EXPECT_EQ(tkcmdset_init_ex(0, product, "Q0000001"), status::ok);
    EXPECT_EQ(tkcmdset_status(0, &word), status::ok);
}

TEST_F(UsbRoad, BadNamesAreRefusedBeforeTheSlotIsTouched) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    const std::string long_name(126, 'K');
    EXPECT_EQ(tkcmdset_init_ex(0, long_name.c_str(), nullptr), status::bad_device_name);
    EXPECT_EQ(tkcmdset_init_ex(0, "", nullptr), status::bad_device_name);
    EXPECT_EQ(tkcmdset_init_ex(0, nullptr, nullptr), status::bad_device_name);
    EXPECT_EQ(tkcmdset_init_ex(0, product, std::string(126, '1').c_str()),
              status::bad_device_name);
    EXPECT_EQ(tkcmdset_init_ex(50, product, nullptr), status::bad_slot);
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(0, &word), status::ok) << "the open device was not closed";
}

TEST_F(UsbRoad, ProductNameMustMatchExactly) {
    EXPECT_EQ(tkcmdset_init_ex(0, "kv quorrel controller", nullptr), status::no_device_matched);
    EXPECT_EQ(tkcmdset_init_ex(0, "Kv Quorrel", nullptr), status::no_device_matched);
}

TEST_F(UsbRoad, DeviceWithEmptySerialIsTakenAtOnce) {
    sim.inject("device 2 serial-empty");
    ASSERT_EQ(tkcmdset_init_ex(3, product, nullptr), status::ok);
    char text[128] = {};
    EXPECT_EQ(tkcmdset_serial_number(3, text), status::ok);
    EXPECT_STREQ(text, "");
    sim.inject("device 1 serial-unreadable");
    EXPECT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    EXPECT_EQ(tkcmdset_serial_number(0, text), status::ok);
    EXPECT_STREQ(text, "") << "the first readable candidate is the empty-serial device";
}

TEST_F(UsbRoad, MissingUsageKeepsTheDeviceAndThePreviousTransport) {
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(0, 0, "127.0.0.1"), status::ok);
    sim.inject("feature-usage off");
    EXPECT_EQ(tkcmdset_init_ex(0, product, "Q0000001"), status::bad_reports);
    EXPECT_NE(state().slots[0].hid_device, nullptr) << "the device stays open";
    EXPECT_EQ(state().slots[0].transport, transport_kind::tcp);
    sim.clear_frames();
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(0, &word), status::ok);
    EXPECT_EQ(sim.frames().size(), 1u) << "commands still go over TCP";
}

TEST_F(UsbRoad, FeatureCodesAreMappedAndSentInTheFeatureReport) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    // Codes 1 and 2 would restart the controller; 3 and others leave it running.
    EXPECT_EQ(tkcmdset_set_feature(0, 103), status::ok);
    EXPECT_EQ(tkcmdset_set_feature(0, 4), status::ok);
    const auto features = sim.features();
    ASSERT_EQ(features.size(), 2u);
    ASSERT_GE(features[0].size(), 3u);
    EXPECT_EQ(features[0][0], 5);
    EXPECT_EQ(features[0][1], 0x00);
    EXPECT_EQ(features[0][2], 0x03);
    EXPECT_EQ(features[1][2], 0x04);
    EXPECT_EQ(features[0].size(), state().slots[0].feature_report_length);
}

TEST_F(UsbRoad, FeatureOnATcpSlotHasNoUsbDevice) {
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(6, 0, "127.0.0.1"), status::ok);
    EXPECT_EQ(tkcmdset_set_feature(6, 1), status::no_usb_device);
    EXPECT_EQ(tkcmdset_set_feature(50, 1), status::bad_slot);
    EXPECT_TRUE(sim.features().empty());
}

TEST_F(UsbRoad, DeviceStringsAreNarrowedAndTerminated) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    char text[200];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(usb_read_string(0, 3, text, 200), status::ok);
    EXPECT_STREQ(text, "Q0000001");
    EXPECT_EQ(text[199], '\0');
    ASSERT_EQ(usb_read_string(0, 3, text, 6), status::ok);
    EXPECT_STREQ(text, "Q0") << "room for length / 2 units, terminator included";
    EXPECT_EQ(usb_read_string(1, 3, text, 200), status::no_usb_device);
}

namespace {
class QuickRestarts : public UsbRoad {
  protected:
    QuickRestarts() : UsbRoad({"--restart-delay", "300"}) {}

    // The controller comes back on the bus after its restart; poll for it with a deadline.
    status_t reopen(uint8_t slot) {
        status_t result = status::no_device_matched;
        for (int attempt = 0; attempt < 100 && result != status::ok; ++attempt) {
            platform::sleep_ms(50);
            result = tkcmdset_init_ex(slot, product, nullptr);
        }
        return result;
    }
    std::string firmware(uint8_t slot) {
        char text[128] = {};
        EXPECT_EQ(tkcmdset_fw_version(slot, text), status::ok);
        return text;
    }
};

class ShortLongReports : public UsbRoad {
  protected:
    ShortLongReports() : UsbRoad({"--long-report-count", "8"}) {}
};
class LongReportsOf180 : public UsbRoad {
  protected:
    LongReportsOf180() : UsbRoad({"--long-report-count", "180"}) {}
};
class LongReportsOf64 : public UsbRoad {
  protected:
    LongReportsOf64() : UsbRoad({"--long-report-count", "64"}) {}
};
} // namespace

TEST_F(QuickRestarts, FeatureCodesSwitchBetweenBootLoaderAndApplication) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    EXPECT_EQ(firmware(0).rfind("6400-000731", 0), std::string::npos);
    ASSERT_EQ(tkcmdset_set_feature(0, 101), status::ok);
    ASSERT_EQ(reopen(0), status::ok);
    EXPECT_EQ(firmware(0).rfind("6400-000731", 0), 0u) << firmware(0);
    ASSERT_EQ(tkcmdset_set_feature(0, 2), status::ok);
    ASSERT_EQ(reopen(0), status::ok);
    EXPECT_EQ(firmware(0).rfind("6400-000731", 0), std::string::npos);
}

TEST_F(ShortLongReports, DeviceWithoutRoomForBlockDataIsRefused) {
    EXPECT_EQ(tkcmdset_init_ex(0, product, nullptr), status::bad_reports);
    EXPECT_EQ(state().slots[0].hid_device, nullptr);
}

TEST_F(LongReportsOf64, BlockChunksFollowTheReportCount) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    uint8_t data[128];
    sim.clear_frames();
    ASSERT_EQ(tkcmdset_read_eemem_block(0, 1024, data, 128), status::ok);
    const auto frames = sim.usb_frames();
    ASSERT_EQ(frames.size(), 3u) << "62 + 62 + 4";
    EXPECT_EQ(frames[0][7], 62);
    EXPECT_EQ(frames[2][7], 4);
}

TEST_F(LongReportsOf180, ChunksLargerThanTheTcpFieldTravelWhole) {
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), status::ok);
    uint8_t written[400];
    for (unsigned i = 0; i < sizeof written; ++i)
        written[i] = static_cast<uint8_t>(i * 7 + 1);
    ASSERT_EQ(tkcmdset_write_mem_block(0, 0x1000, written, sizeof written), status::ok);
    uint8_t read[400] = {};
    sim.clear_frames();
    ASSERT_EQ(tkcmdset_read_mem_block(0, 0x1000, read, sizeof read), status::ok);
    EXPECT_EQ(0, std::memcmp(written, read, sizeof read));
    const auto frames = sim.usb_frames();
    ASSERT_EQ(frames.size(), 3u) << "172 + 172 + 56";
    EXPECT_EQ(frames[0][7], 172);
}

// Three controllers that answer every identity request 1.9 s late (each within its own limit):
// without a bound on the whole search, looking for the third would take some 23 s.
TEST(UsbSearch, EndsWithinItsLimitWhenEveryDeviceStallsEachStep) {
    simulator_process sim(with_hid, {"--usb-devices", "3"});
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    const struct {
        uint32_t stall_ms;
        status_t result;
        uint32_t upper_ms;
    } cases[] = {
        {1900, status::no_device_matched, 7000}, // the 5 s search limit, and margin
        {150, status::ok, 7000},                 // slow devices that fit are still found
    };
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.stall_ms);
        for (int device = 1; device <= 3; ++device)
            sim.inject("stall " + std::to_string(device) + " " + std::to_string(entry.stall_ms));
        const uint32_t start = platform::monotonic_ms();
        EXPECT_EQ(tkcmdset_init_ex(4, product, "Q0000003"), entry.result);
        EXPECT_LT(platform::monotonic_ms() - start, entry.upper_ms);
        tkcmdset_shutdown(4);
    }
    unsetenv("VORTLINK_HID_SIM");
}
