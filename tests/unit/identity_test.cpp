// Identity, echo, diagnostics, special functions and execute over TCP against quorrel-sim.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "commands/lighthead.h"
#include "core/platform/clock.h"
#include "support/simulator_slot.h"

using namespace vortlink;
using vortlink::test::SimulatorSlot;

namespace {

using Identity = SimulatorSlot;

// A controller whose EEPROM is erased: no manufacturing block yet.
class ErasedIdentity : public SimulatorSlot {
  protected:
    ErasedIdentity() : SimulatorSlot({"--erased"}) {}
};

class FirmwareVersion : public SimulatorSlot {
  protected:
    FirmwareVersion() : SimulatorSlot({"--fw-version", "ABCDEFGHIJKLMNOPQRST"}) {}
};

struct text_buffer {
    text_buffer() { std::memset(bytes, 'x', sizeof bytes); }
    char bytes[101];
};

// A manufacturing block as the loader writes it, with its CRC-16 over bytes 2 to 127.
std::vector<uint8_t> mfg_block(const char (&serial)[17], const char (&hw_part)[17]) {
    std::vector<uint8_t> block(eeprom_block_size, 0);
    block[3] = mfg_block_id;
    std::memcpy(block.data() + 6, serial, 16);
    std::memcpy(block.data() + 38, hw_part, 16);
    const uint16_t crc = crc16(block.data() + 2, eeprom_block_size - 2);
    block[0] = static_cast<uint8_t>(crc >> 8);
    block[1] = static_cast<uint8_t>(crc & 0xFF);
    return block;
}

} // namespace

TEST_F(Identity, RequestFrames) {
    uint32_t result = 0;
    std::vector<uint8_t> echo_data(200);
    std::iota(echo_data.begin(), echo_data.end(), uint8_t{1});
    uint8_t echo_reply[200];
    text_buffer text;
    ASSERT_EQ(tkcmdset_run_diags(slot, 3), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_special(slot, 81, 0xCAFEBABE, &result), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_special(slot, 81, 0xCAFEBABE, nullptr), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_execute(slot, 0x00401000), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_fw_version(slot, text.bytes), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_echo(slot, echo_data.data(), echo_reply), TKCMDSET_OK);

    std::vector<uint8_t> echo_frame = {0x00, 0x00};
    echo_frame.insert(echo_frame.end(), echo_data.begin(), echo_data.begin() + 50);
    const std::vector<std::vector<uint8_t>> expected = {
        framed({0x00, 0x03, 0x03}),
        framed({0x00, 0x05, 0x00, 0x51, 0xCA, 0xFE, 0xBA, 0xBE}),
        framed({0x00, 0x05, 0x00, 0x51, 0xCA, 0xFE, 0xBA, 0xBE}),
        framed({0x00, 0x56, 0x00, 0x40, 0x10, 0x00}),
        framed({0x00, 0x01}),
        framed(echo_frame),
    };
    EXPECT_EQ(sim.frames(), expected);
    EXPECT_EQ(std::memcmp(echo_reply, echo_data.data(), 50), 0) << "the echo of the first 50";
}

TEST_F(Identity, FailuresClearWhatTheCommandsClear) {
    uint32_t result = 0xFFFFFFFF;
    ASSERT_EQ(tkcmdset_special(slot, 2064, 0, &result), TKCMDSET_OK);
    EXPECT_EQ(result, 0x00080000u) << "the transfer buffer address replaces the old value";
    result = 0xFFFFFFFF;
    sim.inject("error 6");
    EXPECT_EQ(tkcmdset_special(slot, 2064, 0, &result), 6);
    EXPECT_EQ(result, 0u);
    sim.inject("error 6");
    EXPECT_EQ(tkcmdset_special(slot, 2064, 0, nullptr), 6);

    std::vector<uint8_t> data(200, 0x11);
    std::vector<uint8_t> reply(200, 0xEE);
    sim.inject("error 7");
    EXPECT_EQ(tkcmdset_echo(slot, data.data(), reply.data()), 7);
    EXPECT_EQ(reply[0], 0);
    EXPECT_TRUE(std::all_of(reply.begin() + 1, reply.end(), [](uint8_t b) { return b == 0xEE; }));

    EXPECT_EQ(tkcmdset_run_diags(slot, 9), 3) << "the simulator knows tests 0 to 5 only";
    text_buffer text;
    EXPECT_EQ(tkcmdset_fw_version(50, text.bytes), TKCMDSET_BAD_SLOT);
    EXPECT_EQ(text.bytes[0], 'x') << "refused before anything is touched";
    EXPECT_EQ(tkcmdset_special(50, 1, 0, &result), TKCMDSET_BAD_SLOT);
    EXPECT_EQ(tkcmdset_echo(50, data.data(), reply.data()), TKCMDSET_BAD_SLOT);
    EXPECT_EQ(sim.frames().size(), 5u) << "three specials, echo, run_diags; none for slot 50";
}

TEST_F(Identity, DiagnosticsAndSpecialWaitSixSeconds) {
    sim.inject("delay 2500");
    EXPECT_EQ(tkcmdset_run_diags(slot, 1), TKCMDSET_OK);
    sim.inject("drop");
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(tkcmdset_special(slot, 81, 0, nullptr), TKCMDSET_REPLY_TIMEOUT);
    const uint32_t waited = platform::monotonic_ms() - start;
    EXPECT_GE(waited, 5950u);
    EXPECT_LT(waited, 18000u);
    sim.inject("delay 2500");
    EXPECT_EQ(tkcmdset_execute(slot, 0), TKCMDSET_REPLY_TIMEOUT) << "the others wait 1500 ms";
}

TEST_F(FirmwareVersion, TwentyCharacterTextIsTerminated) {
    text_buffer text;
    ASSERT_EQ(tkcmdset_fw_version(slot, text.bytes), TKCMDSET_OK);
    EXPECT_STREQ(text.bytes, "ABCDEFGHIJKLMNOPQRST");
    sim.inject("error 6");
    EXPECT_EQ(tkcmdset_fw_version(slot, text.bytes), 6);
    EXPECT_STREQ(text.bytes, "");
}

TEST_F(ErasedIdentity, HardwareVersionAndSerialNumberComeFromTheManufacturingBlock) {
    text_buffer hw;
    text_buffer serial;
    EXPECT_EQ(tkcmdset_hw_version(slot, hw.bytes), TKCMDSET_OK) << "erased: no identity yet";
    EXPECT_STREQ(hw.bytes, "");
    EXPECT_EQ(tkcmdset_serial_number(slot, serial.bytes), TKCMDSET_OK);
    EXPECT_STREQ(serial.bytes, "");

    auto block = mfg_block("QC-2026-00004711", "6400-000812-REVB");
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 0, block.data(), 128), TKCMDSET_OK);
    sim.clear_frames();
    EXPECT_EQ(tkcmdset_hw_version(slot, hw.bytes), TKCMDSET_OK);
    EXPECT_STREQ(hw.bytes, "6400-000812-REVB");
    EXPECT_EQ(tkcmdset_serial_number(slot, serial.bytes), TKCMDSET_OK);
    EXPECT_STREQ(serial.bytes, "QC-2026-00004711");
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 4u) << "two EEPROM chunks each";
    EXPECT_EQ(frames[0], framed({0x00, 0x55, 0, 0, 0, 0, 0, 110}));

    sim.inject("error 4");
    EXPECT_EQ(tkcmdset_serial_number(slot, serial.bytes), 4);
    EXPECT_STREQ(serial.bytes, "");

    block[127] ^= 0xFF;
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 0, block.data(), 128), TKCMDSET_OK);
    EXPECT_EQ(tkcmdset_hw_version(slot, hw.bytes), TKCMDSET_OK);
    EXPECT_STREQ(hw.bytes, "") << "CRC-16 mismatch";
}

TEST_F(Identity, SlotNeverOpenedOverUsbHasNoDeviceStrings) {
    constexpr uint8_t usb_slot = 20;
    text_buffer text;
    EXPECT_EQ(tkcmdset_fw_version(usb_slot, text.bytes), TKCMDSET_NO_USB_DEVICE);
    EXPECT_STREQ(text.bytes, "");
    EXPECT_EQ(tkcmdset_hw_version(usb_slot, text.bytes), TKCMDSET_NO_USB_DEVICE);
    EXPECT_EQ(tkcmdset_serial_number(usb_slot, text.bytes), TKCMDSET_NO_USB_DEVICE);
    EXPECT_TRUE(sim.frames().empty()) << "no EEPROM read: the USB road asks the device";
}
