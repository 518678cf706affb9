// The C++ binding vortlink.hpp against quorrel-sim: one row per method, then what the handle,
// the errors and the hooks promise.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "support/simulator_process.h"
#include "support/user_settings.h"
#include "vortlink.hpp"

namespace {

using vortlink::controller;
using vortlink::test::simulator_process;

template <typename Bytes> std::string hex(const Bytes &bytes) {
    std::string text;
    char digits[3];
    for (uint8_t byte : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", byte);
        text += digits;
    }
    return text;
}

std::string str(double value, const char *format = "%g") {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string last_frame(simulator_process &s) { return hex(s.frames().back()); }

int16_t failure(const std::function<void()> &call) {
    try {
        call();
    } catch (const vortlink::error &e) {
        return e.status();
    }
    return 0;
}

struct row {
    const char *method;
    bool usb;
    std::function<std::string(controller &, simulator_process &)> call;
    std::string expected;
};

vortlink::echo_block counting() {
    vortlink::echo_block block{};
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i + 1);
    return block;
}

std::string lighthead_written(controller &c) {
    vortlink::lighthead_record record = c.get_lighthead_data();
    record.part_number = "LH-TEST-16-BYTES";
    record.led[1].led_rth = 1.5f;
    c.set_lighthead_data(record);
    const vortlink::lighthead_record again = c.get_lighthead_data();
    return again.part_number + " " + str(again.led[1].led_rth);
}

constexpr bool usb = true, tcp = false;
const std::vector<uint8_t> pattern_512 = [] {
    std::vector<uint8_t> bytes(512);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i);
    return bytes;
}();

const std::vector<row> rows = {
    {"tcp", tcp, [](controller &c, auto &) { return c.serial_number(); }, "Q0000001"},
    {"usb", usb, [](controller &c, auto &) { return c.fw_version(); }, "QRL-APP 1.04"},
    {"usb_serial", usb, [](controller &, auto &) {
         return controller::usb_serial("Q0000001", 2).hw_version(); }, "6400-000850 Rev B"},
    {"reopen", usb, [](controller &c, auto &) { c.reopen(); return c.serial_number(); }, "Q0000001"},
    {"close", usb, [](controller &c, auto &) {
         c.close();
         uint16_t word = 0;
         return std::to_string(tkcmdset_status(0, &word)) + (c.is_open() ? " open" : " closed");
     }, std::to_string(TKCMDSET_NO_USB_DEVICE) + " closed"},
    {"set_feature", usb, [](controller &c, auto &s) {
         c.set_feature(7); return hex(s.features().at(0)).substr(0, 6); }, "050007"},
    {"status", tcp, [](controller &c, auto &) { return std::to_string(c.status()); }, "4660"},
    {"fw_version", tcp, [](controller &c, auto &) { return c.fw_version(); }, "QRL-APP 1.04"},
    {"hw_version", tcp, [](controller &c, auto &) { return c.hw_version(); }, "6400-000850"},
    {"serial_number", usb, [](controller &c, auto &) { return c.serial_number(); }, "Q0000001"},
    {"echo", usb, [](controller &c, auto &) { return hex(c.echo(counting())).substr(0, 200); },
     hex(counting()).substr(0, 200)},
    {"run_diags", tcp, [](controller &c, auto &s) {
         s.inject("fail-diag 1 2 5");
         return std::to_string(failure([&] { c.run_diags(2); })); }, "5"},
    {"special", tcp, [](controller &c, auto &) { return std::to_string(c.special(81)); }, "4400123"},
    {"execute", tcp, [](controller &c, auto &s) {
         c.execute(0x12345678); return last_frame(s).substr(2, 10); }, "5612345678"},
    {"set_an_out", tcp, [](controller &c, auto &) {
         c.set_an_out(3, 0xBEEF); return std::to_string(c.get_an_out(3)); }, "48879"},
    {"get_an_out", usb, [](controller &c, auto &) {
         c.set_an_out(4, 77); return std::to_string(c.get_an_out(4)); }, "77"},
    {"get_an_in", tcp, [](controller &c, auto &s) {
         s.inject("analog-in 1 2 1000"); return std::to_string(c.get_an_in(2)); }, "1000"},
    {"get_volts", tcp, [](controller &c, auto &) { return str(c.get_volts(5)); }, "5"},
    {"set_dig_out", tcp, [](controller &c, auto &) {
         c.set_dig_out(2, true); return std::to_string(c.get_dig_out(2)); }, "1"},
    {"get_dig_out", tcp, [](controller &c, auto &) { return std::to_string(c.get_dig_out(9)); }, "0"},
    {"get_dig_in", tcp, [](controller &c, auto &s) {
         s.inject("digital-in 1 4 7"); return std::to_string(c.get_dig_in(4)); }, "1"},
    {"write_mem", tcp, [](controller &c, auto &) {
         c.write_mem(0xFFFFF, 0x5A); return std::to_string(c.read_mem(0xFFFFF)); }, "90"},
    {"read_mem", usb, [](controller &c, auto &) {
         c.write_mem(0x10, 0xA5); return std::to_string(c.read_mem(0x10)); }, "165"},
    {"write_mem_block", tcp, [](controller &c, auto &) {
         c.write_mem_block(0x2000, pattern_512);
         return hex(c.read_mem_block(0x2000, 512)); }, hex(pattern_512)},
    {"read_mem_block", usb, [](controller &c, auto &) {
         return hex(c.read_mem_block(0x70000, 300)); }, std::string(600, '0')},
    {"write_eemem_block", usb, [](controller &c, auto &) {
         c.write_eemem_block(0x8000, std::vector<uint8_t>(250, 0x11));
         return hex(c.read_eemem_block(0x7FFF, 252)); }, "ff" + std::string(500, '1') + "ff"},
    {"read_eemem_block", tcp, [](controller &c, auto &) {
         return hex(c.read_eemem_block(1024, 300)).substr(4, 12); }, "000501000f07"},
    {"set_pulse", tcp, [](controller &c, auto &) {
         c.set_pulse(1, {1000, 20, 2.5f});
         const vortlink::pulse p = c.get_pulse(1);
         return std::to_string(p.width) + " " + std::to_string(p.delay) + " " + str(p.current);
     }, "1000 20 2.5"},
    {"get_pulse", usb, [](controller &c, auto &) {
         const vortlink::pulse p = c.get_pulse(200);
         return std::to_string(p.width) + " " + std::to_string(p.delay) + " " + str(p.current);
     }, "0 0 0"},
    {"set_repeat", tcp, [](controller &c, auto &) {
         c.set_repeat(1, {100000, 7});
         const vortlink::repeat r = c.get_repeat(1);
         return std::to_string(r.value32) + " " + std::to_string(r.value16); }, "100000 7"},
    {"get_repeat", usb, [](controller &c, auto &) {
         const vortlink::repeat r = c.get_repeat(9);
         return std::to_string(r.value32) + " " + std::to_string(r.value16); }, "0 0"},
    {"set_trigger_map", tcp, [](controller &c, auto &) {
         c.set_trigger_map(2, {3, 4});
         const vortlink::map_pair m = c.get_trigger_map(2);
         return std::to_string(m.map_1) + " " + std::to_string(m.map_2); }, "3 4"},
    {"get_trigger_map", usb, [](controller &c, auto &) {
         const vortlink::map_pair m = c.get_trigger_map(250);
         return std::to_string(m.map_1) + " " + std::to_string(m.map_2); }, "0 0"},
    {"set_gate_map", tcp, [](controller &c, auto &s) {
         c.set_gate_map(2, {5, 6}); return last_frame(s).substr(2, 8); }, "8b020506"},
    {"set_hv_supply", tcp, [](controller &c, auto &) {
         c.set_hv_supply(1, 120.5f); return str(c.get_hv_supply(1)); }, "120.5"},
    {"get_hv_supply", usb, [](controller &c, auto &) { return str(c.get_hv_supply(7)); }, "0"},
    {"set_lv_supply", usb, [](controller &c, auto &) {
         c.set_lv_supply(3, 12.25f); return str(c.get_lv_supply(3)); }, "12.25"},
    {"get_lv_supply", tcp, [](controller &c, auto &) { return str(c.get_lv_supply(0)); }, "0"},
    {"trigger", tcp, [](controller &c, auto &s) {
         c.trigger(3); return last_frame(s).substr(2, 4); }, "8803"},
    {"set_pulse_out", usb, [](controller &c, auto &) {
         c.set_pulse_out(2, 7); return std::to_string(c.get_pulse_out(2)); }, "7"},
    {"get_pulse_out", tcp, [](controller &c, auto &) { return std::to_string(c.get_pulse_out(0)); }, "0"},
    {"set_ip", tcp, [](controller &c, auto &) {
         c.set_ip({0x0A000005, 0xFF000000, 0x0A000001});
         const vortlink::ip_settings ip = c.get_ip();
         return std::to_string(ip.ip_1) + " " + std::to_string(ip.ip_2) + " " +
                std::to_string(ip.ip_3); }, "167772165 4278190080 167772161"},
    {"get_ip", usb, [](controller &c, auto &) { return std::to_string(c.get_ip().ip_2); },
     std::to_string(0xFFFFFF00u)},
    {"set_mac", tcp, [](controller &c, auto &) {
         c.set_mac({0x02, 0, 0, 0xAA, 0xBB, 0xCC}); return hex(c.get_mac()); }, "020000aabbcc"},
    {"get_mac", usb, [](controller &c, auto &) { return hex(c.get_mac()); }, "024c51000001"},
    {"set_lighthead_data", tcp, [](controller &c, auto &) { return lighthead_written(c); },
     "LH-TEST-16-BYTES 1.5"},
    {"get_lighthead_data", usb, [](controller &c, auto &) {
         return c.get_lighthead_data().part_number; }, "LH-4400-01"},
    {"calc_led_temp", tcp, [](controller &c, auto &) {
         return str(c.calc_led_temp(0, 1000, 10.0f), "%.1f"); }, "38.8"},
    {"calc_max_width", tcp, [](controller &c, auto &) {
         return std::to_string((c.calc_max_width(0, 10.0f) + 50) / 100); }, "104"},
    {"calc_max_current", usb, [](controller &c, auto &) {
         return str(c.calc_max_current(0, 100000), "%.1f"); }, "7.0"},
    {"calc_max_freq", tcp, [](controller &c, auto &) {
         return std::to_string(c.calc_max_freq(0, 1000, 10.0f)); }, "50"},
    {"calc_supply_voltage", tcp, [](controller &c, auto &) {
         return str(c.calc_supply_voltage(0, 1000, 1.0f), "%.1f"); }, "24.8"},
};

// A fresh simulator for each test, so that no row sees what another left behind.
class BindingSim : public ::testing::Test {
  protected:
    void SetUp() override {
        vortlink::test::write_user_settings(sim.tcp_port());
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    }
    static controller open(bool over_usb) {
        return over_usb ? controller::usb(0) : controller::tcp("127.0.0.1", 1);
    }
    simulator_process sim{vortlink::test::with_hid, {"--status-word", "0x1234"}};
};

class Binding : public BindingSim, public ::testing::WithParamInterface<row> {};

TEST_P(Binding, EachMethodReachesTheController) {
    controller c = open(GetParam().usb);
    EXPECT_EQ(GetParam().call(c, sim), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Methods, Binding, ::testing::ValuesIn(rows),
                         [](const auto &row_info) { return std::string(row_info.param.method); });

// Every export that takes a slot has its method: named as the export without tkcmdset_, or the
// factory or close() that calls it.
TEST(BindingCoverage, EveryCommandOfTheHeaderHasARow) {
    std::ifstream header(VORTLINK_HEADER_PATH);
    std::stringstream text;
    text << header.rdbuf();
    const std::string source = text.str();
    const std::regex declaration(R"(VORTLINK_API\s+int16_t\s+tkcmdset_(\w+)\(uint8_t slot)");
    const std::map<std::string, std::string> by_other_name = {
        {"connect", "tcp"}, {"init_ex", "usb"}, {"shutdown", "close"}};
    std::set<std::string> methods;
    for (const row &r : rows)
        methods.insert(r.method);
    int commands = 0;
    for (std::sregex_iterator it(source.begin(), source.end(), declaration), end; it != end;
         ++it, ++commands) {
        const std::string name = (*it)[1];
        EXPECT_EQ(methods.count(by_other_name.count(name) ? by_other_name.at(name) : name), 1u)
            << name;
    }
    EXPECT_EQ(commands, 50);
}

TEST_F(BindingSim, AFailureThrowsTheStatusWithTheCatalogueWords) {
    controller c = open(tcp);
    sim.inject("error 4");
    try {
        (void)c.status();
        FAIL() << "no exception";
    } catch (const vortlink::error &e) {
        EXPECT_EQ(e.status(), 4);
        EXPECT_STREQ(e.what(), "ERROR (4) : Address Out of Range");
        EXPECT_EQ(e.name(), "Address Out of Range");
        EXPECT_EQ(e.text(), vortlink::error_text(4));
        EXPECT_NE(e.text(), "No further information");
        EXPECT_EQ(e.code(), vortlink::make_error_code(4));
        EXPECT_STREQ(e.code().category().name(), "vortlink");
    }
    sim.inject("close");
    EXPECT_EQ(failure([&] { (void)c.get_an_in(0); }), TKCMDSET_REPLY_TIMEOUT);
    EXPECT_EQ(vortlink::error_name(-10803), "Network Reply Timeout");
    EXPECT_EQ(vortlink::dll_version(), (VORTLINK_TEST_MAJOR << 8) | VORTLINK_TEST_MINOR);
}

TEST_F(BindingSim, AHandleOwnsItsSlotUntilItIsMovedOrDestroyed) {
    controller first = open(usb);
    EXPECT_THROW(controller::usb(0), std::logic_error);
    controller second = std::move(first);
    EXPECT_FALSE(first.is_open());
    EXPECT_THROW(first.status(), std::logic_error);
    EXPECT_EQ(second.status(), 0x1234);
    { const controller gone = std::move(second); }
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(0, &word), TKCMDSET_NO_USB_DEVICE);
    EXPECT_EQ(failure([] { controller::tcp("127.0.0.1", 50); }), TKCMDSET_BAD_TCP_SLOT);
    EXPECT_EQ(open(usb).status(), 0x1234);
}

TEST_F(BindingSim, WhatCannotBeSentIsRefusedBeforeAnyFrame) {
    controller c = open(tcp);
    sim.clear_frames();
    EXPECT_THROW(c.read_mem_block(0, 0x10000), std::length_error);
    EXPECT_THROW(c.write_eemem_block(0, std::vector<uint8_t>(0x10000)), std::length_error);
    vortlink::lighthead_record record;
    record.part_number = std::string(17, 'x');
    EXPECT_THROW(c.set_lighthead_data(record), std::length_error);
    EXPECT_TRUE(sim.frames().empty());
}

TEST_F(BindingSim, HooksSeeTheirThreadsCallsAndTheirExceptionsComeBack) {
    controller c = open(tcp);
    std::vector<std::pair<vortlink::progress_kind, uint32_t>> seen;
    vortlink::set_progress_handler([&](auto kind, uint32_t address) {
        seen.emplace_back(kind, address);
        if (address == 110)
            throw std::runtime_error("handler failed");
    });
    for (int chunk = 0; chunk < 3; ++chunk) // chunks further apart than the 100 ms throttle
        sim.inject("delay 120");
    EXPECT_THROW(c.read_eemem_block(0, 330), std::runtime_error);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen.back(), std::make_pair(vortlink::progress_kind::eeprom_read, 220u));
    vortlink::set_progress_handler({});

    vortlink::set_message_pump([] { return true; });
    sim.inject("delay 50");
    EXPECT_EQ(failure([&] { (void)c.status(); }), TKCMDSET_QUIT_REQUESTED);
    vortlink::set_message_pump([]() -> bool { throw std::out_of_range("event loop gone"); });
    sim.inject("delay 50");
    EXPECT_THROW(c.status(), std::out_of_range);
    vortlink::set_message_pump({});
    EXPECT_EQ(c.status(), 0x1234);
}

} // namespace
