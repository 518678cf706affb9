// The quorrelctl program itself, run as a user runs it, against quorrel-sim over USB and TCP:
// its output for known controller state, its JSON, its exit statuses and what it leaves in the
// controller.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <set>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "blocks/config_block.h"
#include "blocks/lighthead_values.h"
#include "blocks/mfg_block.h"
#include "common/crc16.h"
#include "e2e/quorrelctl_harness.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "unit/srec_cat.h"
#include "vortlink.h"

using vortlink::test::simulator_process;
using vortlink::test::temp_directory;

namespace {

// A fixed-width text field of the lighthead record: it may fill the field without a terminator.
template <std::size_t width> std::string field_text(const char (&field)[width]) {
    return std::string(field, strnlen(field, width));
}

using namespace vortlink::test::quorrelctl_harness;

enum class road { tcp, usb };

std::string road_name(const testing::TestParamInfo<road> &info) {
    return info.param == road::tcp ? "Tcp" : "Usb";
}

class QuorrelctlTest : public ::testing::TestWithParam<road> {
  protected:
    explicit QuorrelctlTest(std::vector<std::string> sim_args = {"--status-word", "0x1234"})
        : sim(vortlink::test::with_hid, std::move(sim_args)) {}

    void SetUp() override {
        write_tcp_port(sim.tcp_port());
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    }
    void TearDown() override { unsetenv("VORTLINK_HID_SIM"); }

    std::vector<std::string> with_controller(std::vector<std::string> args) const {
        std::vector<std::string> all = GetParam() == road::tcp
                                           ? std::vector<std::string>{"--tcp", "127.0.0.1"}
                                           : std::vector<std::string>{"--usb", "0"};
        all.insert(all.end(), args.begin(), args.end());
        return all;
    }

    simulator_process sim;
};

} // namespace

TEST_P(QuorrelctlTest, StatusPrintsTheWordAndItsJson) {
    const auto text = quorrelctl(with_controller({"status"}));
    EXPECT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out, "Status word: 0x1234\n");

    const auto json = quorrelctl(with_controller({"--json", "status"}));
    ASSERT_EQ(json.exit_status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("status_word"), 0x1234);
}

TEST_P(QuorrelctlTest, InfoShowsTheIdentityTheLibraryReads) {
    const auto result = quorrelctl(with_controller({"--json", "info"}));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto info = nlohmann::json::parse(result.out);
    EXPECT_EQ(info.at("serial"), "Q0000001");
    EXPECT_EQ(info.at("mode"), "application");
    EXPECT_EQ(info.at("status_word"), 0x1234);
    EXPECT_FALSE(info.at("firmware").get<std::string>().empty());
    // The decoded blocks and record come along, as "mfg show", "config show" and
    // "lighthead show" give them.
    for (const char *part : {"mfg", "config", "lighthead"}) {
        const auto alone = quorrelctl(with_controller({"--json", part, "show"}));
        ASSERT_EQ(alone.exit_status, 0) << alone.err;
        const char *key = std::string(part) == "mfg"      ? "manufacturing"
                          : std::string(part) == "config" ? "configuration"
                                                          : "lighthead";
        EXPECT_EQ(info.at(key), nlohmann::json::parse(alone.out)) << key;
    }

    const auto text = quorrelctl(with_controller({"info"}));
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_NE(text.out.find("Serial number:    Q0000001\n"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("Firmware version: " + info.at("firmware").get<std::string>()),
              std::string::npos)
        << text.out;
    // Within a section every value starts in the same column, also after labels with a degree
    // sign (two bytes, one column).
    const std::size_t section = text.out.find("\nLighthead\n");
    ASSERT_NE(section, std::string::npos) << text.out;
    std::istringstream lines(text.out.substr(section + 11));
    std::string line;
    std::set<std::size_t> value_columns;
    int degree_lines = 0;
    while (std::getline(lines, line) && !line.empty()) {
        const std::size_t colon = line.find(':');
        const std::size_t value = line.find_first_not_of(' ', colon + 1);
        ASSERT_NE(value, std::string::npos) << line;
        const std::string before = line.substr(0, value);
        std::size_t columns = 0;
        for (char c : before)
            columns += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        value_columns.insert(columns);
        degree_lines += before.find("\u00B0") != std::string::npos;
    }
    EXPECT_EQ(value_columns.size(), 1u) << text.out;
    EXPECT_EQ(degree_lines, 3) << text.out;
}

TEST_P(QuorrelctlTest, EepromWriteThenReadRoundTrips) {
    const auto write = quorrelctl(with_controller({"eeprom", "write", "0x0200", "DE AD 01 7f"}));
    ASSERT_EQ(write.exit_status, 0) << write.err;

    const auto dump = quorrelctl(with_controller({"eeprom", "read", "0x1FE", "8"}));
    ASSERT_EQ(dump.exit_status, 0) << dump.err;
    EXPECT_EQ(dump.out.substr(0, 10), "000001FE: ");
    EXPECT_NE(dump.out.find("DE AD 01 7F"), std::string::npos) << dump.out;

    const auto json = quorrelctl(with_controller({"--json", "eeprom", "read", "0x200", "4"}));
    ASSERT_EQ(json.exit_status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("data"), "DEAD017F");

    // The bytes are in the controller, not only in what the tool prints.
    ASSERT_EQ(quorrelctl(with_controller({"eeprom", "read", "0x200", "4", "--file", "back.bin"}))
                  .exit_status,
              0);
    EXPECT_EQ(slurp("back.bin"), std::string("\xDE\xAD\x01\x7F", 4));
}

TEST_P(QuorrelctlTest, MemoryFileWriteIsReadBack) {
    std::ofstream("pattern.bin", std::ios::binary) << std::string("\x10\x20\x30\x40\x50", 5);
    ASSERT_EQ(quorrelctl(with_controller({"mem", "write", "0x2000", "--file", "pattern.bin"}))
                  .exit_status,
              0);
    const auto json = quorrelctl(with_controller({"--json", "mem", "read", "0x2000", "5"}));
    ASSERT_EQ(json.exit_status, 0) << json.err;
    EXPECT_EQ(nlohmann::json::parse(json.out).at("data"), "1020304050");
}

TEST_P(QuorrelctlTest, ControllerErrorExitsWithOneAndTheCatalogueText) {
    sim.inject("error 7");
    const auto result = quorrelctl(with_controller({"status"}));
    EXPECT_EQ(result.exit_status, 1);
    char name[50] = {};
    ASSERT_EQ(tkcmdset_get_error_name(7, name, sizeof name), TKCMDSET_OK);
    EXPECT_EQ(result.err.rfind("ERROR (7) : " + std::string(name) + "\n", 0), 0u) << result.err;
    EXPECT_TRUE(result.out.empty()) << result.out;
}

TEST_P(QuorrelctlTest, DiagnosticsPassAndFail) {
    const auto pass = quorrelctl(with_controller({"diag"}));
    EXPECT_EQ(pass.exit_status, 0) << pass.err;
    EXPECT_NE(pass.out.find("********** ALL TESTS PASSED **********"), std::string::npos)
        << pass.out;

    sim.inject("fail-diag 1 2 5");
    const auto fail = quorrelctl(with_controller({"--json", "diag"}));
    EXPECT_EQ(fail.exit_status, 1);
    const auto outcome = nlohmann::json::parse(fail.out);
    EXPECT_FALSE(outcome.at("passed").get<bool>());
    const auto &tests = outcome.at("tests");
    ASSERT_EQ(tests.size(), 6u);
    for (std::size_t i = 0; i < tests.size(); ++i) {
        EXPECT_EQ(tests[i].at("id"), i);
        EXPECT_EQ(tests[i].at("passed").get<bool>(), i != 2) << i;
        EXPECT_EQ(tests[i].at("code"), i == 2 ? 5 : 0) << i;
    }
    EXPECT_EQ(tests[2].at("name"), "Internal Flash");
    const std::string summary = outcome.at("summary");
    EXPECT_EQ(summary.rfind("Internal Flash Test Failed\nERROR (5) : ", 0), 0u) << summary;
    EXPECT_EQ(summary.find('\r'), std::string::npos);
}

TEST_P(QuorrelctlTest, EchoComesBackIntact) {
    const auto result = quorrelctl(with_controller({"--json", "echo"}));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto echo = nlohmann::json::parse(result.out);
    EXPECT_TRUE(echo.at("intact").get<bool>());
    EXPECT_GE(echo.at("bytes").get<int>(), 50);
}

TEST_P(QuorrelctlTest, MfgWritePutsTheDialogsBlockIntoTheEeprom) {
    const std::time_t before = std::time(nullptr);
    const auto write = quorrelctl(with_controller(
        {"mfg", "write", "--serial-number", "Q0004711", "--mac", "00:50:C2:0A:0B:0C", "--ip",
         "192.168.7.20", "--part", "6400-000850", "--eco", "B", "--limit-48v"}));
    const std::time_t after = std::time(nullptr);
    ASSERT_EQ(write.exit_status, 0) << write.err;

    ASSERT_EQ(quorrelctl(with_controller({"eeprom", "read", "0", "128", "--file", "mfg.bin"}))
                  .exit_status,
              0);
    const std::string written = slurp("mfg.bin");

    using namespace vortlink::loader;
    mfg_fields fields;
    fields.serial_number = "Q0004711";
    fields.mac = {0x00, 0x50, 0xC2, 0x0A, 0x0B, 0x0C};
    fields.ip = 0xC0A80714;
    fields.hardware_part_number = "6400-000850";
    fields.eco_revision = "B";
    fields.limit_48v = true;
    // The block carries the day it was written: either side of a midnight the run may cross.
    bool matched = false;
    for (std::time_t when : {before, after}) {
        std::tm local{};
        localtime_r(&when, &local);
        uint8_t block[mfg_block_size];
        build_mfg_block(fields, local, block);
        matched = matched || written == std::string(reinterpret_cast<char *>(block), sizeof block);
    }
    EXPECT_TRUE(matched) << "the EEPROM holds the block the dialog's code builds";

    const auto show = quorrelctl(with_controller({"--json", "mfg", "show"}));
    ASSERT_EQ(show.exit_status, 0) << show.err;
    const auto shown = nlohmann::json::parse(show.out);
    EXPECT_TRUE(shown.at("valid").get<bool>());
    EXPECT_EQ(shown.at("serial_number"), "Q0004711");
    EXPECT_EQ(shown.at("mac"), "00:50:C2:0A:0B:0C");
    EXPECT_EQ(shown.at("ip"), "192.168.7.20");
    EXPECT_EQ(shown.at("eco_revision"), "B");
    EXPECT_TRUE(shown.at("limit_48v").get<bool>());

    EXPECT_EQ(quorrelctl(with_controller({"mfg", "write", "--serial-number", "Q1", "--mac", "00:11",
                                          "--part", "P", "--eco", "A"}))
                  .exit_status,
              2)
        << "a MAC address of two bytes is a usage error";
}

TEST_P(QuorrelctlTest, ConfigShowNamesEveryFieldOfAWrittenBlock) {
    using namespace vortlink::loader;
    config_fields fields;
    fields.trigger_input = trigger_choice::input_2;
    fields.rising = false;
    fields.differential_1 = true;
    fields.width = "250";
    fields.delay = "10";
    fields.current = "2.5";
    fields.supply_overhead = "4";
    fields.initial_led_temperature = "30";
    fields.mode_position = 2;
    fields.slew_position = 3;
    uint8_t block[config_block_size];
    build_config_block(fields, block);
    std::ofstream("config.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(block), sizeof block);
    ASSERT_EQ(
        quorrelctl(with_controller({"eeprom", "write", "512", "--file", "config.bin"})).exit_status,
        0);

    const auto result = quorrelctl(with_controller({"--json", "config", "show"}));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto shown = nlohmann::json::parse(result.out);
    config_fields expected;
    read_config_block(block, expected);
    EXPECT_TRUE(shown.at("valid").get<bool>());
    EXPECT_EQ(shown.at("trigger_input"), "2");
    EXPECT_EQ(shown.at("edge"), "falling");
    EXPECT_TRUE(shown.at("differential_1").get<bool>());
    EXPECT_FALSE(shown.at("differential_2").get<bool>());
    EXPECT_EQ(shown.at("operating_mode"), "Repeat");
    EXPECT_EQ(shown.at("slew_rate"), "FAST");
    // Numbers as numbers: the values the fields were written with.
    EXPECT_EQ(shown.at("width"), 250);
    EXPECT_EQ(shown.at("delay"), 10);
    EXPECT_EQ(shown.at("current"), 2.5);
    EXPECT_EQ(shown.at("supply_overhead"), 4.0);
    EXPECT_EQ(shown.at("initial_led_temperature"), 30);
    EXPECT_EQ(shown.at("operating_mode_code"), 5);

    // A block with a broken CRC-16 is reported, not decoded.
    block[0] ^= 0xFF;
    std::ofstream("broken.bin", std::ios::binary)
        .write(reinterpret_cast<const char *>(block), sizeof block);
    ASSERT_EQ(
        quorrelctl(with_controller({"eeprom", "write", "512", "--file", "broken.bin"})).exit_status,
        0);
    const auto broken = quorrelctl(with_controller({"config", "show"}));
    EXPECT_EQ(broken.exit_status, 0);
    EXPECT_NE(broken.out.find("not valid"), std::string::npos) << broken.out;
}

TEST_P(QuorrelctlTest, LightheadShowGivesTheEditorsTexts) {
    // What the editor shows for the controller's record, read here over TCP.
    ASSERT_EQ(tkcmdset_connect(7, 0, "127.0.0.1"), TKCMDSET_OK);
    LightheadData record{};
    ASSERT_EQ(tkcmdset_get_lighthead_data(7, &record), TKCMDSET_OK);
    vortlink::loader::lighthead_values values;
    vortlink::loader::load_record(values, record);

    const auto result = quorrelctl(with_controller({"--json", "lighthead", "show"}));
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto shown = nlohmann::json::parse(result.out);
    // The factory record of the simulator: programmed on 10-Apr-2026 9:30.
    EXPECT_EQ(shown.at("programmed_on"), "2026-04-10T09:30");
    EXPECT_EQ(shown.at("part_number"), "LH-4400-01");
    const auto &group = shown.at("led_group_0");
    ASSERT_EQ(group.size(), static_cast<std::size_t>(vortlink::loader::lighthead_rows));
    const LedParameters &led = record.led[0];
    // Each number reads back as the very float the library gives.
    const std::pair<const char *, float> reals[] = {
        {"led_rth", led.led_rth},         {"tau", led.tau},
        {"vf_slope", led.vf_slope},       {"vf_offset", led.vf_offset},
        {"tj_max", led.tj_max},           {"heatsink_rth", led.heatsink_rth},
        {"default_current", led.default_current}, {"max_pulse_current", led.max_pulse_current},
        {"max_cont_current", led.max_cont_current}};
    for (const auto &[key, value] : reals) {
        ASSERT_TRUE(group.at(key).is_number()) << key;
        EXPECT_EQ(group.at(key).get<float>(), value) << key;
    }
    EXPECT_EQ(group.at("vf_slope").dump(), "0.4") << "the shortest text of the float";
    EXPECT_EQ(group.at("string_count"), 4);
    EXPECT_EQ(group.at("leds_per_string"), 6);
}

TEST_P(QuorrelctlTest, LightheadWriteStoresTheEditorsRecord) {
    ASSERT_EQ(tkcmdset_connect(7, 0, "127.0.0.1"), TKCMDSET_OK);
    LightheadData before{};
    ASSERT_EQ(tkcmdset_get_lighthead_data(7, &before), TKCMDSET_OK);

    const auto write = quorrelctl(with_controller(
        {"lighthead", "write", "--tau", "15", "--strings", "2", "--default-current", "3",
         "--max-pulse-current", "20", "--max-cont-current", "0.75", "--part", "LH-0042"}));
    ASSERT_EQ(write.exit_status, 0) << write.err;

    // What the dialog's editor makes of the same texts.
    using namespace vortlink::loader;
    lighthead_values values;
    load_record(values, before);
    std::array<std::string, lighthead_rows> texts;
    for (int row = 0; row < lighthead_rows; ++row)
        texts[static_cast<std::size_t>(row)] = row_text(values, static_cast<lighthead_row>(row));
    texts[static_cast<std::size_t>(lighthead_row::tau)] = "15";
    texts[static_cast<std::size_t>(lighthead_row::string_count)] = "2";
    texts[static_cast<std::size_t>(lighthead_row::default_current)] = "3";
    texts[static_cast<std::size_t>(lighthead_row::max_pulse_current)] = "20";
    texts[static_cast<std::size_t>(lighthead_row::max_cont_current)] = "0.75";
    ASSERT_FALSE(take_over_rows(values, texts).has_value());
    LightheadData expected{};
    store_record(values, expected);

    LightheadData after{};
    ASSERT_EQ(tkcmdset_get_lighthead_data(7, &after), TKCMDSET_OK);
    EXPECT_EQ(field_text(after.part_number), "LH-0042");
    EXPECT_EQ(after.led[0].tau, 15.0F);
    EXPECT_EQ(after.led[0].string_count, 2);
    EXPECT_EQ(std::memcmp(&after.led[0], &expected.led[0], offsetof(LedParameters, reserved)), 0);
    EXPECT_EQ(std::memcmp(&after.led[1], &expected.led[1], offsetof(LedParameters, reserved)), 0)
        << "as in the dialog, only LED group 0 is carried over";

    // Out of the editor's range: refused before anything is written.
    const auto refused =
        quorrelctl(with_controller({"lighthead", "write", "--leds-per-string", "16"}));
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("LEDs / String"), std::string::npos) << refused.err;
}

TEST_P(QuorrelctlTest, ConfigWritePutsTheDialogsBlockIntoTheEeprom) {
    ASSERT_EQ(quorrelctl(with_controller({"eeprom", "read", "512", "256", "--file", "old.bin"}))
                  .exit_status,
              0);
    const auto write =
        quorrelctl(with_controller({"config", "write", "--trigger", "1", "--edge", "falling",
                                    "--differential-2", "on", "--width", "400", "--current", "2.25",
                                    "--mode", "Internal Trigger", "--slew", "MED-FAST"}));
    ASSERT_EQ(write.exit_status, 0) << write.err;
    ASSERT_EQ(quorrelctl(with_controller({"eeprom", "read", "512", "256", "--file", "new.bin"}))
                  .exit_status,
              0);

    // The dialog: the fields as the old block shows them, edited, then built into a block.
    using namespace vortlink::loader;
    const std::string old_bytes = slurp("old.bin");
    ASSERT_EQ(old_bytes.size(), config_block_size);
    uint8_t block[config_block_size];
    std::memcpy(block, old_bytes.data(), sizeof block);
    config_fields fields;
    if (IsValidConfigBlock(block))
        read_config_block(block, fields);
    else
        show_config_defaults(fields);
    fields.trigger_input = trigger_choice::input_1;
    fields.rising = false;
    fields.differential_2 = true;
    fields.width = "400";
    fields.current = "2.25";
    fields.mode_position = mode_after_trigger_change(fields.trigger_input, 3);
    fields.slew_position = 2;
    build_config_block(fields, block);
    EXPECT_EQ(slurp("new.bin"), std::string(reinterpret_cast<char *>(block), sizeof block));

    const auto shown =
        nlohmann::json::parse(quorrelctl(with_controller({"--json", "config", "show"})).out);
    EXPECT_EQ(shown.at("operating_mode"), "Internal Trigger");
    EXPECT_EQ(shown.at("slew_rate"), "MED-FAST");
    EXPECT_EQ(shown.at("edge"), "falling");
}

TEST_P(QuorrelctlTest, SetReachesTheControllerAndGetReadsItBack) {
    ASSERT_EQ(quorrelctl(with_controller({"set", "pulse", "1", "750", "30", "2.5"})).exit_status,
              0);
    ASSERT_EQ(quorrelctl(with_controller({"set", "mac", "02:00:5E:10:20:30"})).exit_status, 0);

    // Read by the library itself, not through the tool.
    ASSERT_EQ(tkcmdset_connect(7, 0, "127.0.0.1"), TKCMDSET_OK);
    uint32_t width = 0;
    uint16_t delay = 0;
    float current = 0;
    ASSERT_EQ(tkcmdset_get_pulse(7, 1, &width, &delay, &current), TKCMDSET_OK);
    EXPECT_EQ(width, 750u);
    EXPECT_EQ(delay, 30u);
    EXPECT_EQ(current, 2.5F);

    const auto pulse = quorrelctl(with_controller({"--json", "get", "pulse", "1"}));
    ASSERT_EQ(pulse.exit_status, 0) << pulse.err;
    const auto values = nlohmann::json::parse(pulse.out);
    EXPECT_EQ(values.at("width"), 750);
    EXPECT_EQ(values.at("delay"), 30);
    EXPECT_EQ(values.at("current"), 2.5);
    const auto mac = quorrelctl(with_controller({"get", "mac"}));
    EXPECT_EQ(mac.out, "mac: 02:00:5E:10:20:30\n");

    uint16_t expected_freq = 0;
    ASSERT_EQ(tkcmdset_calc_max_freq(7, 0, 100, 1.0F, &expected_freq), TKCMDSET_OK);
    const auto freq =
        quorrelctl(with_controller({"--json", "calc", "max-freq", "0", "100", "1.0"}));
    ASSERT_EQ(freq.exit_status, 0) << freq.err;
    EXPECT_EQ(nlohmann::json::parse(freq.out).at("max_frequency"), expected_freq);

    // The three IPv4 words, dotted both ways.
    ASSERT_EQ(quorrelctl(with_controller({"set", "ip", "10.1.2.3", "255.255.0.0", "10.1.0.1"}))
                  .exit_status,
              0);
    uint32_t ip_1 = 0, ip_2 = 0, ip_3 = 0;
    ASSERT_EQ(tkcmdset_get_ip(7, &ip_1, &ip_2, &ip_3), TKCMDSET_OK);
    EXPECT_EQ(ip_1, 0x0A010203u);
    EXPECT_EQ(ip_2, 0xFFFF0000u);
    const auto ip = quorrelctl(with_controller({"get", "ip"}));
    EXPECT_EQ(ip.out, "ip_1: 10.1.2.3\nip_2: 255.255.0.0\nip_3: 10.1.0.1\n");

    EXPECT_EQ(quorrelctl(with_controller({"get", "pulse"})).exit_status, 2);
    EXPECT_EQ(quorrelctl(with_controller({"set", "pulse", "1", "750", "70000", "1"})).exit_status,
              2)
        << "the delay is 16 bits";
    EXPECT_EQ(quorrelctl(with_controller({"get", "no-such-setting"})).exit_status, 2);
}

INSTANTIATE_TEST_SUITE_P(BothRoads, QuorrelctlTest, ::testing::Values(road::tcp, road::usb),
                         road_name);

class QuorrelctlUsbOnly : public QuorrelctlTest {};

TEST_P(QuorrelctlUsbOnly, ListShowsEveryController) {
    const auto result = quorrelctl({"--json", "list"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    const auto list = nlohmann::json::parse(result.out);
    ASSERT_EQ(list.size(), 1u) << result.out;
    EXPECT_EQ(list[0].at("position"), 0);
    EXPECT_EQ(list[0].at("serial"), "Q0000001");
    EXPECT_EQ(list[0].at("mode"), "application");

    const auto text = quorrelctl({"list"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("0  serial Q0000001  firmware ", 0), 0u) << text.out;
}

TEST_P(QuorrelctlUsbOnly, MissingControllerExitsWithOne) {
    const auto result = quorrelctl({"--usb", "3", "status"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_EQ(result.err.rfind("ERROR (" + std::to_string(TKCMDSET_NO_DEVICE_MATCHED) + ") : ", 0),
              0u)
        << result.err;
}

TEST_P(QuorrelctlUsbOnly, ResetWaitsForTheBootLoader) {
    const auto result = quorrelctl({"--json", "reset", "loader"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(nlohmann::json::parse(result.out).at("mode"), "boot_loader");
    const auto back = quorrelctl({"--json", "reset", "application"});
    ASSERT_EQ(back.exit_status, 0) << back.err;
    EXPECT_EQ(nlohmann::json::parse(back.out).at("mode"), "application");
}

TEST_P(QuorrelctlUsbOnly, UsageErrorsExitWithTwo) {
    EXPECT_EQ(quorrelctl({}).exit_status, 2);
    EXPECT_EQ(quorrelctl({"frobnicate"}).exit_status, 2);
    EXPECT_EQ(quorrelctl({"--usb", "1", "--tcp", "h", "status"}).exit_status, 2);
    EXPECT_EQ(quorrelctl({"eeprom", "read", "0x10000", "4"}).exit_status, 2);
    EXPECT_EQ(quorrelctl({"eeprom", "write", "0x10", "ABC"}).exit_status, 2);
    EXPECT_EQ(quorrelctl({"reset", "sideways"}).exit_status, 2);
    const auto help = quorrelctl({"eeprom", "read", "--help"});
    EXPECT_EQ(help.exit_status, 0);
    EXPECT_NE(help.out.find("ADDRESS"), std::string::npos) << help.out;
}

TEST_P(QuorrelctlUsbOnly, ErrorCodeNeedsNoController) {
    unsetenv("VORTLINK_HID_SIM");
    const auto result = quorrelctl({"--json", "error", "-10201"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    char name[50] = {}, text[1050] = {};
    tkcmdset_get_error_name(TKCMDSET_NO_DEVICE_MATCHED, name, sizeof name);
    tkcmdset_get_error_text(TKCMDSET_NO_DEVICE_MATCHED, text, sizeof text);
    const auto entry = nlohmann::json::parse(result.out);
    EXPECT_EQ(entry.at("name"), name);
    EXPECT_EQ(entry.at("text"), text);
}

TEST_P(QuorrelctlUsbOnly, TraceShowsTheStatusFrameOverTcp) {
    const auto result = quorrelctl({"--tcp", "127.0.0.1", "--trace", "status"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("slot 0 tcp -> status [00 02 0E] status 0\n"), std::string::npos)
        << result.err;
    EXPECT_NE(result.err.find("slot 0 tcp <- status [00 02 12 34 "), std::string::npos)
        << result.err;
}

TEST_P(QuorrelctlUsbOnly, SerialNumberPicksTheController) {
    const auto found = quorrelctl({"--serial", "Q0000001", "--json", "info"});
    ASSERT_EQ(found.exit_status, 0) << found.err;
    EXPECT_EQ(nlohmann::json::parse(found.out).at("serial"), "Q0000001");
    EXPECT_EQ(quorrelctl({"--serial", "Q9999999", "status"}).exit_status, 1);
}

namespace {
void write_utility_settings(const std::string &lines) {
    const std::string directory = std::string(std::getenv("XDG_CONFIG_HOME")) + "/Kestrova/Quorrel";
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "/H8 Userloader.conf", std::ios::trunc) << lines;
}
} // namespace

TEST_P(QuorrelctlUsbOnly, MfgWriteKeepsWhatTheControllerHas) {
    // Settings that differ from the factory block: they must not be used while it is valid.
    write_utility_settings("HardwarePartNum=6400-000999\nECORevision=C7\nIPAddress=10.9.9.9\n");
    const auto before = nlohmann::json::parse(quorrelctl({"--json", "mfg", "show"}).out);
    ASSERT_TRUE(before.at("valid").get<bool>());

    const auto write = quorrelctl({"--json", "mfg", "write", "--serial-number", "Q0000042"});
    ASSERT_EQ(write.exit_status, 0) << write.err;
    const auto shown = nlohmann::json::parse(quorrelctl({"--json", "mfg", "show"}).out);
    EXPECT_EQ(nlohmann::json::parse(write.out), shown) << "it prints the block it wrote";
    EXPECT_EQ(shown.at("serial_number"), "Q0000042");
    // The simulator's factory block for controller 1 (its README).
    EXPECT_EQ(shown.at("hardware_part_number"), "6400-000850");
    EXPECT_EQ(shown.at("eco_revision"), "B");
    EXPECT_EQ(shown.at("mac"), "02:4C:51:00:00:01");
    EXPECT_EQ(shown.at("ip"), "192.168.1.101");
    EXPECT_FALSE(shown.at("limit_48v").get<bool>());

    ASSERT_EQ(quorrelctl({"mfg", "write", "--limit-48v", "--eco", "D"}).exit_status, 0);
    const auto again = nlohmann::json::parse(quorrelctl({"--json", "mfg", "show"}).out);
    EXPECT_EQ(again.at("serial_number"), "Q0000042");
    EXPECT_EQ(again.at("eco_revision"), "D");
    EXPECT_TRUE(again.at("limit_48v").get<bool>());
}

TEST_P(QuorrelctlUsbOnly, MfgWriteTakesTheUtilitysSettingsWhenTheBlockIsNotValid) {
    write_utility_settings("HardwarePartNum=6400-000999\nECORevision=C7\n");
    ASSERT_EQ(quorrelctl({"eeprom", "write", "0", "FF FF FF FF"}).exit_status, 0);

    // Nothing to keep: serial number and MAC address cannot be made up.
    const auto refused = quorrelctl({"mfg", "write", "--serial-number", "Q0000042"});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("--mac"), std::string::npos) << refused.err;
    EXPECT_FALSE(
        nlohmann::json::parse(quorrelctl({"--json", "mfg", "show"}).out).at("valid").get<bool>())
        << "nothing was written";

    const auto write =
        quorrelctl({"mfg", "write", "--serial-number", "Q0000042", "--mac", "00:50:C2:00:00:2A"});
    ASSERT_EQ(write.exit_status, 0) << write.err;
    const auto shown = nlohmann::json::parse(quorrelctl({"--json", "mfg", "show"}).out);
    EXPECT_EQ(shown.at("hardware_part_number"), "6400-000999");
    EXPECT_EQ(shown.at("eco_revision"), "C7");
    EXPECT_EQ(shown.at("ip"), "192.168.8.100") << "the setting's default, as in the dialog";

    // A setting too long for its field is refused, not cut.
    write_utility_settings("HardwarePartNum=6400-000999-ABCDEFGH\n");
    ASSERT_EQ(quorrelctl({"eeprom", "write", "0", "FF FF FF FF"}).exit_status, 0);
    const auto too_long =
        quorrelctl({"mfg", "write", "--serial-number", "Q0000043", "--mac", "00:50:C2:00:00:2B"});
    EXPECT_EQ(too_long.exit_status, 2);
    EXPECT_NE(too_long.err.find("HardwarePartNum: at most 16 characters"), std::string::npos)
        << too_long.err;
}

INSTANTIATE_TEST_SUITE_P(Usb, QuorrelctlUsbOnly, ::testing::Values(road::usb), road_name);

namespace {

// The special functions (code and parameter) a controller received, in order.
std::vector<std::string> specials(const std::vector<std::vector<uint8_t>> &frames) {
    std::vector<std::string> list;
    for (const auto &frame : frames) {
        if (frame.size() < 8 || frame[1] != 0x05)
            continue;
        char text[40];
        std::snprintf(text, sizeof text, "%02x%02x %02x%02x%02x%02x", frame[2], frame[3], frame[4],
                      frame[5], frame[6], frame[7]);
        list.push_back(text);
    }
    return list;
}

} // namespace

TEST(QuorrelctlProgram, BothRoadsGiveTheSameWritesInTheSameOrder) {
    temp_directory dir;
    std::vector<uint8_t> bytes = vortlink::test::known_bytes(0x800, 5);
    // Header: the body runs from 0x10100 to the image's end.
    const uint8_t body[8] = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x08, 0x00};
    std::copy(std::begin(body), std::end(body), bytes.begin() + 0x4A);
    const std::string path = vortlink::test::srec_cat_convert(dir.file("app.bin"), bytes, 0x10000,
                                                              {"-address-length=3", "-obs=16"});
    ASSERT_FALSE(path.empty());

    simulator_process over_tcp(vortlink::test::with_hid, {"--boot-loader"});
    simulator_process over_usb(vortlink::test::with_hid, {"--boot-loader"});
    write_tcp_port(over_tcp.tcp_port());
    const auto tcp_run = quorrelctl({"--tcp", "127.0.0.1", "program", path});
    ASSERT_EQ(tcp_run.exit_status, 0) << tcp_run.err;
    setenv("VORTLINK_HID_SIM", over_usb.hid_socket().c_str(), 1);
    const auto usb_run = quorrelctl({"--usb", "0", "program", path});
    unsetenv("VORTLINK_HID_SIM");
    ASSERT_EQ(usb_run.exit_status, 0) << usb_run.err;

    // Standard output is no terminal here: plain percentage lines, ending at 100%.
    EXPECT_NE(tcp_run.out.find("\n100%\n"), std::string::npos) << tcp_run.out;
    EXPECT_EQ(tcp_run.out.find('\r'), std::string::npos);

    const auto tcp_specials = specials(over_tcp.frames());
    EXPECT_FALSE(tcp_specials.empty());
    EXPECT_EQ(tcp_specials, specials(over_usb.usb_frames()));
    const std::string crc = over_tcp.control("firmware-crc 1");
    EXPECT_EQ(crc.rfind("ok 0x10000 0x107ff ", 0), 0u) << crc;
    EXPECT_EQ(crc, over_usb.control("firmware-crc 1"));
}

TEST(QuorrelctlProgram, EthernetImagesGoWholeOrFailWithTheControllersCode) {
    struct row {
        std::size_t length; // of the image at 0, its signature at 0x506
        int exit_status;
        int status_code; // in the production record
    };
    // An odd length goes with the fill byte after it; an image that ends inside its own header
    // is refused by the controller with error 8 (image_rejected).
    for (const row r : {row{0x8FFF, 0, 0}, row{0x1001, 0, 0}, row{0x51A, 1, 8}}) {
        temp_directory dir;
        simulator_process sim(vortlink::test::with_hid,
                              {"--boot-loader", "--ethernet-restart", "300"});
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
        std::vector<uint8_t> bytes = vortlink::test::known_bytes(r.length, 21);
        const char signature[] = "Kv Quorrel Ethernet";
        std::copy(std::begin(signature), std::end(signature), bytes.begin() + 0x506);
        const std::string path =
            vortlink::test::srec_cat_convert(dir.file("eth.bin"), bytes, 0, {"-address-length=2"});
        const std::string log = dir.file("run.jsonl");
        const auto run = quorrelctl({"--usb", "0", "program", path, "--log", log});
        unsetenv("VORTLINK_HID_SIM");
        EXPECT_EQ(run.exit_status, r.exit_status) << r.length << run.err;
        const auto record = nlohmann::json::parse(slurp(log));
        EXPECT_EQ(record.at("status_code"), r.status_code) << r.length;
        if (r.exit_status != 0) {
            EXPECT_NE(run.err.find("ERROR (8)"), std::string::npos) << run.err;
            EXPECT_EQ(sim.control("ethernet 1").rfind("ok ready 0 ", 0), 0u);
            continue;
        }
        // Taken whole: header CRC filled in, for an odd length the 0xFF after it, in words.
        std::vector<uint8_t> expected = bytes;
        const uint16_t header = vortlink::loader::crc16({expected.data() + 0x502, 134});
        expected[0x500] = static_cast<uint8_t>(header >> 8);
        expected[0x501] = static_cast<uint8_t>(header);
        expected.resize((r.length + 1) / 2 * 2, 0xFF);
        char taken[64];
        std::snprintf(taken, sizeof taken, "ok ready 1 0x%zx 0x%x", expected.size() / 2,
                      vortlink::loader::crc16(expected));
        EXPECT_EQ(sim.control("ethernet 1"), taken) << r.length;
    }
}
