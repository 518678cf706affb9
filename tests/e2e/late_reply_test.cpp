// A controller that answers after the reply time-out: its late reply must never be taken as the
// answer to a later request. The TCP peer here is scripted independently of quorrel-sim: it
// frames requests with its own table, answers each with data derived from what was asked, and
// can hold or withhold chosen replies. Over USB the simulated HID bus of quorrel-sim holds a
// reply back with its delay fault.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/simulator_process.h"
#include "support/user_settings.h"
#include "vortlink.h"

namespace {

constexpr uint8_t op_echo = 0x00;
constexpr uint8_t op_status = 0x02;
constexpr uint8_t op_read_eemem = 0x55;

uint8_t crc8(const std::vector<uint8_t> &bytes) {
    uint8_t crc = 0;
    for (uint8_t byte : bytes) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

// What the peer answers for an EEPROM address: differs from one address to the next.
uint8_t eeprom_byte(uint32_t address) {
    return static_cast<uint8_t>((address * 7u + (address >> 8)) ^ 0x5A);
}

// Status words the peer sends: the n-th status request (from 0) is answered with this word.
uint16_t status_word_for(unsigned index) {
    return static_cast<uint16_t>(0x5100 + index);
}

// One scripted controller on a TCP port of its own. Requests are numbered from 0 in the order
// they arrive; a request may be answered late (`late`) or not at all (`withheld`).
class scripted_peer {
  public:
    explicit scripted_peer(std::map<unsigned, int> late, std::set<unsigned> withheld = {})
        : late_(std::move(late)), withheld_(std::move(withheld)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener_ < 0 ||
            ::bind(listener_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            ::listen(listener_, 1) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            throw std::runtime_error("scripted peer cannot listen");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~scripted_peer() {
        stop_ = true;
        thread_.join();
        ::close(listener_);
    }

    uint16_t port() const { return port_; }
    // The opcodes of the requests received so far, in order.
    std::vector<uint8_t> opcodes() {
        const std::lock_guard hold(mutex_);
        return opcodes_;
    }

  private:
    // Waits for readability, giving up when the test is over.
    bool readable(int fd) {
        while (!stop_) {
            pollfd watched{fd, POLLIN, 0};
            if (::poll(&watched, 1, 50) > 0)
                return true;
        }
        return false;
    }
    bool receive(int fd, uint8_t *buffer, std::size_t count) {
        for (std::size_t got = 0; got < count;) {
            if (!readable(fd))
                return false;
            const ssize_t n = ::recv(fd, buffer + got, count - got, 0);
            if (n <= 0)
                return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

    static std::vector<uint8_t> answer(uint8_t opcode, const std::vector<uint8_t> &data,
                                       unsigned status_index) {
        std::vector<uint8_t> reply{0, opcode};
        if (opcode == op_echo) {
            reply.insert(reply.end(), data.begin(), data.end());
        } else if (opcode == op_status) {
            const uint16_t word = status_word_for(status_index);
            reply.push_back(static_cast<uint8_t>(word >> 8));
            reply.push_back(static_cast<uint8_t>(word));
        } else {
            const uint32_t address = (uint32_t{data[0]} << 24) | (uint32_t{data[1]} << 16) |
                                     (uint32_t{data[2]} << 8) | data[3];
            for (uint32_t i = 0; i < 112; ++i)
                reply.push_back(eeprom_byte(address + i));
        }
        reply.push_back(crc8(reply));
        return reply;
    }

    void serve() {
        if (!readable(listener_))
            return;
        const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        const std::map<uint8_t, std::size_t> request_lengths{
            {op_echo, 50}, {op_status, 0}, {op_read_eemem, 6}};
        unsigned statuses = 0;
        for (unsigned index = 0;; ++index) {
            uint8_t head[2];
            if (!receive(fd, head, 2))
                break;
            const auto known = request_lengths.find(head[1]);
            if (known == request_lengths.end()) {
                ADD_FAILURE() << "unexpected opcode " << int(head[1]);
                break;
            }
            std::vector<uint8_t> data(known->second + 1);
            if (!receive(fd, data.data(), data.size()))
                break;
            const uint8_t sent_crc = data.back();
            data.pop_back();
            std::vector<uint8_t> framed{head[0], head[1]};
            framed.insert(framed.end(), data.begin(), data.end());
            EXPECT_EQ(crc8(framed), sent_crc) << "request " << index;
            {
                const std::lock_guard hold(mutex_);
                opcodes_.push_back(head[1]);
            }
            const std::vector<uint8_t> reply =
                answer(head[1], data, head[1] == op_status ? statuses++ : 0);
            if (withheld_.count(index) != 0)
                continue;
            if (const auto delay = late_.find(index); delay != late_.end())
                std::this_thread::sleep_for(std::chrono::milliseconds(delay->second));
            if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(reply.size()))
                break;
        }
        ::close(fd);
    }

    std::map<unsigned, int> late_;
    std::set<unsigned> withheld_;
    int listener_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<uint8_t> opcodes_;
};

void use_port(uint16_t port) {
    vortlink::test::write_user_settings(port, "ErrorCodesFile=.\\ecodes.ini\n");
}

// The reply time-out is 1500 ms; the late reply comes 200 ms after it.
constexpr int late_ms = 1700;
constexpr uint8_t slot = 3;
constexpr int later_calls = 5;

enum class command { status, eeprom_read };

struct late_case {
    const char *name;
    command first;                 // the request that is answered late
    std::set<unsigned> withheld;   // requests the peer never answers
    std::vector<int16_t> statuses; // what the calls after the late one return, in order
};

void PrintTo(const late_case &scenario, std::ostream *out) {
    *out << scenario.name;
}

// Runs the later calls (status reads, or EEPROM reads at 1024 onward) and checks each answer
// against what the peer sent for that very request. A call that fails here fails in bringing the
// slot back in step, before its own request goes out.
void expect_current_answers(command kind, const std::vector<int16_t> &statuses) {
    unsigned status_index = 1; // the peer's status request 0 was the late one
    for (std::size_t call = 0; call < statuses.size(); ++call) {
        SCOPED_TRACE("call " + std::to_string(call + 1));
        if (kind == command::status) {
            uint16_t word = 0xFFFF;
            const int16_t result = tkcmdset_status(slot, &word);
            ASSERT_EQ(result, statuses[call]);
            if (result != TKCMDSET_OK) {
                EXPECT_EQ(word, 0);
                continue;
            }
            EXPECT_NE(word, status_word_for(0)) << "the late reply was taken";
            EXPECT_EQ(word, status_word_for(status_index++));
        } else {
            const auto address = static_cast<uint16_t>(1024 + 16 * call);
            uint8_t data[16] = {};
            const int16_t result = tkcmdset_read_eemem_block(slot, address, data, sizeof data);
            ASSERT_EQ(result, statuses[call]);
            if (result != TKCMDSET_OK)
                continue;
            for (unsigned i = 0; i < sizeof data; ++i)
                ASSERT_EQ(data[i], eeprom_byte(address + i)) << "byte " << i;
        }
    }
}

class LateReplyOverTcp : public ::testing::TestWithParam<late_case> {};

TEST_P(LateReplyOverTcp, IsNeverTakenForALaterRequest) {
    const late_case &scenario = GetParam();
    scripted_peer peer({{0, late_ms}}, scenario.withheld);
    use_port(peer.port());
    ASSERT_EQ(tkcmdset_connect(slot, 0, "127.0.0.1"), TKCMDSET_OK);

    if (scenario.first == command::status) {
        uint16_t word = 0xFFFF;
        EXPECT_EQ(tkcmdset_status(slot, &word), TKCMDSET_REPLY_TIMEOUT);
    } else {
        uint8_t data[16];
        EXPECT_EQ(tkcmdset_read_eemem_block(slot, 0, data, sizeof data), TKCMDSET_REPLY_TIMEOUT);
    }
    expect_current_answers(scenario.first, scenario.statuses);

    // One echo after the late reply brings the slot back in step; once in step, every request
    // goes out alone, as it always did.
    const std::vector<uint8_t> seen = peer.opcodes();
    const uint8_t asked = scenario.first == command::status ? op_status : op_read_eemem;
    std::vector<uint8_t> expected{asked};
    for (std::size_t echo = 0; echo <= scenario.withheld.size(); ++echo)
        expected.push_back(op_echo);
    expected.resize(expected.size() + static_cast<std::size_t>(std::count(
                                          scenario.statuses.begin(), scenario.statuses.end(), 0)),
                    asked);
    EXPECT_EQ(seen, expected);
}

INSTANTIATE_TEST_SUITE_P(
    , LateReplyOverTcp,
    ::testing::Values(
        late_case{"Status", command::status, {}, {0, 0, 0, 0, 0}},
        late_case{"EepromRead", command::eeprom_read, {}, {0, 0, 0, 0, 0}},
        // The first echo goes unanswered: that call fails and the next one tries again.
        late_case{"StatusWhenTheFirstEchoIsLost",
                  command::status,
                  {1},
                  {TKCMDSET_REPLY_TIMEOUT, 0, 0, 0, 0}}),
    [](const auto &param_info) { return std::string(param_info.param.name); });

// Over USB the simulated controller holds the reply back. The status word changes before each
// later call, and the EEPROM reads go where known bytes were written, so a stale answer is told
// from the current one.
TEST(LateReplyOverUsb, IsNeverTakenForALaterRequest) {
    vortlink::test::simulator_process sim(vortlink::test::with_hid);
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    ASSERT_EQ(tkcmdset_init_ex(slot, "Kv Quorrel Controller", "Q0000001"), TKCMDSET_OK);
    std::vector<uint8_t> written(16 * later_calls);
    for (std::size_t i = 0; i < written.size(); ++i)
        written[i] = static_cast<uint8_t>(0xC3 ^ (i * 13));
    ASSERT_EQ(tkcmdset_write_eemem_block(slot, 1024, written.data(),
                                         static_cast<uint16_t>(written.size())),
              TKCMDSET_OK);

    sim.inject("status-word 0x0BAD");
    sim.inject("delay " + std::to_string(late_ms));
    uint16_t word = 0xFFFF;
    EXPECT_EQ(tkcmdset_status(slot, &word), TKCMDSET_READ_TIMEOUT);
    for (int call = 1; call <= later_calls; ++call) {
        sim.inject("status-word " + std::to_string(0x2200 + call));
        ASSERT_EQ(tkcmdset_status(slot, &word), TKCMDSET_OK) << "status call " << call;
        EXPECT_EQ(word, 0x2200 + call) << "status call " << call;
    }

    sim.inject("delay " + std::to_string(late_ms));
    uint8_t data[16];
    EXPECT_EQ(tkcmdset_read_eemem_block(slot, 0, data, sizeof data), TKCMDSET_READ_TIMEOUT);
    for (int call = 0; call < later_calls; ++call) {
        const auto address = static_cast<uint16_t>(1024 + 16 * call);
        ASSERT_EQ(tkcmdset_read_eemem_block(slot, address, data, sizeof data), TKCMDSET_OK)
            << "EEPROM call " << call + 1;
        EXPECT_TRUE(std::equal(data, data + 16, written.begin() + 16 * call))
            << "EEPROM call " << call + 1;
    }
    EXPECT_EQ(tkcmdset_shutdown(slot), TKCMDSET_OK);
    unsetenv("VORTLINK_HID_SIM");
}

} // namespace
