// The TCP road end to end: the library's exchange against the real quorrel-sim process, with the
// simulator's fault injection producing every status code the exchange can return.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "commands/command.h"
#include "core/exchange.h"
#include "core/platform/clock.h"
#include "core/protocol.h"
#include "core/settings.h"
#include "core/state.h"
#include "core/tcp_transport.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "vortlink.h"

using namespace vortlink;
using vortlink::test::simulator_process;

namespace {

uint32_t fail_count() {
    uint32_t count = 0;
    EXPECT_EQ(read_setting_dword("CommandFailCount", 0, count), status::ok);
    return count;
}

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> list) { return list; }

// Installs a message pump for the calling thread that counts its turns.
void count_pump_turns(int &turns) {
    tkcmdset_set_message_pump(
        [](void *context) {
            ++*static_cast<int *>(context);
            return 0;
        },
        &turns);
}

class TcpExchange : public ::testing::Test {
  protected:
    static constexpr uint8_t slot = 3;

    void SetUp() override {
        ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
        ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
        ASSERT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), status::ok);
        sim.clear_frames();
    }

    // One status exchange through the common command road.
    status_t status_exchange(uint16_t *word = nullptr) {
        uint16_t ignored = 0;
        return tkcmdset_status(slot, word != nullptr ? word : &ignored);
    }

    simulator_process sim{{"--status-word", "0x1234"}};
};

} // namespace

TEST_F(TcpExchange, StatusRequestIsExactlyThreeBytesAndTheWordIsUnpacked) {
    uint16_t word = 0;
    ASSERT_EQ(status_exchange(&word), status::ok);
    EXPECT_EQ(word, 0x1234);
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], bytes({0x00, 0x02, 0x0E}));
}

TEST_F(TcpExchange, RequestCarriesTheDescriptorLengthAndItsCrc) {
    command_frames frames;
    protocol::put_u16_be(frames.request_data(), 0x0051);
    protocol::put_u32_be(frames.request_data() + 2, 0xCAFEBABE);
    ASSERT_EQ(run_exchange(slot, header_pair::normal, protocol::opcode::special, frames,
                           protocol::timeout_long_ms),
              status::ok);
    const auto sent = sim.frames();
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].size(), 9u);
    EXPECT_EQ(sent[0], bytes({0x00, 0x05, 0x00, 0x51, 0xCA, 0xFE, 0xBA, 0xBE,
                              protocol::crc8(sent[0].data(), 8)}));
    EXPECT_EQ(frames.request[8], sent[0][8]) << "the CRC-8 is written into the caller's buffer";
}

TEST_F(TcpExchange, ReplySplitInTwoPartsIsReadAsOneFrame) {
    sim.inject("split 3 300");
    uint16_t word = 0;
    EXPECT_EQ(status_exchange(&word), status::ok);
    EXPECT_EQ(word, 0x1234);
}

TEST_F(TcpExchange, MissingReplyTimesOutAndCounts) {
    const uint32_t before = fail_count();
    sim.inject("drop");
    uint16_t word = 0xFFFF;
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(status_exchange(&word), status::reply_timeout);
    const uint32_t elapsed = platform::monotonic_ms() - start;
    EXPECT_GE(elapsed, 1500u);
    EXPECT_LT(elapsed, 6000u);
    EXPECT_EQ(word, 0) << "cleared before the exchange";
    EXPECT_EQ(fail_count(), before + 1);
    EXPECT_EQ(status_exchange(), status::ok);
    EXPECT_EQ(fail_count(), before + 1) << "a success is not counted";
}

TEST_F(TcpExchange, ShortReplyTimesOutAndTheNextExchangeDrainsTheRest) {
    sim.inject("truncate 3");
    EXPECT_EQ(status_exchange(), status::reply_timeout);
    uint16_t word = 0;
    EXPECT_EQ(status_exchange(&word), status::ok);
    EXPECT_EQ(word, 0x1234);
}

TEST_F(TcpExchange, AReceiveTakesTheAwaitedFrameAndNotOneByteMore) {
    // A whole status reply, then two bytes of something else, queued on the socket together.
    ASSERT_EQ(sim.control("stray 0002123427AABB"), "ok 1");
    uint8_t frame[protocol::frame_buffer_size] = {};
    uint16_t queued = 0;
    ASSERT_EQ(tcp_await_frame(slot, frame, sizeof frame, 2, 1500, queued), status::ok);
    ASSERT_GE(queued, 5) << "the first bytes are there, and the rest may be";
    ASSERT_EQ(tcp_await_frame(slot, frame, sizeof frame, 5, 1500, queued), status::ok);
    ASSERT_EQ(tcp_take_frame(slot, frame, 5), status::ok);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 5), bytes({0x00, 0x02, 0x12, 0x34, 0x27}));

    // What follows the frame stayed on the socket, and a wait for more than is there leaves it.
    EXPECT_EQ(tcp_await_frame(slot, frame, sizeof frame, 3, 100, queued), status::reply_timeout);
    ASSERT_EQ(tcp_await_frame(slot, frame, sizeof frame, 2, 100, queued), status::ok);
    EXPECT_EQ(queued, 2);
    EXPECT_EQ(std::vector<uint8_t>(frame, frame + 2), bytes({0xAA, 0xBB}));
    EXPECT_EQ(tcp_drain(slot), status::ok);
    EXPECT_EQ(tcp_await_frame(slot, frame, sizeof frame, 1, 50, queued), status::reply_timeout);
}

TEST_F(TcpExchange, StrayBytesAreDrainedBeforeTheRequest) {
    sim.inject("stray 2a2a0102030405060708");
    uint16_t word = 0;
    EXPECT_EQ(status_exchange(&word), status::ok);
    EXPECT_EQ(word, 0x1234);
}

TEST_F(TcpExchange, CorruptCrcIsAChecksumMismatch) {
    const uint32_t before = fail_count();
    sim.inject("corrupt-crc");
    EXPECT_EQ(status_exchange(), status::checksum_mismatch);
    EXPECT_EQ(fail_count(), before + 1);
}

TEST_F(TcpExchange, ReplyWithAnotherRowsOpcodeIsReadWithThatLength) {
    // Row 0x41 has one reply byte, row 0x02 two: read with 0x41's length the CRC still holds.
    // Each wrong reply leaves the slot out of step, so the exchange after it starts with an echo.
    for (const char *fault : {"opcode 0x41", "opcode 0x53"}) {
        SCOPED_TRACE(fault);
        sim.inject(fault);
        EXPECT_EQ(status_exchange(), status::wrong_opcode);
        sim.clear_frames();
        EXPECT_EQ(status_exchange(), status::ok) << "nothing is left over";
        const auto frames = sim.frames();
        ASSERT_EQ(frames.size(), 2u);
        EXPECT_EQ(frames[0][1], protocol::opcode::echo);
        EXPECT_EQ(frames[1], bytes({0x00, 0x02, 0x0E}));
    }
}

TEST_F(TcpExchange, ReplyOpcodeInNoRowIsUnknownAndTheRestIsDrainedLater) {
    sim.inject("opcode 0xFF");
    EXPECT_EQ(status_exchange(), status::unknown_opcode);
    uint16_t word = 0;
    EXPECT_EQ(status_exchange(&word), status::ok);
    EXPECT_EQ(word, 0x1234);
}

TEST_F(TcpExchange, RequestOpcodeInNoRowSendsNothing) {
    command_frames frames;
    EXPECT_EQ(run_exchange(slot, header_pair::normal, 0x06, frames, 1500),
              status::unknown_opcode);
    EXPECT_TRUE(sim.frames().empty());
}

TEST_F(TcpExchange, ErrorRepliesPassTheDeviceCodeThrough) {
    sim.inject("error 5");
    EXPECT_EQ(status_exchange(), 5);
    sim.inject("error -12");
    EXPECT_EQ(status_exchange(), -12);
    sim.inject("error 5 bad-crc");
    EXPECT_EQ(status_exchange(), status::checksum_mismatch);
}

TEST_F(TcpExchange, ErrorReplyWithCodeZeroIsSuccessOnlyForCommandsWithoutReplyData) {
    // An error reply has no data to unpack: a command that returns data cannot succeed on one.
    uint32_t before = fail_count();
    sim.inject("error 0");
    uint16_t word = 0xFFFF;
    EXPECT_EQ(tkcmdset_status(slot, &word), status::wrong_opcode);
    EXPECT_EQ(word, 0);
    EXPECT_EQ(fail_count(), before + 1);

    uint32_t ip[3] = {7, 7, 7};
    sim.inject("error 0");
    EXPECT_EQ(tkcmdset_get_ip(slot, &ip[0], &ip[1], &ip[2]), status::wrong_opcode);
    EXPECT_EQ(ip[0], 7u) << "nothing unpacked from the error frame";

    // The error reply was whole and well-formed: no echo precedes the next request.
    before = fail_count();
    sim.clear_frames();
    sim.inject("error 0");
    EXPECT_EQ(tkcmdset_set_dig_out(slot, 1, 1), status::ok);
    EXPECT_EQ(fail_count(), before);
    const auto frames = sim.frames();
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][1], protocol::opcode::set_dig_out);
}

TEST_F(TcpExchange, ClosedConnectionFailsAtOnceAndThenReportsASocketFailure) {
    sim.inject("close");
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(status_exchange(), status::reply_timeout);
    EXPECT_LT(platform::monotonic_ms() - start, 1500u) << "a closed peer is not waited for";
    EXPECT_EQ(status_exchange(), status::socket_failure);
}

TEST_F(TcpExchange, LockHeldElsewhereForTwoSecondsSendsNothing) {
    const uint32_t before = fail_count();
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread holder([&] {
        ASSERT_EQ(platform::wait_named_lock(state().tcp_locks[slot], 1000),
                  platform::lock_wait::acquired);
        holding = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        platform::release_named_lock(state().tcp_locks[slot]);
    });
    while (!holding)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(status_exchange(), status::lock_busy);
    EXPECT_GE(platform::monotonic_ms() - start, 2000u);
    release = true;
    holder.join();
    EXPECT_TRUE(sim.frames().empty());
    EXPECT_EQ(fail_count(), before + 1);
    EXPECT_EQ(status_exchange(), status::ok);
}

TEST_F(TcpExchange, AnotherSlotExchangesWhileThisOneAwaitsItsReply) {
    constexpr uint8_t other_slot = slot + 1;
    ASSERT_EQ(tkcmdset_connect(other_slot, 0, "127.0.0.1"), status::ok);
    sim.inject("delay 1200"); // within the 1500 ms the first slot waits
    std::atomic<bool> slow_done{false};
    std::thread slow([&] {
        EXPECT_EQ(status_exchange(), status::ok);
        slow_done = true;
    });
    while (sim.frames().empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    // The first slot holds its lock until its reply comes; the second slot's lock is its own.
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(other_slot, &word), status::ok);
    EXPECT_EQ(word, 0x1234);
    EXPECT_FALSE(slow_done) << "the second slot's exchange waited for the first one's reply";
    slow.join();
    EXPECT_TRUE(slow_done);
}

TEST_F(TcpExchange, MissingLockIsAWaitFailure) {
    platform::named_lock *saved = state().tcp_locks[slot];
    state().tcp_locks[slot] = nullptr;
    EXPECT_EQ(status_exchange(), status::lock_failed);
    state().tcp_locks[slot] = saved;
    EXPECT_TRUE(sim.frames().empty());
}

TEST_F(TcpExchange, LockIsRecursiveForTheOwnerThread) {
    ASSERT_EQ(platform::wait_named_lock(state().tcp_locks[slot], 100),
              platform::lock_wait::acquired);
    EXPECT_EQ(status_exchange(), status::ok);
    platform::release_named_lock(state().tcp_locks[slot]);
}

TEST_F(TcpExchange, QuitRequestDuringThePumpEndsTheExchangeAfterTheRequest) {
    int pump_calls = 0;
    tkcmdset_set_message_pump(
        [](void *context) {
            ++*static_cast<int *>(context);
            return 1;
        },
        &pump_calls);
    EXPECT_EQ(status_exchange(), status::quit_requested);
    tkcmdset_set_message_pump(nullptr, nullptr);
    EXPECT_EQ(pump_calls, 1);
    // The quit comes back at once, possibly before the simulator has read and logged the request.
    for (int turn = 0; turn < 500 && sim.frames().empty(); ++turn)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sim.frames().size(), 1u) << "the request was sent";
    EXPECT_EQ(status_exchange(), status::ok) << "the unread reply is drained";
}

TEST_F(TcpExchange, PumpRunsBetweenRequestAndReply) {
    int pump_calls = 0;
    count_pump_turns(pump_calls);
    sim.inject("delay 300");
    EXPECT_EQ(status_exchange(), status::ok);
    tkcmdset_set_message_pump(nullptr, nullptr);
    EXPECT_GE(pump_calls, 5) << "the window keeps its turns while the reply is awaited";
}

TEST(MessagePump, ZeroWaitGivesThePumpExactlyOneTurn) {
    int pump_calls = 0;
    count_pump_turns(pump_calls);
    EXPECT_EQ(pump_messages(0), status::ok);
    EXPECT_EQ(pump_calls, 1);
    tkcmdset_set_message_pump([](void *) { return 1; }, nullptr);
    EXPECT_EQ(pump_messages(0), status::quit_requested);
    tkcmdset_set_message_pump(nullptr, nullptr);
    EXPECT_EQ(pump_messages(0), status::ok) << "without a pump there is nothing to run";
}

TEST(MessagePump, PositiveWaitLastsUntilTheClockHasMovedPastIt) {
    int pump_calls = 0;
    count_pump_turns(pump_calls);
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(pump_messages(50), status::ok);
    const uint32_t elapsed = platform::monotonic_ms() - start;
    tkcmdset_set_message_pump(nullptr, nullptr);
    EXPECT_GT(elapsed, 50u);
    EXPECT_GE(pump_calls, 2) << "the pump gets its turns during the wait, not only at its start";
}

TEST_F(TcpExchange, QuitWhileAwaitingTheReplyEndsTheExchange) {
    int pump_calls = 0;
    tkcmdset_set_message_pump(
        [](void *context) { return ++*static_cast<int *>(context) >= 3 ? 1 : 0; }, &pump_calls);
    sim.inject("delay 1000");
    const uint32_t start = platform::monotonic_ms();
    EXPECT_EQ(status_exchange(), status::quit_requested);
    tkcmdset_set_message_pump(nullptr, nullptr);
    EXPECT_LT(platform::monotonic_ms() - start, 900u);
    EXPECT_EQ(pump_calls, 3);
}

TEST_F(TcpExchange, SlotWithoutConnectionIsABadTcpSlot) {
    // A failed reconnect gives the connection up but keeps the transport kind.
    ASSERT_EQ(write_setting_dword("TCP Port", 1), status::ok);
    EXPECT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), status::socket_failure);
    EXPECT_EQ(status_exchange(), status::bad_tcp_slot);
}

// Points the library's settings key at an empty settings directory for one test.
class FreshSettings : public ::testing::Test {
  protected:
    void SetUp() override {
        const char *previous = std::getenv("XDG_CONFIG_HOME");
        saved_ = previous != nullptr ? previous : "";
        setenv("XDG_CONFIG_HOME", directory_.path().c_str(), 1);
        ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    }
    void TearDown() override {
        setenv("XDG_CONFIG_HOME", saved_.c_str(), 1);
        (void)open_settings_key(library_settings_key);
    }

  private:
    vortlink::test::temp_directory directory_;
    std::string saved_;
};

TEST_F(FreshSettings, ConnectAboveSlotFortyNineIsRefusedBeforeTheSettingsAreRead) {
    EXPECT_EQ(tkcmdset_connect(50, 0, "127.0.0.1"), status::bad_tcp_slot);
    EXPECT_EQ(tkcmdset_connect(64, 0, "127.0.0.1"), status::bad_tcp_slot);
    uint32_t port = 0;
    EXPECT_EQ(read_setting("TCP Port", &port, sizeof port), status::setting_read_failed);
}

TEST_F(FreshSettings, ConnectCreatesThePortSettingWithItsDefault) {
    // Whatever answers on port 1234 here, the setting exists afterwards.
    (void)tkcmdset_connect(5, 0, "127.0.0.1");
    uint32_t port = 0;
    ASSERT_EQ(read_setting("TCP Port", &port, sizeof port), status::ok);
    EXPECT_EQ(port, 1234u);
}

TEST_F(FreshSettings, PortOutsideOneTo65535IsReplacedByTheDefault) {
    const struct {
        uint32_t stored;
        uint32_t after;
    } cases[] = {{0, 1234}, {65536, 1234}, {109213, 1234}, {0xFFFFFFFF, 1234},
                 {1, 1}, {65535, 65535}};
    for (const auto &entry : cases) {
        SCOPED_TRACE(entry.stored);
        ASSERT_EQ(write_setting_dword("TCP Port", entry.stored), status::ok);
        tcp_endpoint endpoint;
        ASSERT_EQ(resolve_endpoint("127.0.0.1", endpoint), status::ok);
        EXPECT_EQ(endpoint.port, entry.after);
        uint32_t port = 0;
        ASSERT_EQ(read_setting("TCP Port", &port, sizeof port), status::ok);
        EXPECT_EQ(port, entry.after);
    }
}

TEST_F(FreshSettings, FailedExchangeCreatesTheFailCount) {
    simulator_process sim;
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(6, 0, "127.0.0.1"), status::ok);
    uint32_t count = 99;
    ASSERT_EQ(read_setting("CommandFailCount", &count, sizeof count), status::setting_read_failed);
    sim.inject("error 3");
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(6, &word), 3);
    ASSERT_EQ(read_setting("CommandFailCount", &count, sizeof count), status::ok);
    EXPECT_EQ(count, 1u);
}

TEST(TcpConnect, UnresolvableHostLeavesTheSlotAsItWas) {
    simulator_process sim;
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(7, 0, "127.0.0.1"), status::ok);
    EXPECT_EQ(tkcmdset_connect(7, 0, "no-such-host.invalid"), status::host_unresolved);
    EXPECT_EQ(tkcmdset_connect(7, 0, nullptr), status::host_unresolved);
    EXPECT_EQ(state().transport[7], transport_kind::tcp);
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(7, &word), status::ok);
}

TEST(TcpConnect, ReconnectReplacesAndClosesTheOldConnection) {
    simulator_process sim;
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(8, 0, "127.0.0.1"), status::ok);
    ASSERT_EQ(tkcmdset_connect(8, 0, "127.0.0.1"), status::ok);
    // The simulator notices the closed socket asynchronously.
    std::string clients;
    for (int i = 0; i < 200 && (clients = sim.control("clients")) != "ok 1"; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(clients, "ok 1");
}

TEST(Slots, NumbersAboveFortyNineAreRefused) {
    uint16_t word = 0xAAAA;
    EXPECT_EQ(tkcmdset_status(50, &word), status::bad_slot);
    EXPECT_EQ(word, 0xAAAA) << "nothing is touched before the slot check";
    EXPECT_EQ(tkcmdset_shutdown(50), status::bad_slot);
    EXPECT_EQ(tkcmdset_shutdown(255), status::bad_slot);
}

TEST(Slots, NeverOpenedSlotHasNoUsbDevice) {
    EXPECT_EQ(tkcmdset_shutdown(12), status::ok);
    uint16_t word = 1;
    EXPECT_EQ(tkcmdset_status(12, &word), status::no_usb_device);
    EXPECT_EQ(word, 0);
}

TEST(Slots, ShutdownLeavesTheTcpSideWorking) {
    simulator_process sim;
    ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
    ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
    ASSERT_EQ(tkcmdset_connect(9, 0, "127.0.0.1"), status::ok);
    EXPECT_EQ(tkcmdset_shutdown(9), status::ok);
    uint16_t word = 0;
    EXPECT_EQ(tkcmdset_status(9, &word), status::ok);
}

namespace {

// One controller reached over both roads: slots 20 and 21 over TCP, 22 and 23 over its USB side.
class BothTransports : public ::testing::Test {
  protected:
    struct road {
        const char *name;
        uint8_t slot;
        uint8_t other_slot;
        // What a command gets that finds the controller still sending. The simulated bus takes
        // no request while it floods, so over USB a command may as well end on its write's
        // time-out: there only the recovery is checked.
        status_t still_flooding;
    };
    static constexpr road roads[] = {{"tcp", 20, 21, status::reply_timeout},
                                     {"usb", 22, 23, status::ok}};

    void SetUp() override {
        ASSERT_EQ(open_settings_key(library_settings_key), status::ok);
        ASSERT_EQ(write_setting_dword("TCP Port", sim.tcp_port()), status::ok);
        setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
        for (const uint8_t slot : {uint8_t{20}, uint8_t{21}})
            ASSERT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), status::ok);
        for (const uint8_t slot : {uint8_t{22}, uint8_t{23}})
            ASSERT_EQ(tkcmdset_init_ex(slot, "Kv Quorrel Controller", "Q0000001"), status::ok);
    }
    void TearDown() override {
        tkcmdset_set_message_pump(nullptr, nullptr);
        unsetenv("VORTLINK_HID_SIM");
    }

    // Requests the controller logged on the road.
    std::size_t requests_on(const road &on) {
        return std::string(on.name) == "tcp" ? sim.frames().size() : sim.usb_frames().size();
    }

    simulator_process sim{vortlink::test::with_hid, {"--status-word", "0x1234"}};
};

// What the pump did on its one turn during the outer command.
struct nested_calls {
    uint8_t slot = 0, other_slot = 0;
    bool done = false;
    status_t same_slot = 0, other_slot_status = 1;
    uint16_t same_value = 1, other_value = 0;
};

} // namespace

TEST_F(BothTransports, APumpCallingOnItsOwnSlotIsRefusedAndNothingIsCrossed) {
    sim.inject("analog-in 1 3 1111");
    sim.inject("analog-in 1 5 5555");
    for (const road &on : roads) {
        SCOPED_TRACE(on.name);
        sim.clear_frames();
        nested_calls calls;
        tkcmdset_set_message_pump(
            [](void *context) {
                auto &pumped = *static_cast<nested_calls *>(context);
                if (!pumped.done) {
                    pumped.done = true;
                    pumped.same_slot = tkcmdset_get_an_in(pumped.slot, 5, &pumped.same_value);
                    pumped.other_slot_status =
                        tkcmdset_get_an_in(pumped.other_slot, 5, &pumped.other_value);
                }
                return 0;
            },
            &calls);
        int crossed = 0;
        for (int round = 0; round < 20; ++round) {
            calls = {on.slot, on.other_slot};
            uint16_t value = 0;
            EXPECT_EQ(tkcmdset_get_an_in(on.slot, 3, &value), status::ok);
            EXPECT_EQ(calls.same_slot, status::lock_busy);
            EXPECT_EQ(calls.same_value, 0);
            EXPECT_EQ(calls.other_slot_status, status::ok);
            crossed += (value != 1111) + (calls.other_value != 5555);
        }
        tkcmdset_set_message_pump(nullptr, nullptr);
        EXPECT_EQ(crossed, 0);
        EXPECT_EQ(requests_on(on), 40u) << "the refused calls sent nothing";
    }
}

TEST_F(BothTransports, InputThatKeepsComingEndsTheCommandWithinItsTimeOut) {
    for (const road &on : roads) {
        SCOPED_TRACE(on.name);
        uint16_t word = 0;
        sim.inject("flood 2500");
        ASSERT_EQ(tkcmdset_status(on.slot, &word), status::ok);
        // A command may go out before the flood's first bytes, and then fails on them; the ones
        // after it find the flood under way and give up on it. None waits for the flood's end.
        std::vector<status_t> results;
        for (int attempt = 0; attempt < 6 && (results.empty() || results.back() != 0); ++attempt)
            results.push_back(tkcmdset_status(on.slot, &word));
        ASSERT_GE(results.size(), 2u);
        if (on.still_flooding != status::ok) {
            EXPECT_NE(std::find(results.begin(), results.end(), on.still_flooding), results.end())
                << ::testing::PrintToString(results);
        }
        EXPECT_EQ(results.back(), status::ok) << "once the flood is over the slot is in step";
        EXPECT_EQ(word, 0x1234);
    }
}
