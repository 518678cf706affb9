// The single-exchange command families over TCP against quorrel-sim: the exact request frames,
// the unpacking of replies, and what each reader leaves in its out-parameters after a failure.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <utility>
#include <vector>

#include "core/platform/clock.h"
#include "support/simulator_slot.h"

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

TEST_F(Commands, PulseTriggerSupplyAndNetworkFramesAndReadBack) {
    uint32_t width = 0;
    uint16_t delay = 0;
    float current = 0;
    uint32_t value32 = 0;
    uint16_t value16 = 0;
    uint8_t map_1 = 0;
    uint8_t map_2 = 0;
    float volts = 0;
    uint8_t setting = 0;
    uint32_t ip[3] = {};
    uint8_t mac[6] = {};
    const uint8_t new_mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};

    expect_sent("set_pulse", [&] { return tkcmdset_set_pulse(slot, 1, 100, 5, 2.0f); },
                {0x00, 0xA0, 0x01, 0x00, 0x00, 0x00, 0x64, 0x00, 0x05, 0x40, 0x00, 0x00, 0x00});
    expect_sent("get_pulse", [&] { return tkcmdset_get_pulse(slot, 1, &width, &delay, &current); },
                {0x00, 0xA1, 0x01});
    expect_sent("set_repeat", [&] { return tkcmdset_set_repeat(slot, 2, 0x01020304, 0x0506); },
                {0x00, 0xAB, 0x02, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    expect_sent("get_repeat", [&] { return tkcmdset_get_repeat(slot, 2, &value32, &value16); },
                {0x00, 0xAC, 0x02});
    expect_sent("set_trigger_map", [&] { return tkcmdset_set_trigger_map(slot, 1, 0x11, 0x22); },
                {0x00, 0x82, 0x01, 0x11, 0x22});
    expect_sent("get_trigger_map",
                [&] { return tkcmdset_get_trigger_map(slot, 1, &map_1, &map_2); },
                {0x00, 0x83, 0x01});
    expect_sent("set_gate_map", [&] { return tkcmdset_set_gate_map(slot, 3, 0x33, 0x44); },
                {0x00, 0x8B, 0x03, 0x33, 0x44});
    expect_sent("set_hv_supply", [&] { return tkcmdset_set_hv_supply(slot, 1, 150.0f); },
                {0x00, 0x84, 0x01, 0x43, 0x16, 0x00, 0x00});
    expect_sent("get_hv_supply", [&] { return tkcmdset_get_hv_supply(slot, 1, &volts); },
                {0x00, 0x85, 0x01});
    EXPECT_EQ(volts, 150.0f);
    // The controller's frames for 0x86, 0x87, 0x89 and 0x8A are shorter than what is packed.
    expect_sent("set_lv_supply", [&] { return tkcmdset_set_lv_supply(slot, 2, 12.5f); },
                {0x00, 0x86, 0x02, 0x41, 0x48, 0x00});
    expect_sent("get_lv_supply", [&] { return tkcmdset_get_lv_supply(slot, 2, &volts); },
                {0x00, 0x87});
    expect_sent("trigger", [&] { return tkcmdset_trigger(slot, 4); }, {0x00, 0x88, 0x04});
    expect_sent("set_pulse_out", [&] { return tkcmdset_set_pulse_out(slot, 1, 9); },
                {0x00, 0x89, 0x01});
    expect_sent("get_pulse_out", [&] { return tkcmdset_get_pulse_out(slot, 1, &setting); },
                {0x00, 0x8A});
    expect_sent(
        "set_ip", [&] { return tkcmdset_set_ip(slot, 0xC0A80001, 0xFFFFFF00, 0xC0A800FE); },
        {0x00, 0xA9, 0xC0, 0xA8, 0x00, 0x01, 0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xA8, 0x00, 0xFE});
    expect_sent("get_ip", [&] { return tkcmdset_get_ip(slot, &ip[0], &ip[1], &ip[2]); },
                {0x00, 0xA7});
    expect_sent("set_mac", [&] { return tkcmdset_set_mac(slot, new_mac); },
                {0x00, 0xAA, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01});
    expect_sent("get_mac", [&] { return tkcmdset_get_mac(slot, mac); }, {0x00, 0xA8});

    EXPECT_EQ(width, 100u);
    EXPECT_EQ(delay, 5u);
    EXPECT_EQ(current, 2.0f);
    EXPECT_EQ(value32, 0x01020304u);
    EXPECT_EQ(value16, 0x0506u);
    EXPECT_EQ(map_1, 0x11);
    EXPECT_EQ(map_2, 0x22);
    EXPECT_EQ(ip[0], 0xC0A80001u);
    EXPECT_EQ(ip[1], 0xFFFFFF00u);
    EXPECT_EQ(ip[2], 0xC0A800FEu);
    EXPECT_EQ(std::memcmp(mac, new_mac, 6), 0);
}

TEST_F(Commands, PulseAndNetworkReadersClearAllButPulseOutIpAndMac) {
    uint32_t width = 9;
    uint16_t delay = 9;
    float current = 9;
    uint32_t value32 = 9;
    uint16_t value16 = 9;
    uint8_t map_1 = 9;
    uint8_t map_2 = 9;
    float hv = 9;
    float lv = 9;
    uint8_t setting = 9;
    uint32_t ip[3] = {9, 9, 9};
    uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
    fail_with_error("get_pulse",
                    [&] { return tkcmdset_get_pulse(slot, 0, &width, &delay, &current); });
    fail_with_error("get_repeat", [&] { return tkcmdset_get_repeat(slot, 0, &value32, &value16); });
    fail_with_error("get_trigger_map",
                    [&] { return tkcmdset_get_trigger_map(slot, 0, &map_1, &map_2); });
    fail_with_error("get_hv_supply", [&] { return tkcmdset_get_hv_supply(slot, 0, &hv); });
    fail_with_error("get_lv_supply", [&] { return tkcmdset_get_lv_supply(slot, 0, &lv); });
    fail_with_error("get_pulse_out", [&] { return tkcmdset_get_pulse_out(slot, 0, &setting); });
    fail_with_error("get_ip", [&] { return tkcmdset_get_ip(slot, &ip[0], &ip[1], &ip[2]); });
    fail_with_error("get_mac", [&] { return tkcmdset_get_mac(slot, mac); });
    EXPECT_EQ(width + delay + value32 + value16 + map_1 + map_2, 0u);
    EXPECT_EQ(current, 0.0f);
    EXPECT_EQ(hv, 0.0f);
    EXPECT_EQ(lv, 0.0f);
    EXPECT_EQ(setting, 9);
    EXPECT_EQ(ip[0] + ip[1] + ip[2], 27u);
    EXPECT_EQ(std::count(mac, mac + 6, 9), 6);
}

TEST_F(Commands, PulseAndSupplySettersWaitFiveSeconds) {
    const std::pair<const char *, std::function<int16_t()>> setters[] = {
        {"set_pulse", [&] { return tkcmdset_set_pulse(slot, 0, 1, 1, 1.0f); }},
        {"set_repeat", [&] { return tkcmdset_set_repeat(slot, 0, 1, 1); }},
        {"set_hv_supply", [&] { return tkcmdset_set_hv_supply(slot, 0, 1.0f); }},
        {"set_lv_supply", [&] { return tkcmdset_set_lv_supply(slot, 0, 1.0f); }},
    };
    for (const auto &[name, call] : setters) {
        SCOPED_TRACE(name);
        sim.inject("delay 2000");
        EXPECT_EQ(call(), TKCMDSET_OK);
    }
    sim.inject("drop");
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(tkcmdset_set_hv_supply(slot, 0, 1.0f), TKCMDSET_REPLY_TIMEOUT);
    const uint32_t waited = platform::monotonic_ms() - start;
    EXPECT_GE(waited, 4950u);
    EXPECT_LT(waited, 15000u);

    uint32_t width = 0;
    uint16_t delay = 0;
    float current = 0;
    sim.inject("delay 2000");
    EXPECT_EQ(tkcmdset_get_pulse(slot, 0, &width, &delay, &current), TKCMDSET_REPLY_TIMEOUT)
        << "the readers wait 1500 ms";
}

TEST_F(Commands, ThermalQueriesFramesAndResults) {
    constexpr uint32_t untouched = 0xAAAAAAAA;
    uint32_t temp = untouched;
    uint32_t max_width = untouched;
    uint32_t max_current = untouched;
    uint16_t freq[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    uint32_t supply = untouched;
    // Channel 0 is the lighthead's LED group 0, the one the controller has data for.
    expect_sent("calc_led_temp", [&] { return tkcmdset_calc_led_temp(slot, 0, 100, 2.0f, &temp); },
                {0x00, 0xA2, 0x00, 0x00, 0x00, 0x00, 0x64, 0x40, 0x00, 0x00, 0x00});
    expect_sent("calc_max_width",
                [&] { return tkcmdset_calc_max_width(slot, 0, 1.5f, &max_width); },
                {0x00, 0xA3, 0x00, 0x3F, 0xC0, 0x00, 0x00});
    expect_sent("calc_max_current",
                [&] { return tkcmdset_calc_max_current(slot, 0, 0x1000, &max_current); },
                {0x00, 0xA4, 0x00, 0x00, 0x00, 0x10, 0x00});
    expect_sent("calc_max_freq",
                [&] { return tkcmdset_calc_max_freq(slot, 0, 50, 1.0f, &freq[1]); },
                {0x00, 0xA5, 0x00, 0x00, 0x00, 0x00, 0x32, 0x3F, 0x80, 0x00, 0x00});
    expect_sent("calc_supply_voltage",
                [&] { return tkcmdset_calc_supply_voltage(slot, 0, 7, 0.5f, &supply); },
                {0x00, 0xA6, 0x00, 0x00, 0x00, 0x00, 0x07, 0x3F, 0x00, 0x00, 0x00});
    // Each result holds the controller's answer, and only its own bits were written.
    EXPECT_NE(temp, untouched);
    EXPECT_NE(max_width, untouched);
    EXPECT_NE(max_current, untouched);
    EXPECT_NE(supply, untouched);
    EXPECT_EQ(freq[0], 0xAAAA);
    EXPECT_NE(freq[1], 0xAAAA);
    EXPECT_EQ(freq[2], 0xAAAA);

    temp = 123;
    freq[1] = 456;
    fail_with_error("calc_led_temp", [&] { return tkcmdset_calc_led_temp(slot, 1, 1, 1, &temp); });
    fail_with_error("calc_max_freq",
                    [&] { return tkcmdset_calc_max_freq(slot, 1, 1, 1, &freq[1]); });
    EXPECT_EQ(temp, 123u) << "not cleared";
    EXPECT_EQ(freq[1], 456);
}
