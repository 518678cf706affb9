// The command set end to end over the USB road against quorrel-sim's HID bus: the output report
// each command writes, the unpacking of the reply report, block chunks sized by the long
// reports, identity texts as device strings, and what readers leave after an error reply.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <numeric>
#include <string>
#include <vector>

#include "support/usb_simulator_slot.h"

using namespace vortlink;

namespace {

// A fixed-width text field of the lighthead record: it may fill the field without a terminator.
template <std::size_t width> std::string field_text(const char (&field)[width]) {
    return std::string(field, strnlen(field, width));
}

using bytes = std::vector<uint8_t>;

void append_be32(bytes &out, uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t be32_at(const bytes &report, std::size_t offset) {
    return uint32_t{report[offset]} << 24 | uint32_t{report[offset + 1]} << 16 |
           uint32_t{report[offset + 2]} << 8 | report[offset + 3];
}

class UsbCommandsSim : public vortlink::test::UsbSimulatorSlot {
  protected:
    using UsbSimulatorSlot::UsbSimulatorSlot;

    // Runs call, which must succeed, and expects the output report to start with head.
    void expect_sent(const char *what, const std::function<int16_t()> &call, const bytes &head) {
        SCOPED_TRACE(what);
        sim.clear_frames();
        ASSERT_EQ(call(), TKCMDSET_OK);
        EXPECT_EQ(sole_request_head(head.size()), head);
    }

    // Runs call against an error reply: the code travels high byte first in the reply report.
    void fail_with_error(const char *what, const std::function<int16_t()> &call) {
        SCOPED_TRACE(what);
        sim.inject("error 3");
        EXPECT_EQ(call(), 3);
    }

    // Every output report since the last clear is one chunk of opcode in report_id, at
    // consecutive addresses from address, with these counts; writes carry data from byte 8.
    void expect_chunks(uint8_t report_id, uint8_t opcode, uint32_t address,
                       const std::vector<unsigned> &counts, const uint8_t *written = nullptr) {
        const auto frames = sim.usb_frames();
        sim.clear_frames();
        ASSERT_EQ(frames.size(), counts.size());
        unsigned done = 0;
        for (std::size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE("chunk " + std::to_string(i));
            const bytes &report = frames[i];
            ASSERT_GE(report.size(), 8u + (written ? counts[i] : 0));
            EXPECT_EQ(report[0], report_id);
            EXPECT_EQ(report[1], opcode);
            EXPECT_EQ(be32_at(report, 2), address + done);
            EXPECT_EQ(unsigned(report[6] << 8 | report[7]), counts[i]);
            if (written) {
                EXPECT_TRUE(std::equal(written + done, written + done + counts[i], &report[8]));
            }
            done += counts[i];
        }
    }
};

class UsbIdentity : public UsbCommandsSim {
  protected:
    UsbIdentity()
        : UsbCommandsSim({"--fw-version", "QRL-APP 9.87", "--hw-version", "6400-000999 Rev D",
                          "--serial", "QX-4711"},
                         "QX-4711") {}
};

class UsbLongReportsOf64 : public UsbCommandsSim {
  protected:
    UsbLongReportsOf64() : UsbCommandsSim({"--long-report-count", "64"}) {}
};

bytes pattern(std::size_t length, uint8_t seed) {
    bytes data(length);
    for (std::size_t i = 0; i < length; ++i)
        data[i] = static_cast<uint8_t>(seed + i * 7);
    return data;
}

} // namespace

TEST_F(UsbIdentity, TextsAreDeviceStrings3To5WithoutAnExchange) {
    char text[101];
    ASSERT_EQ(tkcmdset_serial_number(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "QX-4711");
    ASSERT_EQ(tkcmdset_fw_version(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "QRL-APP 9.87");
    // Over TCP this would be the part number of the manufacturing block, without the revision.
    ASSERT_EQ(tkcmdset_hw_version(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "6400-000999 Rev D");
    EXPECT_TRUE(sim.usb_frames().empty());

    sim.inject("serial QX-0815");
    ASSERT_EQ(tkcmdset_serial_number(slot, text), TKCMDSET_OK);
    EXPECT_STREQ(text, "QX-0815") << "read from the device each time";
    sim.inject("serial-unreadable");
    EXPECT_EQ(tkcmdset_serial_number(slot, text), TKCMDSET_NO_STRING);
    EXPECT_STREQ(text, "");
}

TEST_F(UsbCommandsSim, StatusDiagnosticsSpecialAndExecute) {
    sim.inject("status-word 0xA55A");
    uint16_t word = 0;
    expect_sent("status", [&] { return tkcmdset_status(slot, &word); }, {1, 0x02});
    EXPECT_EQ(word, 0xA55A);

    expect_sent("run_diags", [&] { return tkcmdset_run_diags(slot, 3); }, {1, 0x03, 3});
    sim.inject("fail-diag 1 2 5");
    EXPECT_EQ(tkcmdset_run_diags(slot, 2), 5) << "the verdict is the status";
    EXPECT_EQ(tkcmdset_run_diags(slot, 6), 3) << "no such test";

    uint32_t result = 0;
    expect_sent("special", [&] { return tkcmdset_special(slot, 2064, 0xCAFEBABE, &result); },
                {1, 0x05, 0x08, 0x10, 0xCA, 0xFE, 0xBA, 0xBE});
    EXPECT_EQ(result, 0x00080000u) << "the transfer buffer address";
    EXPECT_EQ(tkcmdset_special(slot, 2064, 0, nullptr), TKCMDSET_OK);
    EXPECT_EQ(tkcmdset_special(slot, 2065, 0x10000, &result), 6) << "boot loader only";

    expect_sent("execute", [&] { return tkcmdset_execute(slot, 0x12345678); },
                {1, 0x56, 0x12, 0x34, 0x56, 0x78});
}

TEST_F(UsbCommandsSim, EchoCarriesTheWholeLongReport) {
    bytes data(200);
    std::iota(data.begin(), data.end(), uint8_t{1});
    bytes reply(200, 0xEE);
    ASSERT_EQ(tkcmdset_echo(slot, data.data(), reply.data()), TKCMDSET_OK);
    // The long reports hold 112 bytes: ID or opcode, then 111 bytes of data.
    const bytes request = sole_request();
    ASSERT_GE(request.size(), 113u);
    EXPECT_EQ(request[0], long_request_report);
    EXPECT_EQ(request[1], 0x00);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 111, request.begin() + 2));
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 111, reply.begin()))
        << "more than the 50 bytes a TCP frame carries";
}

TEST_F(UsbLongReportsOf64, EchoCarriesTheWholeLongReport) {
    bytes data(200);
    std::iota(data.begin(), data.end(), uint8_t{101});
    bytes reply(200, 0xEE);
    ASSERT_EQ(tkcmdset_echo(slot, data.data(), reply.data()), TKCMDSET_OK);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 63, reply.begin()));
}

TEST_F(UsbCommandsSim, AnalogDigitalAndMemoryRoundTrips) {
    uint16_t word = 0;
    uint8_t byte = 0;
    float volts = 0;
    expect_sent("set_an_out", [&] { return tkcmdset_set_an_out(slot, 2, 0x1234); },
                {1, 0x20, 2, 0x12, 0x34});
    expect_sent("get_an_out", [&] { return tkcmdset_get_an_out(slot, 2, &word); }, {1, 0x21, 2});
    EXPECT_EQ(word, 0x1234);

    sim.inject("analog-in 1 3 0xABCD");
    expect_sent("get_an_in", [&] { return tkcmdset_get_an_in(slot, 3, &word); }, {1, 0x24, 3});
    EXPECT_EQ(word, 0xABCD);
    sim.inject("analog-in 1 4 1024");
    expect_sent("get_volts", [&] { return tkcmdset_get_volts(slot, 4, &volts); }, {1, 0x25, 4});
    EXPECT_FLOAT_EQ(volts, 2.5f) << "1024 of 4096 steps over 10 V";

    expect_sent("set_dig_out", [&] { return tkcmdset_set_dig_out(slot, 5, 0x80); },
                {1, 0x40, 5, 0x80});
    expect_sent("get_dig_out", [&] { return tkcmdset_get_dig_out(slot, 5, &byte); }, {1, 0x41, 5});
    EXPECT_EQ(byte, 1);
    ASSERT_EQ(tkcmdset_get_dig_out(slot, 4, &byte), TKCMDSET_OK);
    EXPECT_EQ(byte, 0) << "another output";
    sim.inject("digital-in 1 6 0x40");
    expect_sent("get_dig_in", [&] { return tkcmdset_get_dig_in(slot, 6, &byte); }, {1, 0x42, 6});
    EXPECT_EQ(byte, 1);

    expect_sent("write_mem", [&] { return tkcmdset_write_mem(slot, 0x000ABCDE, 0x5A); },
                {1, 0x50, 0x00, 0x0A, 0xBC, 0xDE, 0x5A});
    expect_sent("read_mem", [&] { return tkcmdset_read_mem(slot, 0x000ABCDE, &byte); },
                {1, 0x51, 0x00, 0x0A, 0xBC, 0xDE});
    EXPECT_EQ(byte, 0x5A);
    EXPECT_EQ(tkcmdset_read_mem(slot, 0x00100000, &byte), 4) << "past the 1 MiB memory";
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(UsbCommandsSim, PulseTriggerSupplyAndNetworkRoundTrips) {
    uint32_t width = 0, value32 = 0;
    uint16_t delay = 0, value16 = 0;
    float current = 0, volts = 0;
    uint8_t map_1 = 0, map_2 = 0;

    expect_sent("set_pulse", [&] { return tkcmdset_set_pulse(slot, 1, 0x01020304, 0x0506, 2.5f); },
                {1, 0xA0, 1, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x40, 0x20, 0x00, 0x00});
    expect_sent("get_pulse", [&] { return tkcmdset_get_pulse(slot, 1, &width, &delay, &current); },
                {1, 0xA1, 1});
    EXPECT_EQ(width, 0x01020304u);
    EXPECT_EQ(delay, 0x0506);
    EXPECT_EQ(current, 2.5f);

    expect_sent("set_repeat", [&] { return tkcmdset_set_repeat(slot, 2, 0x0A0B0C0D, 0x0E0F); },
                {1, 0xAB, 2, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
    expect_sent("get_repeat", [&] { return tkcmdset_get_repeat(slot, 2, &value32, &value16); },
                {1, 0xAC, 2});
    EXPECT_EQ(value32, 0x0A0B0C0Du);
    EXPECT_EQ(value16, 0x0E0F);

    expect_sent("set_trigger_map", [&] { return tkcmdset_set_trigger_map(slot, 3, 0x11, 0x22); },
                {1, 0x82, 3, 0x11, 0x22});
    expect_sent("get_trigger_map",
                [&] { return tkcmdset_get_trigger_map(slot, 3, &map_1, &map_2); }, {1, 0x83, 3});
    EXPECT_EQ(map_1, 0x11);
    EXPECT_EQ(map_2, 0x22);
    expect_sent("set_gate_map", [&] { return tkcmdset_set_gate_map(slot, 4, 0x33, 0x44); },
                {1, 0x8B, 4, 0x33, 0x44});
    expect_sent("trigger", [&] { return tkcmdset_trigger(slot, 7); }, {1, 0x88, 7});

    expect_sent("set_hv_supply", [&] { return tkcmdset_set_hv_supply(slot, 5, 150.25f); },
                {1, 0x84, 5, 0x43, 0x16, 0x40, 0x00});
    expect_sent("get_hv_supply", [&] { return tkcmdset_get_hv_supply(slot, 5, &volts); },
                {1, 0x85, 5});
    EXPECT_EQ(volts, 150.25f);
}

// Over TCP the frames of 0x86 and 0x87 have no room for the last byte of volts and the reader's
// index, nor those of 0x89 and 0x8A for the setting and the index; over USB the report carries
// them.
TEST_F(UsbCommandsSim, LowVoltageSupplyAndPulseOutputTakeEveryPackedByte) {
    float volts = 0;
    uint8_t setting = 0xEE;
    bytes lv_head{1, 0x86, 6};
    append_be32(lv_head, std::bit_cast<uint32_t>(12.345f));
    expect_sent(
        "set_lv_supply", [&] { return tkcmdset_set_lv_supply(slot, 6, 12.345f); }, lv_head);
    expect_sent("get_lv_supply", [&] { return tkcmdset_get_lv_supply(slot, 6, &volts); },
                {1, 0x87, 6});
    EXPECT_EQ(std::bit_cast<uint32_t>(volts), std::bit_cast<uint32_t>(12.345f));
    ASSERT_EQ(tkcmdset_get_lv_supply(slot, 0, &volts), TKCMDSET_OK);
    EXPECT_EQ(volts, 0.0f) << "supply 0 was never set";

    expect_sent("set_pulse_out", [&] { return tkcmdset_set_pulse_out(slot, 8, 9); },
                {1, 0x89, 8, 9});
    expect_sent("get_pulse_out", [&] { return tkcmdset_get_pulse_out(slot, 8, &setting); },
                {1, 0x8A, 8});
    EXPECT_EQ(setting, 9);
    ASSERT_EQ(tkcmdset_get_pulse_out(slot, 0, &setting), TKCMDSET_OK);
    EXPECT_EQ(setting, 0) << "output 0 was never set";
}

TEST_F(UsbCommandsSim, NetworkSettingsStartAtTheFactoryValuesAndRoundTrip) {
    uint32_t ip[3] = {};
    uint8_t mac[6] = {};
    expect_sent("get_ip", [&] { return tkcmdset_get_ip(slot, &ip[0], &ip[1], &ip[2]); }, {1, 0xA7});
    EXPECT_EQ(ip[0], 0xC0A80165u) << "192.168.1.101 for serial number 1";
    EXPECT_EQ(ip[1], 0xFFFFFF00u);
    EXPECT_EQ(ip[2], 0xC0A80101u);
    expect_sent("get_mac", [&] { return tkcmdset_get_mac(slot, mac); }, {1, 0xA8});
    EXPECT_EQ(bytes(mac, mac + 6), (bytes{0x02, 0x4C, 0x51, 0x00, 0x00, 0x01}));

    expect_sent("set_ip", [&] { return tkcmdset_set_ip(slot, 0x0A000102, 0xFFFF0000, 0x0A0001FE); },
                {1, 0xA9, 0x0A, 0x00, 0x01, 0x02, 0xFF, 0xFF, 0x00, 0x00, 0x0A, 0x00, 0x01, 0xFE});
    ASSERT_EQ(tkcmdset_get_ip(slot, &ip[0], &ip[1], &ip[2]), TKCMDSET_OK);
    EXPECT_EQ(ip[0], 0x0A000102u);
    EXPECT_EQ(ip[1], 0xFFFF0000u);
    EXPECT_EQ(ip[2], 0x0A0001FEu);
    const uint8_t new_mac[6] = {0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC};
    expect_sent("set_mac", [&] { return tkcmdset_set_mac(slot, new_mac); },
                {1, 0xAA, 0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC});
    ASSERT_EQ(tkcmdset_get_mac(slot, mac), TKCMDSET_OK);
    EXPECT_EQ(bytes(mac, mac + 6), bytes(new_mac, new_mac + 6));
}

TEST_F(UsbCommandsSim, ThermalQueriesOfTheFactoryLighthead) {
    uint32_t temp = 0, max_width = 0, max_current = 0, supply = 0;
    uint16_t freq = 0;
    expect_sent("calc_led_temp",
                [&] { return tkcmdset_calc_led_temp(slot, 0, 1000, 10.0f, &temp); },
                {1, 0xA2, 0, 0x00, 0x00, 0x03, 0xE8, 0x41, 0x20, 0x00, 0x00});
    EXPECT_NEAR(std::bit_cast<float>(temp), 38.8f, 0.1f);
    expect_sent("calc_max_width",
                [&] { return tkcmdset_calc_max_width(slot, 0, 10.0f, &max_width); },
                {1, 0xA3, 0, 0x41, 0x20, 0x00, 0x00});
    EXPECT_NEAR(max_width, 10400.0, 100.0) << "microseconds";
    expect_sent("calc_max_current",
                [&] { return tkcmdset_calc_max_current(slot, 0, 100000, &max_current); },
                {1, 0xA4, 0, 0x00, 0x01, 0x86, 0xA0});
    EXPECT_NEAR(std::bit_cast<float>(max_current), 7.0f, 0.1f);
    expect_sent("calc_max_freq",
                [&] { return tkcmdset_calc_max_freq(slot, 0, 1000, 10.0f, &freq); },
                {1, 0xA5, 0, 0x00, 0x00, 0x03, 0xE8, 0x41, 0x20, 0x00, 0x00});
    EXPECT_EQ(freq, 50) << "the continuous-current limit";
    expect_sent("calc_supply_voltage",
                [&] { return tkcmdset_calc_supply_voltage(slot, 0, 5, 1.0f, &supply); },
                {1, 0xA6, 0, 0x00, 0x00, 0x00, 0x05, 0x3F, 0x80, 0x00, 0x00});
    EXPECT_NEAR(std::bit_cast<float>(supply), 24.8f, 0.1f);
    EXPECT_EQ(tkcmdset_calc_led_temp(slot, 4, 1000, 1.0f, &temp), 3) << "no LED group 4";
}

TEST_F(UsbCommandsSim, ReadersAfterAnErrorReply) {
    uint16_t status_word = 9, an_out = 9, an_in = 9, delay = 9, value16 = 9, freq = 9;
    uint32_t special = 9, width = 9, value32 = 9, ip[3] = {9, 9, 9}, temp = 9;
    float volts = 9, current = 9, hv = 9, lv = 9;
    uint8_t dig_out = 9, dig_in = 9, memory = 9, map_1 = 9, map_2 = 9, setting = 9;
    uint8_t mac[6] = {9, 9, 9, 9, 9, 9};
    bytes data(200, 1), echo(200, 9), block(300, 9);

    fail_with_error("status", [&] { return tkcmdset_status(slot, &status_word); });
    fail_with_error("echo", [&] { return tkcmdset_echo(slot, data.data(), echo.data()); });
    fail_with_error("special", [&] { return tkcmdset_special(slot, 2064, 0, &special); });
    fail_with_error("get_an_out", [&] { return tkcmdset_get_an_out(slot, 0, &an_out); });
    fail_with_error("get_an_in", [&] { return tkcmdset_get_an_in(slot, 0, &an_in); });
    fail_with_error("get_volts", [&] { return tkcmdset_get_volts(slot, 0, &volts); });
    fail_with_error("get_dig_out", [&] { return tkcmdset_get_dig_out(slot, 0, &dig_out); });
    fail_with_error("get_dig_in", [&] { return tkcmdset_get_dig_in(slot, 0, &dig_in); });
    fail_with_error("read_mem", [&] { return tkcmdset_read_mem(slot, 0, &memory); });
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
    fail_with_error("calc_led_temp", [&] { return tkcmdset_calc_led_temp(slot, 0, 1, 1, &temp); });
    fail_with_error("calc_max_freq", [&] { return tkcmdset_calc_max_freq(slot, 0, 1, 1, &freq); });
    fail_with_error("read_eemem_block",
                    [&] { return tkcmdset_read_eemem_block(slot, 0, block.data(), 300); });

    EXPECT_EQ(status_word + special + an_out + an_in + dig_out + dig_in, 0u);
    EXPECT_EQ(width + delay + value32 + value16 + map_1 + map_2, 0u);
    EXPECT_EQ(volts, 0.0f);
    EXPECT_EQ(current, 0.0f);
    EXPECT_EQ(hv, 0.0f);
    EXPECT_EQ(lv, 0.0f);
    EXPECT_EQ(echo[0], 0);
    EXPECT_EQ(std::count(echo.begin() + 1, echo.end(), 9), 199) << "the rest is left alone";
    // These keep what the caller had.
    EXPECT_EQ(memory, 9);
    EXPECT_EQ(setting, 9);
    EXPECT_EQ(ip[0] + ip[1] + ip[2], 27u);
    EXPECT_EQ(std::count(mac, mac + 6, 9), 6);
    EXPECT_EQ(temp, 9u);
    EXPECT_EQ(freq, 9);
    EXPECT_EQ(std::count(block.begin(), block.end(), 9), 300);
}

TEST_F(UsbCommandsSim, BlocksGoInChunksOfTheLongReportCount112) {
    const bytes data = pattern(300, 3);
    bytes back(300, 0);
    ASSERT_EQ(tkcmdset_write_mem_block(slot, 0x00012340, data.data(), 300), TKCMDSET_OK);
    expect_chunks(long_request_report, 0x52, 0x00012340, {104, 104, 92}, data.data());
    ASSERT_EQ(tkcmdset_read_mem_block(slot, 0x00012340, back.data(), 300), TKCMDSET_OK);
    expect_chunks(request_report, 0x53, 0x00012340, {104, 104, 92});
    EXPECT_EQ(back, data);

    const bytes eeprom = pattern(300, 5);
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 0x2000, eeprom.data(), 300), TKCMDSET_OK);
    expect_chunks(long_request_report, 0x54, 0x2000, {104, 104, 92}, eeprom.data());
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 0x2000, back.data(), 300), TKCMDSET_OK);
    expect_chunks(request_report, 0x55, 0x2000, {110, 110, 80});
    EXPECT_EQ(back, eeprom);
}

TEST_F(UsbCommandsSim, FailingChunkKeepsWhatArrived) {
    // The first chunk ends 10 bytes short of the end of memory; the second runs past it.
    constexpr uint32_t address = 0x100000 - 104 - 10;
    const bytes data = pattern(114, 11);
    ASSERT_EQ(tkcmdset_write_mem_block(slot, address, data.data(), 114), TKCMDSET_OK);
    bytes back(200, 0xEE);
    EXPECT_EQ(tkcmdset_read_mem_block(slot, address, back.data(), 200), 4);
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 104, back.begin()));
    EXPECT_EQ(std::count(back.begin() + 104, back.end(), 0xEE), 96);
}

TEST_F(UsbLongReportsOf64, BlocksGoInChunksOfTheLongReportCount64) {
    const bytes data = pattern(300, 17);
    bytes back(300, 0);
    ASSERT_EQ(tkcmdset_write_mem_block(slot, 0x00080000, data.data(), 300), TKCMDSET_OK);
    expect_chunks(long_request_report, 0x52, 0x00080000, {56, 56, 56, 56, 56, 20}, data.data());
    ASSERT_EQ(tkcmdset_read_mem_block(slot, 0x00080000, back.data(), 300), TKCMDSET_OK);
    expect_chunks(request_report, 0x53, 0x00080000, {56, 56, 56, 56, 56, 20});
    EXPECT_EQ(back, data);

    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 0x3000, data.data(), 300), TKCMDSET_OK);
    expect_chunks(long_request_report, 0x54, 0x3000, {56, 56, 56, 56, 56, 20}, data.data());
    ASSERT_EQ(tkcmdset_read_eemem_block(slot, 0x3000, back.data(), 300), TKCMDSET_OK);
    expect_chunks(request_report, 0x55, 0x3000, {62, 62, 62, 62, 52});
    EXPECT_EQ(back, data);
}

namespace {

LedParameters led_group(float vf_offset, int32_t leds_per_string) {
    LedParameters led{};
    led.led_rth = 1.5f;
    led.tau = 2.5f;
    led.vf_slope = 0.5f;
    led.vf_offset = vf_offset;
    led.tj_max = 120.0f;
    led.string_count = 3;
    led.leds_per_string = leds_per_string;
    led.heatsink_rth = 0.5f;
    led.default_current = 1.0f;
    led.max_pulse_current = 12.5f;
    led.max_cont_current = 2.0f;
    return led;
}

void expect_same_group(const LedParameters &got, const LedParameters &want) {
    EXPECT_EQ(got.led_rth, want.led_rth);
    EXPECT_EQ(got.tau, want.tau);
    EXPECT_EQ(got.vf_slope, want.vf_slope);
    EXPECT_EQ(got.vf_offset, want.vf_offset);
    EXPECT_EQ(got.tj_max, want.tj_max);
    EXPECT_EQ(got.string_count, want.string_count);
    EXPECT_EQ(got.leds_per_string, want.leds_per_string);
    EXPECT_EQ(got.heatsink_rth, want.heatsink_rth);
    EXPECT_EQ(got.default_current, want.default_current);
    EXPECT_EQ(got.max_pulse_current, want.max_pulse_current);
    EXPECT_EQ(got.max_cont_current, want.max_cont_current);
}

} // namespace

TEST_F(UsbCommandsSim, LightheadRecordRoundTripReachesTheThermalModel) {
    LightheadData record;
    std::memset(&record, 0xA5, sizeof record);
    ASSERT_EQ(tkcmdset_get_lighthead_data(slot, &record), TKCMDSET_OK);
    expect_chunks(request_report, 0x55, 1024, {110, 18});
    EXPECT_EQ(field_text(record.part_number), "LH-4400-01");
    EXPECT_EQ(field_text(record.programmed_on), "10-Apr-2026 9:30");

    LightheadData written{};
    std::strcpy(written.part_number, "LH-TEST-77");
    for (int group = 0; group < 4; ++group)
        written.led[group] = led_group(3.0f + static_cast<float>(group), 7 - group);
    ASSERT_EQ(tkcmdset_set_lighthead_data(slot, &written), TKCMDSET_OK);
    expect_chunks(long_request_report, 0x54, 1024, {104, 24});

    ASSERT_EQ(tkcmdset_get_lighthead_data(slot, &record), TKCMDSET_OK);
    EXPECT_EQ(field_text(record.part_number), "LH-TEST-77");
    EXPECT_NE(std::string(record.programmed_on, strnlen(record.programmed_on, 20)),
              "10-Apr-2026 9:30")
        << "stamped with the time of the write";
    for (int group = 0; group < 4; ++group) {
        SCOPED_TRACE("group " + std::to_string(group));
        expect_same_group(record.led[group], written.led[group]);
    }
    EXPECT_EQ(std::count(record.reserved, record.reserved + 100, 0xA5), 100);

    // The controller reads the new group 1: 6 LEDs x (4.0 V + 0.5 x 2 A) + 5.0 V overhead.
    uint32_t supply = 0;
    ASSERT_EQ(tkcmdset_calc_supply_voltage(slot, 1, 10, 2.0f, &supply), TKCMDSET_OK);
    EXPECT_FLOAT_EQ(std::bit_cast<float>(supply), 35.0f);

    LightheadData untouched;
    std::memset(&untouched, 0x5C, sizeof untouched);
    record = untouched;
    sim.inject("error 3");
    EXPECT_EQ(tkcmdset_get_lighthead_data(slot, &record), 3);
    EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0);
}
