// The single-exchange command families over TCP against quorrel-sim: the exact request frames,
// the unpacking of replies, and what each reader leaves in its out-parameters after a failure.

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <functional>
#include <vector>

#include "simulator_slot.h"

using namespace vortlink;

namespace {

class Commands : public vortlink::test::SimulatorSlot {
  protected:
    // Runs call, which must succeed, and expects exactly this request (its CRC-8 appended).
    void expect_sent(const char *what, const std::function<int16_t()> &call,
                     const std::vector<uint8_t> &frame) {
        SCOPED_TRACE(what);
        sim.clear_frames();
        ASSERT_EQ(call(), TKCMDSET_OK);
        const auto frames = sim.frames();
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], framed(frame));
    }

    // Runs call against an error reply and expects the error number back.
    void fail_with_error(const char *what, const std::function<int16_t()> &call) {
        SCOPED_TRACE(what);
        sim.inject("error 7");
        EXPECT_EQ(call(), 7);
    }
};

} // namespace

TEST_F(Commands, IoAndMemoryRequestFrames) {
    uint16_t word = 0;
    uint8_t byte = 0;
    float volts = 0;
    // Where the controller's frame is one byte longer than the packed fields, that byte is 0.
    expect_sent("set_an_out", [&] { return tkcmdset_set_an_out(slot, 2, 0x1234); },
                {0x00, 0x20, 0x02, 0x12, 0x34, 0x00});
    expect_sent("get_an_out", [&] { return tkcmdset_get_an_out(slot, 3, &word); },
                {0x00, 0x21, 0x03, 0x00});
    expect_sent("get_an_in", [&] { return tkcmdset_get_an_in(slot, 4, &word); },
                {0x00, 0x24, 0x04, 0x00});
    expect_sent("get_volts", [&] { return tkcmdset_get_volts(slot, 5, &volts); },
                {0x00, 0x25, 0x05, 0x00});
    expect_sent("set_dig_out", [&] { return tkcmdset_set_dig_out(slot, 1, 1); },
                {0x00, 0x40, 0x01, 0x01});
    expect_sent("get_dig_out", [&] { return tkcmdset_get_dig_out(slot, 6, &byte); },
                {0x00, 0x41, 0x06});
    expect_sent("get_dig_in", [&] { return tkcmdset_get_dig_in(slot, 7, &byte); },
                {0x00, 0x42, 0x07});
    expect_sent("write_mem", [&] { return tkcmdset_write_mem(slot, 0x00012345, 0xAB); },
                {0x00, 0x50, 0x00, 0x01, 0x23, 0x45, 0xAB, 0x00});
    expect_sent("read_mem", [&] { return tkcmdset_read_mem(slot, 0x00012345, &byte); },
                {0x00, 0x51, 0x00, 0x01, 0x23, 0x45});
    EXPECT_EQ(byte, 0xAB) << "the first of the two reply bytes";
}

TEST_F(Commands, DigitalStatesReadAsZeroOrOne) {
    uint8_t state = 0x55;
    ASSERT_EQ(tkcmdset_set_dig_out(slot, 2, 0x80), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_get_dig_out(slot, 2, &state), TKCMDSET_OK);
    EXPECT_EQ(state, 1);
    ASSERT_EQ(tkcmdset_set_dig_out(slot, 2, 0), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_get_dig_out(slot, 2, &state), TKCMDSET_OK);
    EXPECT_EQ(state, 0);
}

TEST_F(Commands, IoReadersAreClearedExceptReadMem) {
    uint16_t an_out = 0xAAAA;
    uint16_t an_in = 0xAAAA;
    float volts = 1.5f;
    uint8_t dig_out = 0xAA;
    uint8_t dig_in = 0xAA;
    uint8_t memory = 0xAA;
    fail_with_error("get_an_out", [&] { return tkcmdset_get_an_out(slot, 0, &an_out); });
    fail_with_error("get_an_in", [&] { return tkcmdset_get_an_in(slot, 0, &an_in); });
    fail_with_error("get_volts", [&] { return tkcmdset_get_volts(slot, 0, &volts); });
    fail_with_error("get_dig_out", [&] { return tkcmdset_get_dig_out(slot, 0, &dig_out); });
    fail_with_error("get_dig_in", [&] { return tkcmdset_get_dig_in(slot, 0, &dig_in); });
    fail_with_error("read_mem", [&] { return tkcmdset_read_mem(slot, 0, &memory); });
    EXPECT_EQ(an_out, 0);
    EXPECT_EQ(an_in, 0);
    EXPECT_EQ(volts, 0.0f);
    EXPECT_EQ(dig_out, 0);
    EXPECT_EQ(dig_in, 0);
    EXPECT_EQ(memory, 0xAA);

    volts = 1.5f;
    EXPECT_EQ(tkcmdset_get_volts(50, 0, &volts), TKCMDSET_BAD_SLOT);
    EXPECT_EQ(volts, 1.5f) << "a bad slot is refused before anything is cleared";
}
