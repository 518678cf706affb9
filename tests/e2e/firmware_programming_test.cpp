// Programming firmware images made by srec_cat into quorrel-sim's boot loader through
// libvortlink.so, over TCP and over the simulated USB bus: what the controller ends up holding,
// the order of the boot loader commands, the Ethernet-processor hand-over, and a run cut short.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "common/crc16.h"
#include "firmware/programming.h"
#include "support/firmware_write_order.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "support/user_settings.h"
#include "support/srec_cat.h"
#include "vortlink.h"

using namespace vortlink::loader;
using vortlink::test::expected_write_order;
using vortlink::test::known_bytes;
using vortlink::test::simulator_process;
using vortlink::test::temp_directory;

namespace {

enum class road { tcp, usb };

// Over USB the slot is also the controller's position on the bus: the first.
constexpr uint8_t slot = 0;

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

void set_u32_be(uint8_t *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

class FirmwareProgramming : public ::testing::TestWithParam<road> {
  protected:
    FirmwareProgramming()
        : sim(vortlink::test::with_hid, {"--boot-loader", "--ethernet-restart", "1500"}),
          image(image_area_size), image_view(image.data(), image_area_size) {}

    void SetUp() override {
        if (GetParam() == road::tcp) {
            vortlink::test::write_user_settings(sim.tcp_port());
            ASSERT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), TKCMDSET_OK);
        } else {
            setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
            ASSERT_EQ(tkcmdset_init_ex(slot, "Kv Quorrel Controller", nullptr), TKCMDSET_OK);
        }
        ASSERT_EQ(read_transfer_buffer(link, transfer_buffer), status::ok);
        sim.clear_frames();
    }

    void TearDown() override {
        tkcmdset_shutdown(slot);
        unsetenv("VORTLINK_HID_SIM");
    }

    // The special functions the controller received since set-up, as "code param" texts.
    std::vector<std::string> specials_received() {
        const auto frames = GetParam() == road::tcp ? sim.frames() : sim.usb_frames();
        std::vector<std::string> specials;
        for (const auto &frame : frames) {
            if (frame.size() < 8 || frame[1] != 0x05)
                continue;
            char text[32];
            std::snprintf(text, sizeof text, "%u %x", get_u16_be(frame.data() + 2),
                          get_u32_be(frame.data() + 4));
            specials.push_back(text);
        }
        return specials;
    }

    std::vector<uint8_t> controller_bytes(uint32_t address, uint32_t count) {
        char command[64];
        std::snprintf(command, sizeof command, "firmware 1 0x%x %u", address, count);
        const std::string reply = sim.control(command);
        EXPECT_EQ(reply.rfind("ok ", 0), 0u) << reply.substr(0, 80);
        return reply.size() > 3 ? from_hex(reply.substr(3)) : std::vector<uint8_t>{};
    }

    status_t program(const std::string &path) {
        firmware_programmer programmer(link, transfer_buffer, hooks);
        return programmer.program_file(file, path.c_str(), image_view, lowest, highest);
    }

    simulator_process sim;
    temp_directory dir;
    library_link link{slot};
    uint32_t transfer_buffer = 0;
    programming_hooks hooks;
    SRecordFile file;
    std::vector<uint8_t> image;
    image_span image_view;
    uint32_t lowest = 0;
    uint32_t highest = 0;
};

} // namespace

TEST_P(FirmwareProgramming, ControllerImageLandsWithBothCrcs) {
    // 192 KiB from 0x10000 to 0x3FFFF; its header says the body runs from 0x10100 to the end.
    std::vector<uint8_t> file_bytes = known_bytes(0x30000, 11);
    set_u32_be(file_bytes.data() + 0x4A, 0x10100);
    set_u32_be(file_bytes.data() + 0x4E, 0x40000);
    const std::string path = vortlink::test::srec_cat_convert(
        dir.file("controller.bin"), file_bytes, 0x10000, {"-address-length=3", "-obs=16"});
    std::vector<uint32_t> percents;
    hooks.progress = [&](const programming_progress &p) { percents.push_back(p.percent); };

    ASSERT_EQ(program(path), status::ok);
    EXPECT_EQ(lowest, 0x10000u);
    EXPECT_EQ(highest, 0x3FFFFu);

    std::vector<uint8_t> expected = file_bytes;
    put_u16_be(expected.data() + 0x52, crc16({expected.data() + 0x100, expected.size() - 0x100}));
    put_u16_be(expected.data(), crc16({expected.data() + 2, 134}));
    EXPECT_TRUE(controller_bytes(0x10000, 0x30000) == expected)
        << "the controller holds the file with both CRCs filled in";
    char crc_reply[64];
    std::snprintf(crc_reply, sizeof crc_reply, "ok 0x10000 0x3ffff 0x%x", crc16(expected));
    EXPECT_EQ(sim.control("firmware-crc 1"), crc_reply);

    EXPECT_EQ(specials_received(), expected_write_order(0x10000, 0x3FFFF));
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.front(), 0u);
    EXPECT_EQ(percents[percents.size() - 2], 99u);
    EXPECT_EQ(percents.back(), 100u);
}

TEST_P(FirmwareProgramming, EthernetImageIsStagedHandedOverAndPolled) {
    std::vector<uint8_t> file_bytes = known_bytes(0x9000, 12);
    std::memcpy(file_bytes.data() + ethernet_header::signature_address, ethernet_header::signature,
                sizeof ethernet_header::signature);
    const std::string path = vortlink::test::srec_cat_convert(dir.file("ethernet.bin"), file_bytes,
                                                              0, {"-address-length=2"});
    std::vector<uint32_t> waits;
    hooks.wait = [&](uint32_t milliseconds) {
        waits.push_back(milliseconds);
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return status::ok;
    };

    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(program(path), status::ok);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500))
        << "the echo poll waited for the Ethernet processor";
    EXPECT_GT(std::count(waits.begin(), waits.end(), echo_retry_pause_ms), 0);

    std::vector<uint8_t> expected = file_bytes;
    put_u16_be(expected.data() + 0x500, crc16({expected.data() + 0x502, 134}));
    EXPECT_TRUE(controller_bytes(0x30000, 0x9000) == expected) << "staged at 0x30000";
    char ethernet_reply[64];
    std::snprintf(ethernet_reply, sizeof ethernet_reply, "ok ready 1 0x4800 0x%x", crc16(expected));
    EXPECT_EQ(sim.control("ethernet 1"), ethernet_reply);

    const std::vector<std::string> specials = specials_received();
    ASSERT_GE(specials.size(), 3u);
    EXPECT_EQ(specials[0], "2065 30000");
    EXPECT_EQ(specials[1], "2065 30000");
    EXPECT_EQ(specials.back(), "2068 34800");
}

TEST_P(FirmwareProgramming, FailedRunLeavesTheHeaderUnwritten) {
    std::vector<uint8_t> file_bytes = known_bytes(0x10000, 13);
    set_u32_be(file_bytes.data() + 0x4A, 0x20100);
    set_u32_be(file_bytes.data() + 0x4E, 0x30000);
    const std::string path = vortlink::test::srec_cat_convert(
        dir.file("cut.bin"), file_bytes, 0x20000, {"-address-length=4", "-obs=16"});
    bool injected = false;
    hooks.progress = [&](const programming_progress &p) {
        if (p.percent >= 50 && !injected) {
            sim.inject("error 4");
            injected = true;
        }
    };

    EXPECT_EQ(program(path), 4) << "the controller's error number, unchanged";
    EXPECT_FALSE(file.is_open());
    const std::vector<uint8_t> header = controller_bytes(0x20000, chunk_size);
    EXPECT_TRUE(header == std::vector<uint8_t>(chunk_size, 0xFF)) << "no header chunk";
    const std::vector<uint8_t> first_chunk = controller_bytes(0x20080, chunk_size);
    EXPECT_TRUE(std::equal(first_chunk.begin(), first_chunk.end(), file_bytes.begin() + 0x80))
        << "chunks committed before the failure stay";
    const std::vector<std::string> specials = specials_received();
    EXPECT_EQ(std::count(specials.begin(), specials.end(), "2066 20000"), 0);
}

INSTANTIATE_TEST_SUITE_P(Roads, FirmwareProgramming, ::testing::Values(road::tcp, road::usb),
                         [](const ::testing::TestParamInfo<road> &param) {
                             return param.param == road::tcp ? "Tcp" : "Usb";
                         });
