// Every --json output and production record line of quorrelctl, taken from real runs against
// quorrel-sim, checked against the documented schema (docs/quorrelctl.schema.json).

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "support/json_schema_check.h"
#include "support/quorrelctl_harness.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "support/srec_cat.h"

using vortlink::test::json_schema_check;
using vortlink::test::simulator_process;
using vortlink::test::temp_directory;
using namespace vortlink::test::quorrelctl_harness;

namespace {

struct documented_run {
    std::vector<std::string> args;
    const char *definition;
    int exit_status = 0;
};

class QuorrelctlSchema : public ::testing::Test {
  protected:
    QuorrelctlSchema() : schema(QUORRELCTL_SCHEMA_PATH) {}

    void check_runs(const std::vector<documented_run> &runs) {
        for (const auto &run : runs) {
            std::string shown;
            for (const auto &arg : run.args)
                shown += arg + " ";
            const auto result = quorrelctl(run.args);
            ASSERT_EQ(result.exit_status, run.exit_status) << shown << result.err;
            const auto document = nlohmann::json::parse(result.out);
            EXPECT_EQ(schema.check(document, run.definition), "") << shown << result.out;
        }
    }

    json_schema_check schema;
};

} // namespace

TEST_F(QuorrelctlSchema, TheCheckerRefusesWhatTheSchemaForbids) {
    EXPECT_EQ(schema.check({{"status_word", 4660}}, "status"), "");
    EXPECT_NE(schema.check({{"status_word", " 4660"}}, "status"), "");
    EXPECT_NE(schema.check({{"status_word", 4660}, {"Status word", 1}}, "status"), "");
    EXPECT_NE(schema.check(nlohmann::json::object(), "status"), "");
    EXPECT_NE(schema.check({{"valid", true}}, "manufacturing"), "")
        << "a valid block has its fields";
    EXPECT_NE(schema.check({{"passed", true}, {"tests", nlohmann::json::array()},
                            {"summary", "a\r\nb"}},
                           "diag"),
              "");
}

TEST_F(QuorrelctlSchema, EveryCommandsJsonFitsTheSchema) {
    simulator_process sim(vortlink::test::with_hid);
    write_tcp_port(sim.tcp_port());
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    for (const char *road : {"--usb", "--tcp"}) {
        const std::string where = std::string(road) == "--usb" ? "0" : "127.0.0.1";
        auto on = [&](std::vector<std::string> args) {
            args.insert(args.begin(), {road, where, "--json"});
            return args;
        };
        check_runs({
            {on({"status"}), "status"},
            {on({"info"}), "info"},
            {on({"echo"}), "echo"},
            {on({"eeprom", "read", "0x200", "16"}), "block_read"},
            {on({"eeprom", "read", "0", "128", "--file", "mfg.bin"}), "block_read"},
            {on({"mem", "write", "0x100", "01 02 03"}), "block_write"},
            {on({"diag"}), "diag"},
            {on({"mfg", "show"}), "manufacturing"},
            {on({"mfg", "write", "--eco", "C"}), "manufacturing"},
            {on({"config", "show"}), "configuration"},
            {on({"config", "write", "--current", "2.5", "--width", "300"}), "configuration"},
            {on({"lighthead", "show"}), "lighthead"},
            {on({"lighthead", "write", "--tau", "10"}), "lighthead"},
            {on({"get", "pulse", "0"}), "setting_values"},
            {on({"get", "ip"}), "setting_values"},
            {on({"get", "mac"}), "setting_values"},
            {on({"get", "volts", "1"}), "setting_values"},
            {on({"calc", "led-temp", "0", "1000", "10"}), "calc"},
            {on({"calc", "max-width", "0", "10"}), "calc"},
            {on({"calc", "max-current", "0", "1000"}), "calc"},
            {on({"calc", "max-freq", "0", "1000", "10"}), "calc"},
            {on({"calc", "supply-voltage", "0", "1000", "1"}), "calc"},
        });
    }
    check_runs({{{"--json", "list"}, "list"}, {{"--json", "error", "-10201"}, "error"}});

    // What is shown when something is missing or failed.
    sim.inject("fail-diag 1 4 5");
    ASSERT_EQ(quorrelctl({"eeprom", "write", "0", "FF FF"}).exit_status, 0);
    ASSERT_EQ(quorrelctl({"eeprom", "write", "512", "FF FF"}).exit_status, 0);
    ASSERT_EQ(quorrelctl({"eeprom", "write", "1024", "FF FF"}).exit_status, 0);
    check_runs({{{"--json", "diag"}, "diag", 1},
                {{"--json", "mfg", "show"}, "manufacturing"},
                {{"--json", "config", "show"}, "configuration"},
                {{"--json", "info"}, "info"}});
    unsetenv("VORTLINK_HID_SIM");
}

TEST_F(QuorrelctlSchema, ProgramAndTheProductionRecordFitTheSchema) {
    temp_directory dir;
    std::vector<uint8_t> bytes = vortlink::test::known_bytes(0x400, 9);
    const uint8_t body[8] = {0x00, 0x01, 0x01, 0x00, 0x00, 0x01, 0x04, 0x00};
    std::copy(std::begin(body), std::end(body), bytes.begin() + 0x4A);
    const std::string image = vortlink::test::srec_cat_convert(dir.file("app.bin"), bytes, 0x10000,
                                                               {"-address-length=3", "-obs=16"});
    ASSERT_FALSE(image.empty());
    simulator_process sim(vortlink::test::with_hid, {"--boot-loader"});
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    const std::string log = dir.file("run.jsonl");
    check_runs({{{"--json", "--log", log, "program", image}, "program"},
                {{"--json", "--log", log, "status"}, "status"}});
    unsetenv("VORTLINK_HID_SIM");

    std::istringstream lines(slurp(log));
    std::vector<std::string> operations;
    for (std::string line; std::getline(lines, line);) {
        const auto entry = nlohmann::json::parse(line);
        EXPECT_EQ(schema.check(entry, "log_line"), "") << line;
        operations.push_back(entry.at("operation"));
    }
    EXPECT_EQ(operations, (std::vector<std::string>{"program", "status"}));
}
