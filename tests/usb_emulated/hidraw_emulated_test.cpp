// The library and quorrelctl over USB as on a machine with controllers plugged in: the hidraw
// backend with its real roots and system calls, redirected by umockdev into usb_testbed, whose
// controllers are quorrel-sim's model. Runs under umockdev-wrapper.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

#include "eeprom_image.h"
#include "support/temp_directory.h"
#include "support/srec_cat.h"
#include "usb_emulated/usb_testbed.h"
#include "vortlink.h"

using vortlink::test::emulated_controller;
using vortlink::test::usb_testbed;

namespace {

constexpr char product[] = "Kv Quorrel Controller";
constexpr auto replug_limit = std::chrono::seconds(10);
constexpr uint8_t slots_used = 4;

using clock_type = std::chrono::steady_clock;

std::string text_of(int16_t (*read)(uint8_t, char *), uint8_t slot, int16_t &status) {
    char text[101] = {};
    status = read(slot, text);
    return text;
}

class HidrawEmulated : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(std::getenv("VORTLINK_HID_SIM"), nullptr)
            << "the hidraw backend, not quorrel-sim's";
    }

    void TearDown() override {
        // Nothing may stay open on the nodes when the testbed goes.
        for (uint8_t slot = 0; slot < slots_used; ++slot)
            tkcmdset_shutdown(slot);
        bed.reset();
    }

    usb_testbed &make(std::vector<emulated_controller> controllers) {
        bed = std::make_unique<usb_testbed>(controllers);
        return *bed;
    }

    std::unique_ptr<usb_testbed> bed;
};

TEST_F(HidrawEmulated, OpensBySlotAndBySerialNumber) {
    make({{}, {"Q0000777"}});
    struct row {
        uint8_t slot;
        const char *serial_asked;
        int16_t status;
        const char *serial_found;
    };
    const row rows[] = {
        {0, nullptr, TKCMDSET_OK, "Q0000001"},
        {1, nullptr, TKCMDSET_OK, "Q0000777"},
        {2, nullptr, TKCMDSET_NO_DEVICE_MATCHED, ""},
        {3, "Q0000777", TKCMDSET_OK, "Q0000777"},
        {2, "Q0000001", TKCMDSET_OK, "Q0000001"},
        {3, "Q0000002", TKCMDSET_NO_DEVICE_MATCHED, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << "slot " << int(r.slot) << " serial "
                                        << (r.serial_asked ? r.serial_asked : "(none)"));
        ASSERT_EQ(tkcmdset_init_ex(r.slot, product, r.serial_asked), r.status);
        int16_t status = -1;
        const std::string serial = text_of(tkcmdset_serial_number, r.slot, status);
        EXPECT_EQ(status, r.status == TKCMDSET_OK ? TKCMDSET_OK : TKCMDSET_NO_USB_DEVICE);
        EXPECT_EQ(serial, r.serial_found);
    }
    auto reached = bed->reached();
    EXPECT_GT(reached["HIDIOCGRDESCSIZE"], 0u);
    EXPECT_GT(reached["HIDIOCGRDESC"], 0u);
    EXPECT_GT(reached["USBDEVFS_CONTROL"], 0u);
}

TEST_F(HidrawEmulated, DescriptorComesFromSysfsWhenTheNodeRefusesItsIoctls) {
    make({{"", false, true}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    uint16_t word = 0xFFFF;
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK) << "report IDs from the sysfs descriptor";
    EXPECT_EQ(bed->reached()["HIDIOCGRDESCSIZE"], 1u);
    EXPECT_EQ(bed->reached()["HIDIOCGRDESC"], 0u);
}

TEST_F(HidrawEmulated, NameAndSerialFromTheUeventOfAHidDeviceOfAnotherBus) {
    make({{"Q0000042", false, false, false}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, "Q0000042"), TKCMDSET_OK);
    uint16_t word = 0xFFFF;
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
    int16_t status = 0;
    EXPECT_EQ(text_of(tkcmdset_fw_version, 0, status), "");
    EXPECT_EQ(status, TKCMDSET_NO_STRING) << "indexed strings need the USB device";
    EXPECT_EQ(bed->reached()["USBDEVFS_CONTROL"], 0u);
}

TEST_F(HidrawEmulated, StatusEchoAndEepromBlockRoundTrip) {
    make({{}});
    bed->controller(0).model.set_status_word(0xA5C3);
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
    EXPECT_EQ(word, 0xA5C3);

    std::vector<uint8_t> data(200), reply(200, 0xEE);
    std::iota(data.begin(), data.end(), uint8_t{1});
    ASSERT_EQ(tkcmdset_echo(0, data.data(), reply.data()), TKCMDSET_OK);
    // The long reports carry 111 bytes of echo data.
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 111, reply.begin()));

    constexpr uint16_t address = 0x2000;
    std::vector<uint8_t> block(300), before(300), after(300);
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7 + 3);
    ASSERT_EQ(tkcmdset_read_eemem_block(0, address, before.data(), 300), TKCMDSET_OK);
    ASSERT_NE(before, block);
    ASSERT_EQ(tkcmdset_write_eemem_block(0, address, block.data(), 300), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_read_eemem_block(0, address, after.data(), 300), TKCMDSET_OK);
    EXPECT_EQ(after, block);

    auto reached = bed->reached();
    EXPECT_GT(reached["write to node"], 4u) << "writes go through the node";
    EXPECT_GT(reached["read"], 4u);
}

TEST_F(HidrawEmulated, IdentityStringsComeFromStringDescriptors) {
    make({{}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    const vortlink::sim::device &unit = bed->controller(0);
    const struct {
        int16_t (*read)(uint8_t, char *);
        std::string expected;
    } rows[] = {
        {tkcmdset_fw_version, unit.model.fw_version()},
        {tkcmdset_hw_version, unit.usb.identity().hw_version},
        {tkcmdset_serial_number, "Q0000001"},
    };
    unsigned transfers = bed->reached()["USBDEVFS_CONTROL"];
    for (const auto &row : rows) {
        int16_t status = -1;
        EXPECT_EQ(text_of(row.read, 0, status), row.expected);
        EXPECT_EQ(status, TKCMDSET_OK);
        const unsigned now = bed->reached()["USBDEVFS_CONTROL"];
        EXPECT_EQ(now, transfers + 2) << "the language list, then the string";
        transfers = now;
    }
}

TEST_F(HidrawEmulated, FeatureResetsIntoTheBootLoaderAndBack) {
    make({{}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    const vortlink::sim::device &unit = bed->controller(0);
    // The first restart is followed by a shutdown, as the utility does; in the second the slot
    // is opened again over the handle of the controller that went away.
    const struct {
        uint16_t code;
        bool shut_down;
        vortlink::sim::firmware_kind running;
        const char *version_prefix;
    } rows[] = {
        {1, true, vortlink::sim::firmware_kind::boot_loader, "6400-000731"},
        {2, false, vortlink::sim::firmware_kind::application, "QRL-APP"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.code);
        const unsigned plugs = bed->plug_count(0);
        ASSERT_EQ(tkcmdset_set_feature(0, row.code), TKCMDSET_OK);
        if (row.shut_down) {
            ASSERT_EQ(tkcmdset_shutdown(0), TKCMDSET_OK);
        }
        ASSERT_TRUE(bed->wait_plugged(0, plugs + 1, replug_limit));
        ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
        EXPECT_EQ(unit.model.running(), row.running);
        int16_t status = -1;
        const std::string version = text_of(tkcmdset_fw_version, 0, status);
        EXPECT_EQ(status, TKCMDSET_OK);
        EXPECT_EQ(version.rfind(row.version_prefix, 0), 0u) << version;
    }
    const auto features = unit.usb.features();
    ASSERT_EQ(features.size(), 2u);
    EXPECT_EQ(features[0], (std::vector<uint8_t>{5, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(features[1], (std::vector<uint8_t>{5, 0, 2, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bed->reached()["HIDIOCSFEATURE"], 2u);
}

struct run_result {
    int exit_status = -1;
    std::string out;
};

// quorrelctl as a user runs it; it inherits the preload and the testbed from this process.
run_result quorrelctl(const std::string &args) {
    const std::string command =
        std::string(QUORRELCTL_PATH) + " " + args + " >ctl.out 2>&1 </dev/null";
    const int status = std::system(command.c_str());
    run_result result;
    if (status != -1 && WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    std::ifstream in("ctl.out");
    std::stringstream text;
    text << in.rdbuf();
    result.out = text.str();
    return result;
}

void put_u32_be(uint8_t *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

void put_u16_be(uint8_t *bytes, uint16_t value) {
    bytes[0] = static_cast<uint8_t>(value >> 8);
    bytes[1] = static_cast<uint8_t>(value);
}

TEST_F(HidrawEmulated, QuorrelctlProgramsAnImageAndRunsTheDiagnostics) {
    make({{"", true}});
    vortlink::test::temp_directory dir;
    // 192 KiB from 0x10000; its header says the body runs from 0x10100 to the end.
    std::vector<uint8_t> image = vortlink::test::known_bytes(0x30000, 16);
    put_u32_be(image.data() + 0x4A, 0x10100);
    put_u32_be(image.data() + 0x4E, 0x40000);
    const std::string path = vortlink::test::srec_cat_convert(
        dir.file("controller.bin"), image, 0x10000, {"-address-length=3", "-obs=16"});
    ASSERT_FALSE(path.empty());

    const run_result program = quorrelctl("--usb 0 program " + path);
    ASSERT_EQ(program.exit_status, 0) << program.out;
    // The loader fills in the body's CRC and then the header's.
    std::vector<uint8_t> expected = image;
    put_u16_be(expected.data() + 0x52,
               vortlink::sim::crc16({expected.data() + 0x100, expected.size() - 0x100}));
    put_u16_be(expected.data(), vortlink::sim::crc16({expected.data() + 2, 134}));
    std::vector<uint8_t> flash;
    ASSERT_TRUE(bed->controller(0).model.read_flash(0x10000, 0x30000, flash));
    EXPECT_TRUE(flash == expected) << "the controller holds the image with both CRCs";

    const run_result reset = quorrelctl("--usb 0 reset application");
    ASSERT_EQ(reset.exit_status, 0) << reset.out;
    const run_result pass = quorrelctl("--usb 0 diag");
    EXPECT_EQ(pass.exit_status, 0) << pass.out;
    EXPECT_NE(pass.out.find("ALL TESTS PASSED"), std::string::npos) << pass.out;
    ASSERT_TRUE(bed->controller(0).model.set_diagnostic_error(2, 5));
    const run_result fail = quorrelctl("--usb 0 diag");
    EXPECT_EQ(fail.exit_status, 1) << fail.out;
    EXPECT_EQ(fail.out.find("ALL TESTS PASSED"), std::string::npos) << fail.out;
}

TEST_F(HidrawEmulated, ControllerUnpluggedDuringAnExchange) {
    make({{}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    bed->unplug_on_next_report(0);
    uint16_t word = 0;
    const auto start = clock_type::now();
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_READ_NOT_STARTED) << "the reply never comes";
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_FLUSH_FAILED) << "the node hung up";
    EXPECT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_NO_DEVICE_MATCHED);
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_NO_USB_DEVICE);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(10)) << "nothing waited it out";

    bed->plug(0);
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
}

TEST_F(HidrawEmulated, StaleInputIsFlushedAndAReplyThatNeverComesTimesOut) {
    make({{}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    // A reply to nothing, waiting in the node's queue: the next exchange discards it first.
    std::vector<uint8_t> stale(64, 0);
    stale[0] = 3;
    stale[1] = 0x7F;
    bed->send_input_report(0, stale);
    const unsigned reads = bed->reached()["read"];
    bed->controller(0).model.set_status_word(0x0102);
    uint16_t word = 0xFFFF;
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
    EXPECT_EQ(word, 0x0102);
    EXPECT_EQ(bed->reached()["read"], reads + 2) << "the stale report, then the reply";

    ASSERT_TRUE(bed->controller(0).faults.push({vortlink::sim::fault_kind::drop}));
    const auto start = clock_type::now();
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_READ_TIMEOUT);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_OK);
}

TEST_F(HidrawEmulated, WriteThatNeverCompletesTimesOut) {
    make({{}});
    ASSERT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_OK);
    bed->stop_taking_reports(0);
    uint16_t word = 0;
    const auto start = clock_type::now();
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_WRITE_TIMEOUT);
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_WRITE_TIMEOUT) << "the first write still waits";

    // Unplugged while the abandoned write still waits for room.
    bed->unplug(0);
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_FLUSH_FAILED);
    EXPECT_EQ(tkcmdset_init_ex(0, product, nullptr), TKCMDSET_NO_DEVICE_MATCHED);
    EXPECT_LT(clock_type::now() - start, std::chrono::seconds(20));
}

} // namespace
