// quorrelctl on a gang of controllers: four simulated USB controllers programmed at once with a
// production record, one of them failing by an injected fault; and several TCP controllers.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/crc16.h"
#include "e2e/json_schema_check.h"
#include "e2e/quorrelctl_harness.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "unit/srec_cat.h"

using vortlink::test::json_schema_check;
using vortlink::test::simulator_process;
using vortlink::test::temp_directory;
using namespace vortlink::test::quorrelctl_harness;
namespace quorrelctl_harness = vortlink::test::quorrelctl_harness;

namespace {

constexpr unsigned gang_size = 4;
constexpr uint32_t image_base = 0x10000;
constexpr std::size_t image_size = 0x900; // 18 chunks of 128 bytes

// A controller image whose header says the body runs from base + 0x100 to its end.
std::vector<uint8_t> controller_image(unsigned seed = 14) {
    std::vector<uint8_t> bytes = vortlink::test::known_bytes(image_size, seed);
    const uint32_t body_start = image_base + 0x100, body_end = image_base + image_size;
    for (int i = 0; i < 4; ++i) {
        bytes[0x4A + i] = static_cast<uint8_t>(body_start >> (24 - 8 * i));
        bytes[0x4E + i] = static_cast<uint8_t>(body_end >> (24 - 8 * i));
    }
    return bytes;
}

// The flash the simulator should hold after the image went in: header CRCs as the boot loader
// checks them (its README), computed here from the bytes.
uint16_t expected_flash_crc(std::vector<uint8_t> image) {
    using vortlink::loader::crc16;
    const uint16_t body = crc16(std::span<const uint8_t>(image).subspan(0x100));
    image[0x52] = static_cast<uint8_t>(body >> 8);
    image[0x53] = static_cast<uint8_t>(body);
    const uint16_t header = crc16(std::span<const uint8_t>(image).subspan(2, 0x86));
    image[0] = static_cast<uint8_t>(header >> 8);
    image[1] = static_cast<uint8_t>(header);
    return crc16(image);
}

std::vector<nlohmann::json> json_lines(const std::string &text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(nlohmann::json::parse(line));
    return lines;
}

class QuorrelctlGang : public ::testing::Test {
  protected:
    QuorrelctlGang()
        : sim(vortlink::test::with_hid,
              {"--usb-devices", std::to_string(gang_size), "--boot-loader"}),
          schema(QUORRELCTL_SCHEMA_PATH) {}

    void SetUp() override {
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
        image = vortlink::test::srec_cat_convert(dir.file("app.bin"), controller_image(),
                                                 image_base, {"-address-length=3", "-obs=16"});
        ASSERT_FALSE(image.empty());
        log = dir.file("run.jsonl");
    }
    void TearDown() override { unsetenv("VORTLINK_HID_SIM"); }

    std::string flash_crc(unsigned device) {
        return sim.control("firmware-crc " + std::to_string(device));
    }

    temp_directory dir;
    simulator_process sim;
    json_schema_check schema;
    std::string image;
    std::string log;
};

} // namespace

TEST_F(QuorrelctlGang, ProgramsEveryUsbControllerAndRecordsEach) {
    const auto run = quorrelctl({"--usb", "all", "program", image, "--log", log});
    ASSERT_EQ(run.exit_status, 0) << run.out << run.err;

    char expected[64];
    std::snprintf(expected, sizeof expected, "ok 0x%x 0x%zx 0x%x", image_base,
                  image_base + image_size - 1, expected_flash_crc(controller_image()));
    for (unsigned device = 1; device <= gang_size; ++device)
        EXPECT_EQ(flash_crc(device), expected) << device;

    const auto records = json_lines(slurp(log));
    ASSERT_EQ(records.size(), gang_size) << slurp(log);
    std::set<std::string> serials;
    for (const auto &record : records) {
        EXPECT_EQ(schema.check(record, "log_line"), "") << record.dump();
        serials.insert(record.at("serial").get<std::string>());
        EXPECT_EQ(record.at("operation"), "program");
        EXPECT_EQ(record.at("status_code"), 0);
        EXPECT_EQ(record.at("firmware_file"), image);
        // The record's CRC is the one the controller's flash now has.
        char crc[16];
        std::snprintf(crc, sizeof crc, "0x%x", record.at("image_crc16").get<unsigned>());
        EXPECT_NE(std::string(expected).find(crc), std::string::npos) << record.dump();
    }
    EXPECT_EQ(serials, (std::set<std::string>{"Q0000001", "Q0000002", "Q0000003", "Q0000004"}));

    // Without a terminal: lines led by the controller, then the summary.
    for (unsigned position = 0; position < gang_size; ++position)
        EXPECT_NE(run.out.find("[usb " + std::to_string(position) + "] Programmed "),
                  std::string::npos)
            << run.out;
    EXPECT_NE(run.out.find("program: 4 of 4 controllers ok\n"), std::string::npos) << run.out;
}

TEST_F(QuorrelctlGang, AFaultOnOneControllerFailsOnlyThatOne) {
    // The third controller refuses its first command (the transfer buffer query).
    sim.inject("device 3 error 7");
    const auto run = quorrelctl({"--usb", "all", "--json", "program", image, "--log", log});
    EXPECT_EQ(run.exit_status, 1) << run.err;

    const auto lines = json_lines(run.out);
    ASSERT_EQ(lines.size(), gang_size) << run.out;
    for (const auto &line : lines) {
        EXPECT_EQ(schema.check(line, "gang_line"), "") << line.dump();
        const bool third = line.at("serial") == "Q0000003";
        EXPECT_EQ(line.at("ok").get<bool>(), !third) << line.dump();
        EXPECT_EQ(line.at("status_code"), third ? 7 : 0) << line.dump();
    }
    EXPECT_EQ(flash_crc(3), "ok none") << "nothing reached the failed controller's flash";
    for (unsigned device : {1u, 2u, 4u})
        EXPECT_NE(flash_crc(device), "ok none") << device;
    EXPECT_EQ(json_lines(slurp(log)).size(), gang_size);

    // The text summary marks it too.
    sim.inject("device 2 error 7");
    const auto text = quorrelctl({"--usb", "all", "program", image});
    EXPECT_EQ(text.exit_status, 1);
    EXPECT_NE(text.out.find("Q0000002  FAILED"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("program: 3 of 4 controllers ok, 1 FAILED\n"), std::string::npos)
        << text.out;
}

TEST_F(QuorrelctlGang, PerControllerValuesNeedOneController) {
    const auto refused = quorrelctl({"--usb", "all", "mfg", "write", "--mac", "02:00:00:00:00:01"});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("belong to one controller"), std::string::npos) << refused.err;
    // A value every controller shares is fine.
    const auto shared = quorrelctl({"--usb", "all", "--json", "mfg", "write", "--eco", "C"});
    ASSERT_EQ(shared.exit_status, 0) << shared.err;
    for (const auto &line : json_lines(shared.out)) {
        EXPECT_EQ(line.at("result").at("eco_revision"), "C");
        EXPECT_EQ(line.at("result").at("serial_number"), line.at("serial"))
            << "each keeps its own serial number";
    }
}

TEST(QuorrelctlTcpGang, RepeatedTcpAndAHostList) {
    simulator_process first;
    const std::string port = std::to_string(first.tcp_port());
    simulator_process second({"--bind", "127.0.0.2", "--tcp-port", port, "--status-word", "7"});
    write_tcp_port(first.tcp_port());

    const auto run = quorrelctl({"--tcp", "127.0.0.1", "--tcp", "127.0.0.2", "--json", "status"});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    std::map<std::string, int> words;
    for (const auto &line : json_lines(run.out))
        words[line.at("address")] = line.at("result").at("status_word");
    EXPECT_EQ(words, (std::map<std::string, int>{{"127.0.0.1", 0}, {"127.0.0.2", 7}}));

    std::ofstream("hosts.txt") << "# station 3\n127.0.0.1\n\n  127.0.0.2  \n";
    const auto listed = quorrelctl({"--tcp-list", "hosts.txt", "--json", "status"});
    ASSERT_EQ(listed.exit_status, 0) << listed.err;
    EXPECT_EQ(json_lines(listed.out).size(), 2u);

    std::ofstream("bad-hosts.txt") << "127.0.0.1 127.0.0.2\n";
    const auto bad = quorrelctl({"--tcp-list", "bad-hosts.txt", "status"});
    EXPECT_EQ(bad.exit_status, 2);
    EXPECT_NE(bad.err.find("line 1: one host a line"), std::string::npos) << bad.err;
}

TEST_F(QuorrelctlGang, ConcurrentToolsAppendWholeLinesToOneRecord) {
    // Four tools at once, each over the whole gang; every line must come out whole.
    std::string command;
    for (int tool = 0; tool < 4; ++tool)
        command += quorrelctl_harness::quoted(QUORRELCTL_PATH) +
                   " --usb all --json status --log " + quorrelctl_harness::quoted(log) +
                   " >/dev/null 2>&1 & ";
    command += "wait";
    ASSERT_EQ(std::system(command.c_str()), 0);
    sim.inject("device 4 error 9");
    EXPECT_EQ(quorrelctl({"--usb", "3", "status", "--log", log}).exit_status, 1);

    const auto records = json_lines(slurp(log));
    ASSERT_EQ(records.size(), 4 * gang_size + 1);
    std::map<std::string, int> per_serial;
    for (const auto &record : records) {
        EXPECT_EQ(schema.check(record, "log_line"), "") << record.dump();
        ++per_serial[record.at("serial")];
    }
    EXPECT_EQ(per_serial.size(), gang_size);
    EXPECT_EQ(records.back().at("status_code"), 9) << "a failure is recorded with its code";
    EXPECT_EQ(records.back().at("serial"), "Q0000004");
}

TEST(QuorrelctlReplacedFile, EveryControllerGetsTheImageTheRecordNames) {
    struct row {
        std::vector<std::string> target;
        std::vector<unsigned> devices;
    };
    for (const row &r : {row{{"--usb", "0"}, {1}}, row{{"--usb", "all"}, {1, 2}}}) {
        temp_directory dir;
        simulator_process sim(vortlink::test::with_hid, {"--usb-devices", "2", "--boot-loader"});
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
        const std::string path = dir.file("app.s19"), log = dir.file("run.jsonl");
        const auto convert = [&](unsigned seed) {
            return vortlink::test::srec_cat_convert(dir.file(std::to_string(seed)),
                                                    controller_image(seed), image_base,
                                                    {"-address-length=3", "-obs=16"});
        };
        std::filesystem::rename(convert(14), path);
        const std::string second = convert(15);
        // Each controller holds its answer to the first command, the transfer buffer query,
        // while the file is replaced.
        for (unsigned device : r.devices)
            sim.inject("device " + std::to_string(device) + " delay 1500");
        std::vector<std::string> args = r.target;
        args.insert(args.end(), {"program", path, "--log", log});
        run_result run;
        std::thread tool([&] { run = quorrelctl(args); });
        const auto all_asked = [&] { // every controller has been sent 2064 (0x0810)
            return std::all_of(r.devices.begin(), r.devices.end(), [&](unsigned device) {
                const auto frames = sim.usb_frames(device);
                return std::any_of(frames.begin(), frames.end(), [](const auto &f) {
                    return f.size() > 3 && f[1] == 0x05 && f[2] == 0x08 && f[3] == 0x10;
                });
            });
        };
        for (int wait = 0; wait < 500 && !all_asked(); ++wait)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_TRUE(all_asked()) << "the file is replaced while the tool runs";
        std::filesystem::rename(second, path);
        tool.join();
        unsetenv("VORTLINK_HID_SIM");
        ASSERT_EQ(run.exit_status, 0) << run.out << run.err;

        const auto records = json_lines(slurp(log));
        ASSERT_EQ(records.size(), r.devices.size());
        for (const auto &record : records) {
            const std::string serial = record.at("serial");
            char crc[16];
            std::snprintf(crc, sizeof crc, " 0x%x", record.at("image_crc16").get<unsigned>());
            const std::string flash =
                sim.control("firmware-crc " + serial.substr(serial.size() - 1));
            EXPECT_EQ(flash.substr(flash.rfind(' ')), crc) << serial << " " << flash;
            EXPECT_EQ(record.at("image_crc16"), expected_flash_crc(controller_image(14)))
                << "the file as it was read";
        }
    }
}
