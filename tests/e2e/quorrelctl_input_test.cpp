// quorrelctl against bad input and awkward device data: every refusal exits with 2 and a message
// naming the option, nothing reaches the controller, nothing crashes or hangs; and values come
// out right (floats as numbers, device bytes that are not UTF-8 as escaped Latin-1).

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "blocks/mfg_block.h"
#include "e2e/quorrelctl_harness.h"
#include "support/simulator_process.h"
#include "vortlink.h"

using vortlink::test::simulator_process;
using namespace vortlink::test::quorrelctl_harness;

namespace {

constexpr uint8_t library_slot = 7;
// Manufacturing block, configuration block and lighthead image.
constexpr uint16_t watched_eeprom = 1152;

class QuorrelctlInput : public ::testing::Test {
  protected:
    QuorrelctlInput() : sim(vortlink::test::with_hid) {}

    void SetUp() override {
        write_tcp_port(sim.tcp_port());
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
        ASSERT_EQ(tkcmdset_connect(library_slot, 0, "127.0.0.1"), TKCMDSET_OK);
    }
    void TearDown() override {
        (void)tkcmdset_shutdown(library_slot);
        unsetenv("VORTLINK_HID_SIM");
    }

    std::vector<uint8_t> eeprom() {
        std::vector<uint8_t> bytes(watched_eeprom);
        EXPECT_EQ(tkcmdset_read_eemem_block(library_slot, 0, bytes.data(), watched_eeprom),
                  TKCMDSET_OK);
        return bytes;
    }

    simulator_process sim;
};

struct bad_input {
    std::vector<std::string> args;
    int exit_status;
    const char *says; // a fragment of the message on standard error
};

} // namespace

TEST_F(QuorrelctlInput, BadInputIsRefusedWithItsOptionNamedAndNothingWritten) {
    ::unlink("fifo");
    ASSERT_EQ(mkfifo("fifo", 0600), 0);
    std::ofstream("big.bin", std::ios::binary) << std::string(65536, 'x');
    std::ofstream("no-header.s19") << "S1130000000102030405060708090A0B0C0D0E0F74\n";
    const std::string long_text(100, 'x');
    // Links another user could have planted, pointing at a file of the victim's.
    const std::string victim_text = "export PATH=/usr/bin\n";
    std::ofstream("victim.txt") << victim_text;
    for (const char *link : {"link.bin", "link.jsonl"}) {
        ::unlink(link);
        ASSERT_EQ(symlink("victim.txt", link), 0);
    }
    std::ofstream("empty-hosts.txt").close();
    std::ofstream("comment-hosts.txt") << "# station 3\n\n   \n";

    const bad_input table[] = {
        // Text too long for its field: refused, never cut.
        {{"mfg", "write", "--serial-number", "Q00000000000000000000001"}, 2,
         "--serial-number: at most 16 characters, got 24"},
        {{"mfg", "write", "--part", "6400-000850-ABCDE"}, 2, "--part: at most 16 characters"},
        {{"mfg", "write", "--eco", "REV-B"}, 2, "--eco: at most 4 characters"},
        {{"mfg", "write", "--serial-number", "Q\xC3\xA9"}, 2, "printable ASCII"},
        {{"mfg", "write", "--mac", "00:11:22"}, 2, "--mac: six hex bytes"},
        {{"mfg", "write", "--ip", "192.168.1.300"}, 2, "--ip: a dotted IPv4 address"},
        {{"lighthead", "write", "--part", long_text}, 2, "--part: at most 15 characters, got 100"},
        // Numbers that do not parse, NaN, infinity, out of range.
        {{"config", "write", "--width", "abc"}, 2, "--width: a whole number from 0 to 2147483647"},
        {{"config", "write", "--current", "nan"}, 2, "--current: a number from 0 to 50 A"},
        {{"config", "write", "--current", "inf"}, 2, "--current"},
        {{"config", "write", "--supply-overhead", "1e999"}, 2, "--supply-overhead"},
        {{"config", "write", "--delay", "70000"}, 2, "--delay: a whole number from 0 to 65535"},
        {{"config", "write", "--initial-led-temperature", "-1"}, 2, "--initial-led-temperature"},
        {{"lighthead", "write", "--tau", "nan"}, 2, "--tau (Tau (mSec))"},
        {{"lighthead", "write", "--strings", "2.5"}, 2, "--strings (Number of Strings)"},
        {{"lighthead", "write", "--leds-per-string", "16"}, 2, "LEDs / String"},
        {{"set", "pulse", "1", "750", "70000", "1"}, 2, "DELAY: '70000' is not a whole number"},
        {{"set", "pulse", "1", "750", "5", "nan"}, 2, "CURRENT: 'nan' is not a finite number"},
        {{"set", "pulse", "1", "0x", "5", "1"}, 2, "WIDTH"},
        {{"set", "hv-supply", "0", "1e39"}, 2, "VOLTS"},
        {{"calc", "led-temp", "0", "1000"}, 2, "expected 3 arguments, got 2"},
        {{"set", "ip", "10.0.0.1", "x", "10.0.0.2"}, 2, "IP2"},
        {{"error", "40000"}, 2, "CODE: a status code from -32768 to 32767"},
        {{"eeprom", "read", "zz", "4"}, 2, "ADDRESS: 'zz' is not a number"},
        {{"eeprom", "read", "0x10000", "4"}, 2, "beyond the EEPROM's last address 0xFFFF"},
        {{"eeprom", "read", "0xFFFF", "2"}, 2, "run past the end of the EEPROM"},
        {{"eeprom", "read", "0", "65536"}, 2, "LENGTH"},
        {{"eeprom", "write", "0x10", "ABC"}, 2, "BYTES: not hex bytes"},
        // Files: regular ones only, at most one transfer long, checked before reading.
        {{"eeprom", "write", "2000", "--file", "/tmp"}, 2, "'/tmp': not a regular file"},
        {{"mem", "write", "0", "--file", "/dev/zero"}, 2, "'/dev/zero': not a regular file"},
        {{"mem", "write", "0", "--file", "/dev/urandom"}, 2, "'/dev/urandom': not a regular file"},
        {{"mem", "write", "0", "--file", "fifo"}, 2, "'fifo': not a regular file"},
        {{"mem", "write", "0", "--file", "big.bin"}, 2, "65536 bytes, more than the 65535"},
        {{"mem", "write", "0", "--file", "missing.bin"}, 2, "'missing.bin': No such file"},
        {{"program", "missing.s19"}, 2, "'missing.s19': No such file"},
        {{"program", "/dev/zero"}, 2, "'/dev/zero': not a regular file"},
        {{"program", "no-header.s19"}, 2, "'no-header.s19' is not a firmware image"},
        // Commands and options.
        {{"frobnicate"}, 2, "unknown command 'frobnicate'"},
        {{"progam", "x.s19"}, 2, "did you mean 'program'?"},
        {{"mfg", "shw"}, 2, "unknown mfg command 'shw'; did you mean 'show'?"},
        {{"get", "pluse", "0"}, 2, "did you mean 'pulse'?"},
        {{"--usb", "50", "status"}, 2, "--usb: a position from 0 to 49, or all"},
        {{"--tcp", "127.0.0.1", "reset", "loader"}, 2, "reset works over USB only"},
        {{"--tcp", "127.0.0.1", "--tcp", "127.0.0.1", "status"}, 2, "named twice"},
        {{"--usb", "all", "eeprom", "read", "0", "4"}, 2, "cannot run on several controllers"},
        {{"--usb", "all", "mfg", "write", "--serial-number", "Q1"}, 2,
         "--serial-number, --mac and --ip belong to one controller"},
        {{"--log", "/nonexistent-dir/run.jsonl", "status"}, 2, "--log '/nonexistent-dir/"},
        // Links, FIFOs and empty names: refused at once, nothing written through them.
        {{"--log", "fifo", "status"}, 2, "--log 'fifo': not a regular file"},
        {{"--log", "link.jsonl", "status"}, 2, "--log 'link.jsonl': a symbolic link"},
        {{"--log", "", "status"}, 2, "--log: a file name"},
        {{"eeprom", "read", "0", "4", "--file", "fifo"}, 2, "'fifo': not a regular file"},
        {{"eeprom", "read", "0", "4", "--file", "link.bin"}, 2, "'link.bin': a symbolic link"},
        {{"mem", "write", "0", "--file", "link.bin"}, 2, "'link.bin': a symbolic link"},
        {{"program", "link.bin"}, 2, "'link.bin': a symbolic link"},
        {{"program", "fifo"}, 2, "'fifo': not a regular file"},
        {{"--tcp-list", "fifo", "status"}, 2, "'fifo': not a regular file"},
        {{"--tcp-list", "empty-hosts.txt", "status"}, 2, "'empty-hosts.txt' names no host"},
        {{"--tcp-list", "comment-hosts.txt", "status"}, 2, "'comment-hosts.txt' names no host"},
        {{"--tcp-list", "", "status"}, 2, "--tcp-list ''"},
        // A failure of the controller is 1, with the catalogue's name.
        {{"--usb", "9", "status"}, 1, "ERROR (-10201)"},
    };

    const std::vector<uint8_t> before = eeprom();
    sim.clear_frames();
    for (const auto &row : table) {
        std::string shown;
        for (const auto &arg : row.args)
            shown += arg.substr(0, 30) + " ";
        const auto result = quorrelctl(row.args);
        EXPECT_EQ(result.exit_status, row.exit_status) << shown << "\n" << result.err;
        EXPECT_NE(result.err.find(row.says), std::string::npos)
            << shown << "\nsays: " << result.err;
        EXPECT_TRUE(result.out.empty()) << shown << "\n" << result.out;
    }
    EXPECT_EQ(eeprom(), before);
    EXPECT_TRUE(sim.usb_frames().empty()) << "no refused command reached the controller";
    EXPECT_EQ(slurp("victim.txt"), victim_text) << "nothing written through a link";
}

TEST_F(QuorrelctlInput, TextsFromOutsideAreShownEscaped) {
    const std::string catalogue = std::filesystem::current_path() / "planted.ini";
    std::ofstream(catalogue) << "[5]\nName=\x1b[31mRed\nText=\x1b]0;owned\x07 said the catalogue\n";
    ASSERT_EQ(::chmod(catalogue.c_str(), 0644), 0);
    const std::string settings = std::getenv("XDG_CONFIG_HOME");
    std::ofstream(settings + "/Kestrova/Quorrel/Command Set Toolkit.conf", std::ios::app)
        << "ErrorCodesFile=" << catalogue << "\n";
    struct row {
        const char *control; // what the controller is made to do first, if anything
        std::vector<std::string> args;
        int exit_status;
    };
    const row table[] = {
        {nullptr, {"error", "5"}, 0},
        {"error 5", {"--tcp", "127.0.0.1", "status"}, 1},
        {"serial \x1b[2JQ1", {"list"}, 0},
        {nullptr, {"--usb", "0", "info"}, 0},
    };
    for (const auto &r : table) {
        if (r.control != nullptr)
            sim.inject(r.control);
        const auto result = quorrelctl(r.args);
        EXPECT_EQ(result.exit_status, r.exit_status) << r.args[0] << result.err;
        const std::string shown = result.out + result.err;
        EXPECT_EQ(shown.find('\x1b'), std::string::npos) << r.args[0] << ": " << shown;
        EXPECT_NE(shown.find("\\x1b["), std::string::npos) << r.args[0] << ": " << shown;
    }
}

TEST_F(QuorrelctlInput, CalcAnswersWithTheModelsTemperatureInDegrees) {
    // The simulator's thermal model (simulator/README.md) with its factory lighthead, LED group
    // 0: led_rth 2.5 C/W, tau 12 ms, vf_slope 0.4, vf_offset 2.9 V, ambient 25 C;
    // T = Ta + (vf_offset + vf_slope I) I led_rth (1 - e^(-t / tau)).
    struct query {
        uint32_t width_us;
        double current;
    };
    for (const query &q : {query{1000, 10.0}, query{5000, 2.0}, query{250, 0.5}}) {
        const double power = (2.9 + 0.4 * q.current) * q.current;
        const double expected = 25.0 + power * 2.5 * (1.0 - std::exp(-(q.width_us / 1000.0) / 12.0));
        char current[16];
        std::snprintf(current, sizeof current, "%g", q.current);
        const auto result = quorrelctl(
            {"--json", "calc", "led-temp", "0", std::to_string(q.width_us), current});
        ASSERT_EQ(result.exit_status, 0) << result.err;
        const auto answer = nlohmann::json::parse(result.out);
        ASSERT_TRUE(answer.at("led_temperature").is_number_float()) << result.out;
        EXPECT_NEAR(answer.at("led_temperature").get<double>(), expected, 1e-3) << q.width_us;
    }
    const auto text = quorrelctl({"calc", "led-temp", "0", "1000", "10"});
    ASSERT_EQ(text.exit_status, 0) << text.err;
    EXPECT_EQ(text.out.rfind("led_temperature: 38.79", 0), 0u) << text.out;
    EXPECT_NE(text.out.find(" \u00B0C\n"), std::string::npos) << text.out;

    // Volts and amperes are floats too; the longest pulse and the frequency are counts.
    const auto supply = nlohmann::json::parse(
        quorrelctl({"--json", "calc", "supply-voltage", "0", "100", "1"}).out);
    // 6 LEDs per string x (2.9 + 0.4 x 1) V + the factory supply overhead of 5 V.
    EXPECT_NEAR(supply.at("supply_voltage").get<double>(), 6 * 3.3 + 5.0, 1e-4);
    const auto width =
        nlohmann::json::parse(quorrelctl({"--json", "calc", "max-width", "0", "10"}).out);
    EXPECT_TRUE(width.at("max_width").is_number_unsigned());
}

TEST_F(QuorrelctlInput, DeviceTextThatIsNotUtf8ComesOutAsEscapedLatin1) {
    using namespace vortlink::loader;
    mfg_fields fields;
    fields.serial_number = "Q\xE9\xFF" "01";
    fields.hardware_part_number = "6400-\xB5";
    fields.eco_revision = "B";
    std::tm date{};
    date.tm_year = 126;
    date.tm_yday = 99;
    uint8_t block[mfg_block_size];
    build_mfg_block(fields, date, block);
    ASSERT_EQ(tkcmdset_write_eemem_block(library_slot, mfg_block_address, block, sizeof block),
              TKCMDSET_OK);

    for (const char *command : {"mfg", "info"}) {
        std::vector<std::string> args = {"--tcp", "127.0.0.1", "--json", command};
        if (std::string(command) == "mfg")
            args.push_back("show");
        const auto result = quorrelctl(args);
        ASSERT_EQ(result.exit_status, 0) << command << result.err;
        EXPECT_NE(result.out.find("Q\\u00e9\\u00ff01"), std::string::npos) << result.out;
        for (char c : result.out)
            ASSERT_LT(static_cast<unsigned char>(c), 0x80) << "JSON output is plain ASCII";
        const auto parsed = nlohmann::json::parse(result.out);
        const auto &mfg = std::string(command) == "mfg" ? parsed : parsed.at("manufacturing");
        EXPECT_EQ(mfg.at("serial_number"), "Q\u00E9\u00FF01");
        EXPECT_EQ(mfg.at("hardware_part_number"), "6400-\u00B5");
        EXPECT_EQ(mfg.at("manufactured_on"), "2026-04-10");
    }
    const auto text = quorrelctl({"--tcp", "127.0.0.1", "mfg", "show"});
    EXPECT_NE(text.out.find("Q\u00E9\u00FF01\n"), std::string::npos) << text.out;
}

TEST_F(QuorrelctlInput, GlobalOptionsAfterTheCommand) {
    const auto result = quorrelctl({"status", "--json", "--tcp", "127.0.0.1"});
    ASSERT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(nlohmann::json::parse(result.out).at("status_word"), 0);
    const auto traced = quorrelctl({"status", "--trace"});
    ASSERT_EQ(traced.exit_status, 0) << traced.err;
    EXPECT_NE(traced.err.find("slot 0 usb -> status"), std::string::npos) << traced.err;
}
