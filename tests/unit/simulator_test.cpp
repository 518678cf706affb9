// quorrel-sim on its own: the real process spoken to over raw sockets, no library. Framing,
// the controller model, every fault of the control port, several clients, the process's
// command line and shutdown, and the HID socket with the control commands of the USB side.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "support/raw_tcp_client.h"
#include "support/simulator_process.h"
#include "support/spawned_program.h"

using namespace std::chrono_literals;
using vortlink::test::simulator_process;
using vortlink::test::with_hid;
namespace protocol = vortlink::protocol;
namespace op = vortlink::protocol::opcode;
namespace device_error = vortlink::protocol::device_error;

namespace {

using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;

constexpr auto reply_limit = vortlink::test::raw_tcp_client::reply_limit;
constexpr auto quiet_period = vortlink::test::raw_tcp_client::quiet_period;

long elapsed_ms(steady::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count());
}

using vortlink::test::raw_tcp_client;

uint16_t table_length(uint8_t opcode, bool request) {
    uint16_t length = 0;
    EXPECT_EQ(protocol::lookup_command(opcode, request, length), 0) << int{opcode};
    return length;
}

uint8_t crc_of(const bytes &frame, std::size_t count) {
    return protocol::crc8(frame.data(), static_cast<uint16_t>(count));
}

// A request frame: the data is padded with zeros to the table's length.
bytes request(uint8_t opcode, bytes data = {}, uint8_t header = 0) {
    data.resize(table_length(opcode, true));
    bytes frame{header, opcode};
    frame.insert(frame.end(), data.begin(), data.end());
    frame.push_back(crc_of(frame, frame.size()));
    return frame;
}

bytes u32_be(uint32_t value) {
    bytes out(4);
    protocol::put_u32_be(out.data(), value);
    return out;
}

bytes concat(std::initializer_list<bytes> parts) {
    bytes out;
    for (const bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

bytes block_request(uint32_t address, uint16_t count, const bytes &data = {}) {
    bytes out = u32_be(address);
    out.push_back(static_cast<uint8_t>(count >> 8));
    out.push_back(static_cast<uint8_t>(count));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Reads one whole reply: a normal one by its opcode's table length, or a 7-byte error reply.
bytes read_reply(raw_tcp_client &client) {
    bytes reply = client.receive(2);
    if (reply.size() < 2) {
        ADD_FAILURE() << "no reply";
        return reply;
    }
    const std::size_t rest = reply[1] == protocol::error_reply_marker
                                 ? protocol::tcp_error_reply_size - 2
                                 : table_length(reply[1], false) + 1u;
    const bytes tail = client.receive(rest);
    reply.insert(reply.end(), tail.begin(), tail.end());
    EXPECT_EQ(tail.size(), rest) << "short reply";
    return reply;
}

int16_t error_code_of(const bytes &reply) {
    return static_cast<int16_t>(reply[4] | (reply[5] << 8));
}

// Sends a request and returns the device error code of its reply (0 for a normal reply), with
// the reply data in `data`. Every reply must carry a good CRC and echo header and opcode.
int16_t command(raw_tcp_client &client, uint8_t opcode, const bytes &data = {},
                bytes *reply_data = nullptr, uint8_t header = 0) {
    client.send(request(opcode, data, header));
    const bytes reply = read_reply(client);
    if (reply.size() < 3)
        return INT16_MIN;
    EXPECT_EQ(reply.back(), crc_of(reply, reply.size() - 1)) << "reply CRC-8";
    EXPECT_EQ(reply[0], header) << "header byte echoed";
    if (reply[1] == protocol::error_reply_marker) {
        EXPECT_EQ(reply.size(), protocol::tcp_error_reply_size);
        EXPECT_EQ(reply[2], reply[5]) << "bytes 2-3 repeat the code high byte first";
        EXPECT_EQ(reply[3], reply[4]);
        return error_code_of(reply);
    }
    EXPECT_EQ(reply[1], opcode);
    if (reply_data != nullptr)
        *reply_data = bytes(reply.begin() + 2, reply.end() - 1);
    return 0;
}

constexpr uint8_t status_reply[] = {0x00, 0x02, 0x12, 0x34, 0x27};
const bytes status_request{0x00, 0x02, 0x0E};

class Simulator : public ::testing::Test {
  protected:
    simulator_process sim{{"--status-word", "0x1234"}};
    raw_tcp_client client{sim.tcp_port()};

    bytes status_exchange(std::size_t expected = sizeof status_reply) {
        client.send(status_request);
        return client.receive(expected);
    }
    static bytes good_status_reply() { return {std::begin(status_reply), std::end(status_reply)}; }
};

// ---- Framing --------------------------------------------------------------------------------

TEST_F(Simulator, StatusRequestGetsFiveBytesWithTheirCrc) {
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(status_exchange(), good_status_reply());
    // The header byte is echoed whatever it is.
    client.send({0x7F, 0x02, 0x6F});
    EXPECT_EQ(client.receive(5), bytes({0x7F, 0x02, 0x12, 0x34, 0xC7}));
    EXPECT_TRUE(client.quiet_for());
}

TEST_F(Simulator, RequestsInOneWriteAndAcrossWritesAreEachAnsweredOnce) {
    client.send(concat({status_request, status_request}));
    EXPECT_EQ(client.receive(10), concat({good_status_reply(), good_status_reply()}));
    for (uint8_t byte : status_request)
        client.send({byte});
    EXPECT_EQ(client.receive(5), good_status_reply());
    EXPECT_TRUE(client.quiet_for());
}

TEST_F(Simulator, BadRequestCrcGetsAChecksumErrorReply) {
    client.send({0x00, 0x02, 0x0F});
    EXPECT_EQ(client.receive(7), bytes({0x00, 0x2A, 0x00, 0x02, 0x02, 0x00, 0x45}));
    EXPECT_EQ(status_exchange(), good_status_reply()) << "the connection carries on";
}

TEST_F(Simulator, OpcodeInNoRowGetsUnknownCommandAndWhatCameWithItIsDiscarded) {
    // The tail would read as a status request if it were not thrown away.
    client.send({0x00, 0x33, 0x00, 0x02, 0x0E});
    EXPECT_EQ(client.receive(7), bytes({0x00, 0x2A, 0x00, 0x01, 0x01, 0x00, 0xC7}));
    EXPECT_TRUE(client.quiet_for());
    EXPECT_EQ(status_exchange(), good_status_reply());
}

TEST_F(Simulator, EveryOpcodeOfTheTableAnswersWithItsReplyLength) {
    for (const protocol::command_descriptor &row : protocol::command_table) {
        bytes data;
        EXPECT_EQ(command(client, row.opcode, {}, &data), 0) << protocol::opcode_name(row.opcode);
        EXPECT_EQ(data.size(), row.reply_length) << protocol::opcode_name(row.opcode);
    }
}

// ---- Controller model -----------------------------------------------------------------------

TEST_F(Simulator, EchoReturnsTheRequestData) {
    bytes pattern(50);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(0xA5 ^ i);
    bytes echoed;
    ASSERT_EQ(command(client, op::echo, pattern, &echoed, 0xA7), 0);
    EXPECT_EQ(echoed, pattern);
}

TEST_F(Simulator, FirmwareVersionIsZeroPaddedText) {
    bytes text;
    ASSERT_EQ(command(client, op::fw_version, {}, &text), 0);
    bytes expected(20, 0);
    const std::string version = "QRL-APP 1.04";
    std::copy(version.begin(), version.end(), expected.begin());
    EXPECT_EQ(text, expected);
}

TEST(SimulatorOptions, LongFirmwareVersionIsCutToTwentyBytes) {
    simulator_process sim{{"--fw-version", "QRL-APP 9.99 build 20260101"}};
    raw_tcp_client client{sim.tcp_port()};
    bytes text;
    ASSERT_EQ(command(client, op::fw_version, {}, &text), 0);
    EXPECT_EQ(std::string(text.begin(), text.end()), "QRL-APP 9.99 build 2");
}

TEST_F(Simulator, StatusWordIsSetThroughTheControlPort) {
    EXPECT_EQ(sim.control("status-word"), "ok 0x1234");
    EXPECT_EQ(sim.control("status-word 0xBEEF"), "ok 0xbeef");
    bytes word;
    ASSERT_EQ(command(client, op::status, {}, &word), 0);
    EXPECT_EQ(word, bytes({0xBE, 0xEF}));
    EXPECT_EQ(sim.control("status-word 65536"), "error bad number 65536");
}

TEST_F(Simulator, DiagnosticsPassForTheKnownTests) {
    EXPECT_EQ(command(client, op::run_diags, {0}), 0);
    EXPECT_EQ(command(client, op::run_diags, {5}), 0);
    EXPECT_EQ(command(client, op::run_diags, {6}), device_error::bad_parameter);
}

TEST_F(Simulator, MemoryBytesAndBlocksReadBackUpToTheLastAddress) {
    constexpr uint32_t last = 1024 * 1024 - 1;
    bytes value;
    ASSERT_EQ(command(client, op::write_mem, concat({u32_be(last), {0xAB}})), 0);
    ASSERT_EQ(command(client, op::read_mem, u32_be(last), &value), 0);
    EXPECT_EQ(value, bytes({0xAB, 0x00}));
    EXPECT_EQ(command(client, op::write_mem, concat({u32_be(last + 1), {0x01}})),
              device_error::bad_address);
    EXPECT_EQ(command(client, op::read_mem, u32_be(last + 1)), device_error::bad_address);

    bytes pattern(16);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i * 7 + 1);
    const uint32_t tail = last + 1 - 16;
    ASSERT_EQ(command(client, op::write_mem_block, block_request(tail, 16, pattern)), 0);
    bytes block;
    ASSERT_EQ(command(client, op::read_mem_block, block_request(tail, 16), &block), 0);
    ASSERT_EQ(block.size(), 112u);
    EXPECT_EQ(bytes(block.begin(), block.begin() + 16), pattern);
    EXPECT_EQ(bytes(block.begin() + 16, block.end()), bytes(96, 0)) << "beyond n: zeros";

    EXPECT_EQ(command(client, op::write_mem_block, block_request(tail + 1, 16, pattern)),
              device_error::bad_address);
    EXPECT_EQ(command(client, op::read_mem_block, block_request(tail + 1, 16)),
              device_error::bad_address);
    EXPECT_EQ(command(client, op::write_mem_block, block_request(0, 113)),
              device_error::bad_parameter);
    EXPECT_EQ(command(client, op::read_mem_block, block_request(0, 113)),
              device_error::bad_parameter);
    EXPECT_EQ(command(client, op::read_mem_block, block_request(0xFFFFFFFF, 1)),
              device_error::bad_address);
}

TEST(SimulatorOptions, ErasedEepromHoldsWhatWasWritten) {
    simulator_process sim{{"--erased"}};
    raw_tcp_client client{sim.tcp_port()};
    bytes block;
    ASSERT_EQ(command(client, op::read_eemem_block, block_request(0, 112), &block), 0);
    EXPECT_EQ(block, bytes(112, 0xFF));

    ASSERT_EQ(command(client, op::write_eemem_block, block_request(1024, 3, {1, 2, 3})), 0);
    ASSERT_EQ(command(client, op::read_eemem_block, block_request(1022, 7), &block), 0);
    EXPECT_EQ(bytes(block.begin(), block.begin() + 8), bytes({0xFF, 0xFF, 1, 2, 3, 0xFF, 0xFF, 0}));

    EXPECT_EQ(command(client, op::write_eemem_block, block_request(0xFFF0, 16, bytes(16, 9))), 0);
    EXPECT_EQ(command(client, op::write_eemem_block, block_request(0xFFF0, 17)),
              device_error::bad_address)
        << "a chunk running past 0xFFFF";
    EXPECT_EQ(command(client, op::read_eemem_block, block_request(0x00010000, 1)),
              device_error::bad_address)
        << "upper half of the address not zero";
    EXPECT_EQ(command(client, op::read_eemem_block, block_request(0, 200)),
              device_error::bad_parameter);
}

TEST_F(Simulator, GettersAnswerWhatTheirSettersStored) {
    bytes value;
    ASSERT_EQ(command(client, op::set_dig_out, {3, 0x5A}), 0);
    ASSERT_EQ(command(client, op::get_dig_out, {3}, &value), 0);
    EXPECT_EQ(value, bytes({0x5A}));
    ASSERT_EQ(command(client, op::get_dig_out, {4}, &value), 0);
    EXPECT_EQ(value, bytes({0x00})) << "another key";

    const bytes address{192, 168, 1, 50, 255, 255, 255, 0, 192, 168, 1, 1};
    ASSERT_EQ(command(client, op::set_ip, address), 0);
    ASSERT_EQ(command(client, op::get_ip, {}, &value), 0);
    EXPECT_EQ(value, address);
}

// ---- Faults ---------------------------------------------------------------------------------

TEST_F(Simulator, DelayHoldsTheReply) {
    sim.inject("delay 400");
    const steady::time_point start = steady::now();
    EXPECT_EQ(status_exchange(), good_status_reply());
    EXPECT_GE(elapsed_ms(start), 390);
    EXPECT_LT(elapsed_ms(start), 4000);
}

TEST_F(Simulator, SplitSendsTheReplyInTwoParts) {
    sim.inject("split 2 1500");
    client.send(status_request);
    EXPECT_EQ(client.receive(2), bytes({0x00, 0x02}));
    EXPECT_TRUE(client.quiet_for(200ms)) << "the rest waits for the pause";
    EXPECT_EQ(client.receive(3), bytes({0x12, 0x34, 0x27}));
}

TEST_F(Simulator, DropSendsNothingOnce) {
    sim.inject("drop");
    client.send(status_request);
    EXPECT_TRUE(client.quiet_for());
    EXPECT_EQ(status_exchange(), good_status_reply());
    EXPECT_TRUE(client.quiet_for());
}

TEST_F(Simulator, TruncateSendsOnlyTheFirstBytes) {
    sim.inject("truncate 3");
    client.send(status_request);
    EXPECT_EQ(client.receive(3), bytes({0x00, 0x02, 0x12}));
    EXPECT_TRUE(client.quiet_for());
}

TEST_F(Simulator, CorruptCrcSpoilsOnlyTheCrcByte) {
    sim.inject("corrupt-crc");
    const bytes reply = status_exchange();
    ASSERT_EQ(reply.size(), 5u);
    EXPECT_EQ(bytes(reply.begin(), reply.begin() + 4), bytes({0x00, 0x02, 0x12, 0x34}));
    EXPECT_NE(reply[4], 0x27);
}

TEST_F(Simulator, ErrorFaultCarriesItsCodeLowByteFirstAtBytesFourAndFive) {
    sim.inject("error -12");
    bytes reply = status_exchange(7);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply, bytes({0x00, 0x2A, 0xFF, 0xF4, 0xF4, 0xFF, 0x1C}));

    sim.inject("error 300 bad-crc");
    reply = status_exchange(7);
    ASSERT_EQ(reply.size(), 7u);
    EXPECT_EQ(reply[1], protocol::error_reply_marker);
    EXPECT_EQ(error_code_of(reply), 300);
    EXPECT_NE(reply[6], crc_of(reply, 6));
}

TEST_F(Simulator, ErrorFaultStandsInForTheCommand) {
    ASSERT_EQ(command(client, op::write_mem, concat({u32_be(0x100), {0x11}})), 0);
    sim.inject("error 3");
    EXPECT_EQ(command(client, op::write_mem, concat({u32_be(0x100), {0x22}})), 3);
    bytes value;
    ASSERT_EQ(command(client, op::read_mem, u32_be(0x100), &value), 0);
    EXPECT_EQ(value[0], 0x11) << "the refused write was not carried out";
}

TEST_F(Simulator, OpcodeFaultAnswersWithThatRowsLength) {
    sim.inject("opcode 0x01");
    bytes reply = status_exchange(23);
    ASSERT_EQ(reply.size(), 23u);
    EXPECT_EQ(reply[1], 0x01);
    EXPECT_EQ(bytes(reply.begin() + 2, reply.end() - 1), bytes(20, 0));
    EXPECT_EQ(reply.back(), crc_of(reply, 22));
    EXPECT_TRUE(client.quiet_for());

    sim.inject("opcode 51"); // decimal: 0x33, in no row
    reply = status_exchange(6);
    EXPECT_EQ(reply, bytes({0x00, 0x33, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_TRUE(client.quiet_for());
}

TEST_F(Simulator, CloseEndsTheConnectionWithoutAReply) {
    ASSERT_EQ(status_exchange(), good_status_reply());
    EXPECT_EQ(sim.control("clients"), "ok 1");
    sim.inject("close");
    client.send(status_request);
    EXPECT_TRUE(client.closes_empty());
    EXPECT_EQ(sim.control("clients"), "ok 0") << "counted out before the socket closes";

    raw_tcp_client again{sim.tcp_port()};
    EXPECT_EQ(command(again, op::status), 0) << "the server still accepts";
}

TEST_F(Simulator, StrayBytesReachEveryOpenClient) {
    raw_tcp_client other{sim.tcp_port()};
    ASSERT_EQ(status_exchange(), good_status_reply());
    ASSERT_EQ(command(other, op::status), 0);
    EXPECT_EQ(sim.control("stray 0102fF"), "ok 2");
    EXPECT_EQ(client.receive(3), bytes({0x01, 0x02, 0xFF}));
    EXPECT_EQ(other.receive(3), bytes({0x01, 0x02, 0xFF}));
}

TEST_F(Simulator, FaultsApplyOncePerReplyInTheirOrder) {
    sim.inject("corrupt-crc");
    sim.inject("error 7");
    sim.inject("truncate 2");
    EXPECT_EQ(sim.control("faults"), "ok 3");
    bytes reply = status_exchange();
    EXPECT_NE(reply.back(), 0x27);
    EXPECT_EQ(error_code_of(status_exchange(7)), 7);
    // The fault applies to an error reply as well.
    client.send({0x00, 0x02, 0x00});
    EXPECT_EQ(client.receive(7, quiet_period), bytes({0x00, 0x2A}));
    EXPECT_EQ(sim.control("faults"), "ok 0");
    EXPECT_EQ(status_exchange(), good_status_reply());
}

TEST_F(Simulator, ClearFaultsForgetsWhatWasQueued) {
    sim.inject("drop");
    sim.inject("close");
    EXPECT_EQ(sim.control("clear-faults"), "ok");
    EXPECT_EQ(sim.control("faults"), "ok 0");
    EXPECT_EQ(status_exchange(), good_status_reply());
}

// ---- Control port ---------------------------------------------------------------------------

TEST_F(Simulator, MalformedControlCommandsAreRefusedAndQueueNothing) {
    for (const char *line : {"",
                             "bogus",
                             "delay",
                             "delay -1",
                             "delay 600001",
                             "delay 12ms",
                             "split 3",
                             "truncate",
                             "truncate 65536",
                             "drop now",
                             "error",
                             "error 40000",
                             "error 5 nonsense",
                             "error 0x05",
                             "opcode 0x100",
                             "opcode",
                             "stray",
                             "stray 123",
                             "stray zz",
                             "frames 1",
                             "clients x"}) {
        const std::string reply = sim.control(line);
        EXPECT_TRUE(reply.starts_with("error ")) << "\"" << line << "\" -> " << reply;
    }
    EXPECT_EQ(sim.control("faults"), "ok 0");
    EXPECT_EQ(status_exchange(), good_status_reply());
}

TEST_F(Simulator, OverlongControlLineGetsOneErrorAndTheNextLineWorks) {
    EXPECT_EQ(sim.control("stray " + std::string(40000, 'a')), "error line too long");
    EXPECT_EQ(sim.control("clients"), "ok 1");
}

TEST_F(Simulator, FramesLogsEveryRequestExactlyAsReceived) {
    ASSERT_EQ(status_exchange(), good_status_reply());
    sim.clear_frames();
    EXPECT_TRUE(sim.frames().empty());

    bytes pattern(50);
    for (std::size_t i = 0; i < pattern.size(); ++i)
        pattern[i] = static_cast<uint8_t>(i);
    const bytes echo = request(op::echo, pattern, 0xA7);
    const bytes bad_crc{0x05, 0x02, 0x00};
    ASSERT_EQ(command(client, op::echo, pattern, nullptr, 0xA7), 0);
    client.send(bad_crc);
    ASSERT_EQ(read_reply(client).size(), 7u);
    client.send({0x00, 0x33, 0x99});
    ASSERT_EQ(read_reply(client).size(), 7u);

    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0], echo);
    EXPECT_EQ(frames[1], bad_crc);
    EXPECT_EQ(frames[2], bytes({0x00, 0x33})) << "an unknown opcode's frame ends there";
}

// ---- Several clients ------------------------------------------------------------------------

TEST_F(Simulator, ClientsShareOneController) {
    raw_tcp_client other{sim.tcp_port()};
    ASSERT_EQ(command(client, op::write_mem, concat({u32_be(0x2000), {0x77}})), 0);
    bytes value;
    ASSERT_EQ(command(other, op::read_mem, u32_be(0x2000), &value), 0);
    EXPECT_EQ(value[0], 0x77);
    EXPECT_EQ(sim.control("clients"), "ok 2");
}

TEST_F(Simulator, HalfSentRequestDoesNotHoldUpAnotherClient) {
    raw_tcp_client other{sim.tcp_port()};
    const bytes echo = request(op::echo, bytes(50, 0x3C));
    client.send(bytes(echo.begin(), echo.begin() + 10));
    EXPECT_EQ(command(other, op::status), 0);
    client.send(bytes(echo.begin() + 10, echo.end()));
    const bytes reply = read_reply(client);
    ASSERT_EQ(reply.size(), 53u);
    EXPECT_EQ(bytes(reply.begin() + 2, reply.end() - 1), bytes(50, 0x3C));
}

TEST_F(Simulator, DelayedReplyDoesNotHoldUpAnotherClient) {
    raw_tcp_client other{sim.tcp_port()};
    sim.inject("delay 3000");
    const steady::time_point start = steady::now();
    client.send(status_request);
    other.send(status_request);
    // Whichever request took the delay, the other one is answered first and well before it ends.
    pollfd both[2] = {{client.fd(), POLLIN, 0}, {other.fd(), POLLIN, 0}};
    ASSERT_EQ(::poll(both, 2, 5000), 1);
    EXPECT_LT(elapsed_ms(start), 2000);
    raw_tcp_client &prompt = both[0].revents != 0 ? client : other;
    raw_tcp_client &delayed = both[0].revents != 0 ? other : client;
    EXPECT_EQ(prompt.receive(5), good_status_reply());
    EXPECT_EQ(delayed.receive(5), good_status_reply());
    EXPECT_GE(elapsed_ms(start), 2900);
}

// ---- Process --------------------------------------------------------------------------------

TEST(SimulatorProcess, SigtermEndsItPromptlyWithZeroWhileClientsWait) {
    simulator_process sim;
    raw_tcp_client idle{sim.tcp_port()};
    raw_tcp_client waiting{sim.tcp_port()};
    ASSERT_EQ(command(idle, op::status), 0);
    sim.inject("delay 60000");
    waiting.send(status_request);
    idle.send({0x00}); // half a request
    const steady::time_point start = steady::now();
    const auto status = sim.stop(SIGTERM);
    ASSERT_TRUE(status.has_value()) << "had to be killed";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_LT(elapsed_ms(start), 2000);
    EXPECT_TRUE(waiting.closes_empty());
}

TEST(SimulatorProcess, SigintEndsItWithZero) {
    simulator_process sim;
    const auto status = sim.stop(SIGINT);
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST(SimulatorProcess, BindAddressIsHonoured) {
    simulator_process sim{{"--bind", "127.0.0.2"}};
    raw_tcp_client elsewhere{sim.tcp_port(), "127.0.0.1"};
    EXPECT_FALSE(elsewhere.connected());
    raw_tcp_client bound{sim.tcp_port(), "127.0.0.2"};
    ASSERT_TRUE(bound.connected());
    EXPECT_EQ(command(bound, op::status), 0);
}

TEST(SimulatorProcess, InheritsNoDescriptorOfTheTest) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_NONBLOCK), 0);
    simulator_process sim;
    ::close(ends[1]);
    pollfd readable{ends[0], POLLIN, 0};
    EXPECT_EQ(::poll(&readable, 1, 5000), 1);
    char byte = 0;
    EXPECT_EQ(::read(ends[0], &byte, 1), 0) << "end of file: nobody else holds the write end";
    ::close(ends[0]);
}

// Runs quorrel-sim with these arguments, output discarded, and returns its exit code.
int run_to_exit(const std::vector<std::string> &args) {
    return vortlink::test::run_to_exit(QUORREL_SIM_PATH, args);
}

TEST(SimulatorProcess, BadArgumentsExitWithTwoAndHelpWithZero) {
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--tcp-port"},
        {"--tcp-port", "70000"},
        {"--tcp-port", "12ab"},
        {"--tcp-port", "0", "--bind", "localhost"},
        {"--tcp-port", "0", "--control-port", "-1"},
        {"--tcp-port", "0", "--status-word", "0x10000"},
        {"--tcp-port", "0", "--verbose"},
        {"--tcp-port", "0", "stray"},
    };
    for (const auto &args : bad) {
        std::string joined;
        for (const std::string &arg : args)
            joined += arg + " ";
        EXPECT_EQ(run_to_exit(args), 2) << joined;
    }
    EXPECT_EQ(run_to_exit({"--help"}), 0);
}

// ---- HID socket ---------------------------------------------------------------------------

// A plain client of the HID socket: messages of u16 length (big-endian), type, payload.
class raw_hid_client : public vortlink::test::raw_stream_client {
  public:
    explicit raw_hid_client(const std::string &path)
        : raw_stream_client(AF_UNIX, unix_endpoint(path)) {}

    void send_raw(const bytes &data) { raw_stream_client::send(data); }
    void send(uint8_t type, const bytes &payload = {}) {
        const std::size_t length = payload.size() + 1;
        bytes message{static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), type};
        message.insert(message.end(), payload.begin(), payload.end());
        send_raw(message);
    }
    // The next message as type byte and payload; nullopt when none comes in time or the
    // connection ends.
    std::optional<bytes> receive(std::chrono::milliseconds limit = reply_limit) {
        const bytes header = raw_stream_client::receive(2, limit);
        if (header.size() < 2)
            return std::nullopt;
        const std::size_t length = header[0] << 8 | header[1];
        bytes body = raw_stream_client::receive(length, limit);
        if (body.size() < length || length == 0)
            return std::nullopt;
        return body;
    }
    // Sends a request and returns its response's payload after the result byte; nullopt on a
    // refusal or no response.
    std::optional<bytes> ask(uint8_t type, const bytes &payload = {}) {
        send(type, payload);
        const auto response = receive();
        if (!response || response->size() < 2 || (*response)[0] != (type | 0x80)) {
            ADD_FAILURE() << "no response of type " << int{type};
            return std::nullopt;
        }
        if ((*response)[1] != 0)
            return std::nullopt;
        return bytes(response->begin() + 2, response->end());
    }

  private:
    static sockaddr_un unix_endpoint(const std::string &path) {
        sockaddr_un endpoint{};
        endpoint.sun_family = AF_UNIX;
        std::strncpy(endpoint.sun_path, path.c_str(), sizeof endpoint.sun_path - 1);
        return endpoint;
    }
};

constexpr uint8_t hid_list = 0x01;
constexpr uint8_t hid_open = 0x02;
constexpr uint8_t hid_descriptor = 0x03;
constexpr uint8_t hid_product = 0x04;
constexpr uint8_t hid_write = 0x07;
constexpr uint8_t hid_input_report = 0x90;

bytes key_of(std::size_t number) {
    const std::string key = "sim-usb-" + std::to_string(number);
    return bytes(key.begin(), key.end());
}

// An output report of 113 bytes.
bytes usb_request(uint8_t report_id, uint8_t opcode, const bytes &data = {}) {
    bytes report(113, 0);
    report[0] = report_id;
    report[1] = opcode;
    std::copy(data.begin(), data.end(), report.begin() + 2);
    return report;
}

// Writes the report and returns the input report that answers it within the limit.
std::optional<bytes> usb_command(raw_hid_client &device, const bytes &report,
                                 std::chrono::milliseconds limit = reply_limit) {
    if (!device.ask(hid_write, report))
        return std::nullopt;
    const auto input = device.receive(limit);
    if (!input || input->empty() || (*input)[0] != hid_input_report)
        return std::nullopt;
    return bytes(input->begin() + 1, input->end());
}

class SimulatorHid : public ::testing::Test {
  protected:
    SimulatorHid() {
        EXPECT_TRUE(first.connected());
        EXPECT_TRUE(first.ask(hid_open, key_of(1)).has_value());
    }

    simulator_process sim{with_hid, {"--usb-devices", "2"}};
    raw_hid_client first{sim.hid_socket()};
};

TEST_F(SimulatorHid, ListsTheControllersAndServesTheOpenedOne) {
    raw_hid_client lister{sim.hid_socket()};
    const auto list = lister.ask(hid_list);
    ASSERT_TRUE(list.has_value());
    bytes expected{2, 9};
    const bytes second = key_of(2);
    const bytes first_key = key_of(1);
    expected.insert(expected.end(), first_key.begin(), first_key.end());
    expected.push_back(9);
    expected.insert(expected.end(), second.begin(), second.end());
    EXPECT_EQ(*list, expected);
    EXPECT_FALSE(lister.ask(hid_open, {'n', 'o'}).has_value()) << "no such key";
    EXPECT_FALSE(lister.ask(hid_product).has_value()) << "no device opened on the connection";

    const auto descriptor = first.ask(hid_descriptor);
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(descriptor->size(), 55u);
    const auto reply = usb_command(first, usb_request(1, op::status));
    ASSERT_TRUE(reply.has_value());
    ASSERT_EQ(reply->size(), 64u);
    EXPECT_EQ(bytes(reply->begin(), reply->begin() + 4), bytes({3, op::status, 0x00, 0x00}));
}

TEST_F(SimulatorHid, BothTransportsOfControllerOneShareItsStateAndFaults) {
    raw_tcp_client tcp{sim.tcp_port()};
    ASSERT_EQ(command(tcp, op::write_mem, concat({u32_be(0x180), {0x5C}})), 0);
    auto reply = usb_command(first, usb_request(1, op::read_mem, u32_be(0x180)));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)[2], 0x5C);

    sim.inject("error 9");
    reply = usb_command(first, usb_request(1, op::status));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(bytes(reply->begin(), reply->begin() + 4), bytes({3, '*', 0x00, 0x09}));
    EXPECT_EQ(command(tcp, op::status), 0) << "the fault was used up by the USB reply";

    // Controller 2 answers over USB only, with a state and faults of its own.
    raw_hid_client second{sim.hid_socket()};
    ASSERT_TRUE(second.ask(hid_open, key_of(2)).has_value());
    sim.inject("device 2 drop");
    EXPECT_EQ(sim.control("faults"), "ok 0");
    EXPECT_EQ(sim.control("device 2 faults"), "ok 1");
    reply = usb_command(second, usb_request(1, op::read_mem, u32_be(0x180)), quiet_period);
    EXPECT_FALSE(reply.has_value()) << "dropped";
    reply = usb_command(second, usb_request(1, op::read_mem, u32_be(0x180)));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ((*reply)[2], 0x00);
}

TEST_F(SimulatorHid, UsbFramesAreLoggedApartFromTheTcpFrames) {
    raw_tcp_client tcp{sim.tcp_port()};
    ASSERT_EQ(command(tcp, op::status), 0);
    const bytes report = usb_request(2, op::echo, {1, 2, 3});
    ASSERT_TRUE(usb_command(first, report).has_value());
    EXPECT_EQ(sim.frames(), std::vector<bytes>({request(op::status)}));
    EXPECT_EQ(sim.usb_frames(), std::vector<bytes>({report}));
    sim.clear_frames();
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_TRUE(sim.usb_frames().empty());
}

TEST_F(SimulatorHid, HeldReplyIsWaitedForThroughTheControlPort) {
    sim.inject("delay 1500");
    const steady::time_point start = steady::now();
    ASSERT_TRUE(first.ask(hid_write, usb_request(1, op::status)).has_value());
    EXPECT_TRUE(first.ask(hid_product).has_value()) << "requests are answered meanwhile";
    EXPECT_LT(elapsed_ms(start), 1400);
    EXPECT_EQ(sim.control("wait-replies"), "ok");
    EXPECT_GE(elapsed_ms(start), 1490);
    const auto input = first.receive(0ms);
    ASSERT_TRUE(input.has_value()) << "already in the socket";
    EXPECT_EQ((*input)[0], hid_input_report);
}

TEST_F(SimulatorHid, UnplugEndsTheDeviceConnectionsOnly) {
    raw_hid_client second{sim.hid_socket()};
    ASSERT_TRUE(second.ask(hid_open, key_of(2)).has_value());
    raw_hid_client lister{sim.hid_socket()};
    ASSERT_EQ(sim.control("unplug 1 0"), "ok");
    EXPECT_TRUE(first.closes_empty());
    const auto list = lister.ask(hid_list);
    ASSERT_TRUE(list.has_value());
    EXPECT_EQ((*list)[0], 1) << "one controller left on the bus";
    EXPECT_TRUE(usb_command(second, usb_request(1, op::status)).has_value());
    raw_tcp_client tcp{sim.tcp_port()};
    EXPECT_EQ(command(tcp, op::status), 0) << "TCP is not the USB bus";

    raw_hid_client again{sim.hid_socket()};
    EXPECT_FALSE(again.ask(hid_open, key_of(1)).has_value());
    ASSERT_EQ(sim.control("plug 1"), "ok");
    EXPECT_TRUE(again.ask(hid_open, key_of(1)).has_value());
}

TEST_F(SimulatorHid, BrokenMessagesEndTheConnection) {
    const std::vector<bytes> breakers = {
        {0x10, 0x01, 0x01},      // longer than any message may be
        {0x00, 0x00},            // empty
        {0x00, 0x01, 0x42},      // a type nobody knows
        {0x00, 0x02, 0x02, 'x'}, // a second open on a device connection
    };
    for (const bytes &breaker : breakers) {
        raw_hid_client client{sim.hid_socket()};
        if (breaker.size() > 2 && breaker[2] == hid_open) {
            ASSERT_TRUE(client.ask(hid_open, key_of(2)).has_value());
        }
        client.send_raw(breaker);
        EXPECT_TRUE(client.closes_empty()) << ::testing::PrintToString(breaker);
    }
    EXPECT_TRUE(usb_command(first, usb_request(1, op::status)).has_value());
}

TEST_F(SimulatorHid, ControlCommandsOfTheUsbSideCheckTheirArguments) {
    for (const char *line : {"device",
                             "device 2",
                             "device 3 drop",
                             "device 0 drop",
                             "device x status-word",
                             "device 2 split 1 1",
                             "device 2 truncate 1",
                             "device 2 corrupt-crc",
                             "device 2 close",
                             "device 2 error 5 bad-crc",
                             "device 2 stray 00",
                             "device 2 frames",
                             "device 2 clients",
                             "report-id",
                             "report-id 256",
                             "unplug 1",
                             "unplug 3 0",
                             "unplug 1 600001",
                             "plug",
                             "stall 1",
                             "stall 3 10",
                             "stall 1 600001",
                             "plug 0",
                             "features 3",
                             "features 1 2",
                             "product",
                             "serial",
                             "feature-usage",
                             "feature-usage maybe",
                             "serial-empty now",
                             "usb-frames 1",
                             "wait-replies 5"}) {
        const std::string reply = sim.control(line);
        EXPECT_TRUE(reply.starts_with("error ")) << "\"" << line << "\" -> " << reply;
    }
    EXPECT_EQ(sim.control("device 2 close"), "error device 2 has no TCP side");
    EXPECT_EQ(sim.control("product " + std::string(127, 'p')), "error text too long");
    EXPECT_EQ(sim.control("device 2 faults"), "ok 0");
    EXPECT_EQ(sim.control("faults"), "ok 0");
    EXPECT_EQ(sim.control("device 2 status-word 7"), "ok 0x0007");
    EXPECT_EQ(sim.control("status-word"), "ok 0x0000");
}

TEST(SimulatorHidProcess, StaleSocketIsReplacedAndRemovedAtExit) {
    const std::string path = "stale-hid.sock";
    {
        // A socket file whose listener is gone.
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un endpoint{};
        endpoint.sun_family = AF_UNIX;
        std::strncpy(endpoint.sun_path, path.c_str(), sizeof endpoint.sun_path - 1);
        ::unlink(path.c_str());
        ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint), 0);
        ::close(stale);
    }
    {
        simulator_process sim{{"--hid-socket", path}};
        raw_hid_client client{path};
        EXPECT_TRUE(client.connected());
        EXPECT_EQ(run_to_exit({"--tcp-port", "0", "--hid-socket", path}), 1)
            << "a live socket belongs to someone else";
        EXPECT_TRUE(raw_hid_client{path}.connected()) << "and is left alone";
    }
    struct stat gone {};
    EXPECT_NE(::lstat(path.c_str(), &gone), 0) << "removed at exit";

    const std::string regular = "not-a-socket";
    ASSERT_EQ(::close(::open(regular.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
    EXPECT_EQ(run_to_exit({"--tcp-port", "0", "--hid-socket", regular}), 1);
    struct stat kept {};
    EXPECT_EQ(::lstat(regular.c_str(), &kept), 0) << "a file that is no socket is not removed";
    ::unlink(regular.c_str());
}

TEST(SimulatorHidProcess, BadUsbArgumentsExitWithTwo) {
    const std::vector<std::vector<std::string>> bad = {
        {"--usb-devices", "0"},       {"--usb-devices", "65"},
        {"--long-report-count", "7"}, {"--long-report-count", "1025"},
        {"--serial", "3=Q9"},         {"--serial-unreadable", "first"},
        {"--no-feature-usage", "0"},  {"--product", std::string(127, 'p')},
        {"--hid-socket", ""},         {"--hid-tcp-port", "65536"},
        {"--hid-tcp-port", "x"},
    };
    for (std::vector<std::string> args : bad) {
        std::string joined;
        for (const std::string &arg : args)
            joined += arg + " ";
        args.insert(args.begin(), {"--tcp-port", "0"});
        EXPECT_EQ(run_to_exit(args), 2) << joined;
    }
}

} // namespace

// The timing model: a 64-byte report takes one 1 ms interval each way, a TCP frame its latency
// each way; `wire` tells what was charged.
TEST(SimulatorWire, ReportsTakeTheirIntervalsAndEveryExchangeIsCharged) {
    EXPECT_EQ(run_to_exit({"--tcp-port", "0", "--wire", "usb"}), 2);
    EXPECT_EQ(run_to_exit({"--tcp-port", "0", "--flash-write-us", "-1"}), 2);
    simulator_process sim{with_hid, {"--wire", "usb-fs,ethernet", "--wire-latency-us", "300"}};
    raw_hid_client device{sim.hid_socket()};
    ASSERT_TRUE(device.ask(hid_open, key_of(1)).has_value());
    bytes status_report(64, 0);
    status_report[0] = 1;
    status_report[1] = op::status;
    const steady::time_point start = steady::now();
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(usb_command(device, status_report).has_value());
    EXPECT_GE(elapsed_ms(start), 5 * 2);
    EXPECT_EQ(sim.control("wire 1"), "ok 5 10000 0");
    raw_tcp_client tcp{sim.tcp_port()};
    ASSERT_EQ(command(tcp, op::status), 0);
    EXPECT_EQ(sim.control("wire 1"), "ok 6 10600 0");
}
