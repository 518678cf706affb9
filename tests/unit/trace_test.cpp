// Frame tracing against the real quorrel-sim over both transports: the lines carry the bytes
// that actually went over the wire, and nothing is written while tracing is off.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/platform/text_file.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "vortlink.h"

using namespace vortlink;
using vortlink::test::simulator_process;
using vortlink::test::with_hid;
using vortlink::test::write_file;

namespace {

const char *const trace_file = "frames.log";

std::vector<std::string> trace_lines() {
    std::ifstream in(trace_file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string hex_of(const std::vector<uint8_t> &bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : bytes) {
        if (!text.empty())
            text += ' ';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

// The part of a line after its timestamp.
std::string without_time(const std::string &line) {
    const auto space = line.find(' ');
    return space == std::string::npos ? line : line.substr(space + 1);
}

class TraceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::remove(trace_file);
        unsetenv("VORTLINK_TRACE");
    }
    void TearDown() override {
        unsetenv("VORTLINK_TRACE");
        std::remove(trace_file);
    }
};

class TcpTrace : public TraceTest {
  protected:
    static constexpr uint8_t slot = 2;
    void SetUp() override {
        TraceTest::SetUp();
        ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
        ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
        ASSERT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), status::ok);
        sim.clear_frames();
    }
    void TearDown() override {
        tkcmdset_shutdown(slot);
        TraceTest::TearDown();
    }
    simulator_process sim{{"--status-word", "0x1234"}};
};

} // namespace

TEST_F(TcpTrace, StatusRequestAndReplyAreLoggedWithTheirBytes) {
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    EXPECT_EQ(word, 0x1234);

    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(without_time(lines[0]), "slot 2 tcp -> status [00 02 0E] status 0");
    // The reply line carries the frame as received: header, opcode, the word, its CRC-8.
    std::vector<uint8_t> reply = {0x00, 0x02, 0x12, 0x34};
    ASSERT_NE(lines[1].find("slot 2 tcp <- status ["), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find(hex_of(reply)), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("] status 0"), std::string::npos) << lines[1];
    // The time is a UTC timestamp with milliseconds.
    EXPECT_EQ(lines[0].size() - without_time(lines[0]).size(), 25u) << lines[0];
    EXPECT_EQ(lines[0][23], 'Z') << lines[0];
}

TEST_F(TcpTrace, NothingIsWrittenWhenOffOrZero) {
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    setenv("VORTLINK_TRACE", "0", 1);
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    setenv("VORTLINK_TRACE", "", 1);
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    EXPECT_FALSE(std::ifstream(trace_file).good());
}

TEST_F(TcpTrace, FileIsAppendedAcrossExchanges) {
    { std::ofstream(trace_file) << "earlier line\n"; }
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "earlier line");
    EXPECT_NE(lines[3].find("tcp -> status [00 02 0E]"), std::string::npos);
}

TEST_F(TcpTrace, ControllerErrorReplyCarriesItsCode) {
    sim.inject("error 7");
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(slot, &word), 7);
    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("-> status [00 02 0E] status 0"), std::string::npos) << lines[0];
    // The error reply is seven bytes: header, marker, opcode, ..., the code low byte first.
    EXPECT_NE(lines[1].find("<- "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("] status 7"), std::string::npos) << lines[1];
    const auto open = lines[1].find('['), close = lines[1].find(']');
    ASSERT_NE(open, std::string::npos);
    EXPECT_EQ(close - open - 1, 7u * 3 - 1) << lines[1];
}

TEST_F(TcpTrace, ReplyThatNeverComesIsLoggedWithItsStatus) {
    sim.inject("drop");
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    const int16_t result = tkcmdset_status(slot, &word);
    ASSERT_NE(result, TKCMDSET_OK);
    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("<- status [] status " + std::to_string(result)), std::string::npos)
        << lines[1];
}

TEST_F(TcpTrace, EchoThatBringsTheSlotBackInStepIsLogged) {
    sim.inject("drop");
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_REPLY_TIMEOUT);
    setenv("VORTLINK_TRACE", trace_file, 1);
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 4u);
    // The echo's request carries its random pattern: 50 bytes after header and opcode.
    const std::string echo = without_time(lines[0]);
    EXPECT_EQ(echo.rfind("slot 2 tcp -> echo [00 00 ", 0), 0u) << echo;
    EXPECT_EQ(echo.size(), std::string("slot 2 tcp -> echo [] status 0").size() + 53 * 3 - 1);
    EXPECT_EQ(without_time(lines[1]), "slot 2 tcp <- echo [] status 0");
    EXPECT_EQ(without_time(lines[2]), "slot 2 tcp -> status [00 02 0E] status 0");
}

TEST_F(TraceTest, ExchangeOnAnUnopenedSlotStillGetsItsLine) {
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    const int16_t result = tkcmdset_status(9, &word);
    ASSERT_NE(result, TKCMDSET_OK);
    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("slot 9 "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("-> status [] status " + std::to_string(result)), std::string::npos)
        << lines[0];
}

TEST_F(TraceTest, OneGoesToStandardError) {
    simulator_process sim;
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(1, 0, "127.0.0.1"), status::ok);
    setenv("VORTLINK_TRACE", "1", 1);
    testing::internal::CaptureStderr();
    uint16_t word = 0;
    const int16_t result = tkcmdset_status(1, &word);
    const std::string err = testing::internal::GetCapturedStderr();
    tkcmdset_shutdown(1);
    ASSERT_EQ(result, TKCMDSET_OK);
    EXPECT_NE(err.find("slot 1 tcp -> status [00 02 0E] status 0\n"), std::string::npos) << err;
    EXPECT_NE(err.find("slot 1 tcp <- status [00 02 "), std::string::npos) << err;
    EXPECT_FALSE(std::ifstream("1").good()) << "\"1\" means standard error, not a file";
}

TEST_F(TraceTest, UsbReportsAreLoggedWhole) {
    simulator_process sim(with_hid);
    // Without a serial number, slot N opens the N-th controller on the bus.
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    ASSERT_EQ(tkcmdset_init_ex(0, "Kv Quorrel Controller", nullptr), TKCMDSET_OK);
    sim.clear_frames();
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    const int16_t result = tkcmdset_status(0, &word);
    unsetenv("VORTLINK_TRACE");
    tkcmdset_shutdown(0);
    unsetenv("VORTLINK_HID_SIM");
    ASSERT_EQ(result, TKCMDSET_OK);

    const auto sent = sim.usb_frames();
    ASSERT_EQ(sent.size(), 1u);
    const auto lines = trace_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(without_time(lines[0]), "slot 0 usb -> status [" + hex_of(sent[0]) + "] status 0");
    EXPECT_NE(lines[1].find("slot 0 usb <- status ["), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("] status 0"), std::string::npos) << lines[1];
}

TEST_F(TcpTrace, NewTraceFileIsReadableByItsOwnerAlone) {
    setenv("VORTLINK_TRACE", trace_file, 1);
    uint16_t word = 0;
    ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    struct stat status {};
    ASSERT_EQ(::stat(trace_file, &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
}

// A destination that is not a regular file is refused with one line on standard error, and
// tracing stays off; the exchanges go on with their normal status, never blocked.
TEST_F(TcpTrace, DestinationThatIsNotARegularFileTurnsTracingOff) {
    const std::string target = "trace-target.log";
    write_file(target, "");
    const struct {
        const char *what;
        const char *path;
        std::function<int()> make;
    } cases[] = {
        {"fifo without a reader", "trace.fifo", [] { return ::mkfifo("trace.fifo", 0600); }},
        {"symbolic link", "trace.link", [&] { return ::symlink(target.c_str(), "trace.link"); }},
        {"directory", "trace.dir", [] { return ::mkdir("trace.dir", 0700); }},
    };
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.what);
        ASSERT_EQ(entry.make(), 0);
        setenv("VORTLINK_TRACE", entry.path, 1);
        testing::internal::CaptureStderr();
        uint16_t word = 0;
        const auto start = std::chrono::steady_clock::now();
        for (int call = 0; call < 3; ++call) {
            EXPECT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
            EXPECT_EQ(word, 0x1234);
        }
        sim.inject("error 5");
        EXPECT_EQ(tkcmdset_status(slot, &word), 5) << "failures keep their own status";
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
        EXPECT_NE(err.find(entry.path), std::string::npos) << err;
        ::unlink(entry.path);
        ::rmdir(entry.path);
    }
    std::ifstream written(target);
    EXPECT_EQ(written.peek(), std::ifstream::traits_type::eof()) << "nothing went through the link";
    ::unlink(target.c_str());
}

TEST_F(TcpTrace, FifoWithAReaderIsRefusedWithoutBlocking) {
    ASSERT_EQ(::mkfifo("reader.fifo", 0600), 0);
    const int reader = ::open("reader.fifo", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    setenv("VORTLINK_TRACE", "reader.fifo", 1);
    testing::internal::CaptureStderr();
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("not a regular file"), std::string::npos) << err;
    char byte;
    EXPECT_LE(::read(reader, &byte, 1), 0) << "nothing was written into the FIFO";
    ::close(reader);
    ::unlink("reader.fifo");
}

// A file that another user created first (with a mode that lets us write it) would let that user
// read every frame: it is refused, told once on standard error with control characters escaped.
TEST_F(TcpTrace, FileThatAnotherUserCreatedIsNotUsed) {
    const std::string planted = "planted\x1b[2J.log";
    write_file(planted, "");
    if (::chmod(planted.c_str(), 0666) != 0 || ::chown(planted.c_str(), 65534, 65534) != 0) {
        ::unlink(planted.c_str());
        GTEST_SKIP() << "needs root to give the file to another user";
    }
    setenv("VORTLINK_TRACE", planted.c_str(), 1);
    testing::internal::CaptureStderr();
    uint16_t word = 0;
    for (int call = 0; call < 2; ++call)
        EXPECT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_NE(err.find("planted\\x1b[2J.log"), std::string::npos) << err;
    EXPECT_EQ(err.find('\x1b'), std::string::npos) << "no raw escape reaches the terminal";
    struct stat info {};
    ASSERT_EQ(::stat(planted.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 0) << "no frame went into the planted file";
    ::unlink(planted.c_str());
}
