// The simulated HID backend against the real quorrel-sim: enumeration, the report layout read
// from the descriptor the simulator sends, commands in reports, USB faults, unplugging, the
// identity variations, and peers that break the message rules without hurting the library.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/platform/hid_backend.h"
#include "core/protocol.h"
#include "support/simulator_process.h"

namespace vortlink::platform {
namespace {

using namespace std::chrono_literals;
using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;
using test::simulator_process;
using test::with_hid;
namespace op = protocol::opcode;

constexpr uint32_t reply_timeout_ms = 3000;
// What a read leaves in the bytes past the report it stored.
constexpr uint8_t untouched = 0xEE;
constexpr std::size_t report_buffer = 113;

long elapsed_ms(steady::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count());
}

// An output report of `length` bytes: report ID, opcode, the data, zeros.
bytes output_report(uint8_t report_id, uint8_t opcode, const bytes &data = {},
                    std::size_t length = report_buffer) {
    bytes report(length, 0);
    report[0] = report_id;
    report[1] = opcode;
    std::copy(data.begin(), data.end(), report.begin() + 2);
    return report;
}

bytes block_request(uint32_t address, uint16_t count, const bytes &data = {}) {
    bytes out(6);
    protocol::put_u16_be(protocol::put_u32_be(out.data(), address), count);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

bytes pattern(std::size_t length, uint8_t seed) {
    bytes out(length);
    for (std::size_t i = 0; i < length; ++i)
        out[i] = static_cast<uint8_t>(seed + i * 7);
    return out;
}

struct input {
    hid_io_result result = hid_io_result::not_started;
    bytes buffer;
};

input read_input(hid_device &device, uint32_t timeout_ms, std::size_t capacity = report_buffer) {
    input got;
    got.buffer.assign(capacity, untouched);
    got.result = device.read_report(got.buffer.data(), got.buffer.size(), timeout_ms);
    return got;
}

// Flush, one output report out, one input report back: the USB road's exchange.
bytes round_trip(hid_device &device, const bytes &report) {
    EXPECT_TRUE(device.flush_input());
    EXPECT_EQ(device.write_report(report.data(), report.size(), reply_timeout_ms),
              hid_io_result::done);
    const input reply = read_input(device, reply_timeout_ms);
    EXPECT_EQ(reply.result, hid_io_result::done);
    return reply.buffer;
}

bytes slice(const bytes &from, std::size_t offset, std::size_t length) {
    return bytes(from.begin() + static_cast<std::ptrdiff_t>(offset),
                 from.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::pair<int, int> usage_report(hid_device &device, uint16_t usage) {
    hid_value_report report;
    if (!device.find_value_usage(usage, report))
        return {-1, -1};
    return {report.report_id, report.report_count};
}

std::unique_ptr<hid_device> open_nth(hid_backend &backend, std::size_t index) {
    const std::vector<std::string> paths = backend.list_devices();
    if (index >= paths.size()) {
        ADD_FAILURE() << "only " << paths.size() << " devices listed";
        return nullptr;
    }
    return backend.open_device(paths[index]);
}

class HidSimulator : public ::testing::Test {
  protected:
    simulator_process sim{
        with_hid,
        {"--usb-devices", "2", "--status-word", "0x1234", "--fw-version", "QRL-APP 2.50"}};
    std::unique_ptr<hid_backend> backend = make_simulated_hid_backend(sim.hid_socket());
};

// ---- Enumeration and layout ---------------------------------------------------------------------

TEST_F(HidSimulator, ListsTheControllersInOrderWithTheirSerialsAndProductString) {
    const std::vector<std::string> paths = backend->list_devices();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_NE(paths[0], paths[1]);
    EXPECT_EQ(backend->list_devices(), paths) << "the same order every time";
    const std::u16string serials[] = {u"Q0000001", u"Q0000002"};
    for (std::size_t i = 0; i < 2; ++i) {
        const auto device = backend->open_device(paths[i]);
        ASSERT_NE(device, nullptr);
        std::u16string text;
        ASSERT_TRUE(device->product_string(text));
        EXPECT_EQ(text, u"Kv Quorrel Controller");
        ASSERT_TRUE(device->serial_number_string(text));
        EXPECT_EQ(text, serials[i]);
    }
    EXPECT_EQ(backend->open_device("no-such-device"), nullptr);
}

TEST_F(HidSimulator, ReportLayoutComesFromTheDescriptor) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    hid_report_lengths lengths;
    ASSERT_TRUE(device->report_lengths(lengths));
    EXPECT_EQ(lengths.input, 113);
    EXPECT_EQ(lengths.output, 113);
    EXPECT_EQ(lengths.feature, 9);
    EXPECT_EQ(usage_report(*device, protocol::usage_request), std::make_pair(1, 63));
    EXPECT_EQ(usage_report(*device, protocol::usage_long_request), std::make_pair(2, 112));
    EXPECT_EQ(usage_report(*device, protocol::usage_reply), std::make_pair(3, 63));
    EXPECT_EQ(usage_report(*device, protocol::usage_long_reply), std::make_pair(4, 112));
    EXPECT_EQ(usage_report(*device, protocol::usage_feature), std::make_pair(5, 8));
    EXPECT_EQ(usage_report(*device, 0xAB), std::make_pair(-1, -1));
}

TEST(HidSimulatorLayout, LongReportCountSizesTheLongReportsAndTheirBlocks) {
    simulator_process sim{with_hid, {"--long-report-count", "64"}};
    const auto backend = make_simulated_hid_backend(sim.hid_socket());
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    hid_report_lengths lengths;
    ASSERT_TRUE(device->report_lengths(lengths));
    EXPECT_EQ(lengths.input, 65);
    EXPECT_EQ(lengths.output, 65);
    EXPECT_EQ(lengths.feature, 9);
    EXPECT_EQ(usage_report(*device, protocol::usage_long_request), std::make_pair(2, 64));
    EXPECT_EQ(usage_report(*device, protocol::usage_long_reply), std::make_pair(4, 64));
    EXPECT_EQ(usage_report(*device, protocol::usage_request), std::make_pair(1, 63));

    // Echo sends back all 63 data bytes of the long report.
    const bytes data = pattern(63, 0x11);
    bytes reply = round_trip(*device, output_report(2, op::echo, data, 65));
    EXPECT_EQ(slice(reply, 0, 2), bytes({4, op::echo}));
    EXPECT_EQ(slice(reply, 2, 63), data);

    // Largest chunks: count - 2 for EEPROM reads, count - 8 for memory reads and writes.
    reply = round_trip(*device, output_report(2, op::read_eemem_block, block_request(0, 62), 65));
    EXPECT_EQ(reply[1], op::read_eemem_block);
    reply = round_trip(*device, output_report(2, op::read_mem_block, block_request(0, 56), 65));
    EXPECT_EQ(reply[1], op::read_mem_block);
    reply = round_trip(*device, output_report(2, op::write_mem_block, block_request(0, 56), 65));
    EXPECT_EQ(reply[1], op::write_mem_block);
    for (const bytes &too_long :
         {output_report(2, op::read_eemem_block, block_request(0, 63), 65),
          output_report(2, op::read_mem_block, block_request(0, 57), 65),
          output_report(2, op::write_mem_block, block_request(0, 57), 65)}) {
        reply = round_trip(*device, too_long);
        EXPECT_EQ(slice(reply, 1, 3), bytes({'*', 0x00, 0x03})) << "bad_parameter";
    }
}

// ---- Commands in reports ------------------------------------------------------------------------

TEST_F(HidSimulator, StatusRequestIsAnsweredInTheNormalReplyReport) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    sim.clear_frames();
    const bytes request = output_report(1, op::status);
    const bytes reply = round_trip(*device, request);
    EXPECT_EQ(slice(reply, 0, 4), bytes({3, op::status, 0x12, 0x34}));
    EXPECT_EQ(slice(reply, 4, 60), bytes(60, 0));
    EXPECT_EQ(slice(reply, 64, 49), bytes(49, untouched)) << "report 3 is 64 bytes long";
    EXPECT_EQ(sim.usb_frames(), std::vector<bytes>({request})) << "the whole report as written";
    EXPECT_TRUE(sim.frames().empty()) << "no TCP frame";

    // The reply report follows the opcode, whichever report carried the request.
    EXPECT_EQ(slice(round_trip(*device, output_report(2, op::status)), 0, 4),
              bytes({3, op::status, 0x12, 0x34}));
}

TEST_F(HidSimulator, EachControllerHasItsOwnState) {
    EXPECT_EQ(sim.control("device 2 status-word 0xBEEF"), "ok 0xbeef");
    const auto first = open_nth(*backend, 0);
    const auto second = open_nth(*backend, 1);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(slice(round_trip(*first, output_report(1, op::status)), 2, 2), bytes({0x12, 0x34}));
    EXPECT_EQ(slice(round_trip(*second, output_report(1, op::status)), 2, 2), bytes({0xBE, 0xEF}));
    EXPECT_EQ(sim.usb_frames(1).size(), 1u);
    EXPECT_EQ(sim.usb_frames(2).size(), 1u);
}

TEST_F(HidSimulator, BlockChunksTravelInTheLongReports) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    const bytes chunk = pattern(104, 0x21); // the long report's count less 8
    bytes reply = round_trip(
        *device, output_report(2, op::write_mem_block, block_request(0x1000, 104, chunk)));
    EXPECT_EQ(slice(reply, 0, 2), bytes({3, op::write_mem_block}));
    reply = round_trip(*device, output_report(1, op::read_mem_block, block_request(0x1000, 104)));
    EXPECT_EQ(slice(reply, 0, 2), bytes({4, op::read_mem_block}));
    EXPECT_EQ(slice(reply, 2, 104), chunk);
    EXPECT_EQ(slice(reply, 106, 7), bytes(7, 0)) << "past n: zeros, to the end of report 4";

    const bytes record = pattern(40, 0x5A);
    reply = round_trip(*device,
                       output_report(2, op::write_eemem_block, block_request(0x7000, 40, record)));
    EXPECT_EQ(slice(reply, 0, 2), bytes({3, op::write_eemem_block}));
    reply = round_trip(*device, output_report(1, op::read_eemem_block, block_request(0x7000, 110)));
    EXPECT_EQ(slice(reply, 0, 2), bytes({4, op::read_eemem_block}));
    EXPECT_EQ(slice(reply, 2, 40), record);

    reply = round_trip(*device, output_report(1, op::read_eemem_block, block_request(0x7000, 111)));
    EXPECT_EQ(slice(reply, 0, 4), bytes({4, '*', 0x00, 0x03})) << "n above count - 2";
    reply = round_trip(*device, output_report(2, op::write_mem_block, block_request(0x1000, 105)));
    EXPECT_EQ(slice(reply, 0, 4), bytes({3, '*', 0x00, 0x03})) << "n above count - 8";
}

TEST_F(HidSimulator, ErrorRepliesCarryTheCodeHighByteFirst) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(slice(round_trip(*device, output_report(1, 0x33)), 0, 4), bytes({3, '*', 0x00, 0x01}))
        << "an opcode in no row";

    sim.inject("error -12");
    EXPECT_EQ(slice(round_trip(*device, output_report(1, op::status)), 0, 4),
              bytes({3, '*', 0xFF, 0xF4}));
    sim.inject("error 258");
    EXPECT_EQ(slice(round_trip(*device, output_report(1, op::read_mem_block)), 0, 4),
              bytes({4, '*', 0x01, 0x02}))
        << "in the report the opcode calls for";

    // The error stands in for the command: the write is not carried out.
    sim.inject("error 3");
    bytes write = {0x00, 0x00, 0x20, 0x00, 0x77};
    EXPECT_EQ(slice(round_trip(*device, output_report(1, op::write_mem, write)), 1, 3),
              bytes({'*', 0x00, 0x03}));
    const bytes read =
        round_trip(*device, output_report(1, op::read_mem, bytes{0x00, 0x00, 0x20, 0x00}));
    EXPECT_EQ(slice(read, 0, 3), bytes({3, op::read_mem, 0x00}));
}

// ---- Faults and time-outs -----------------------------------------------------------------------

TEST_F(HidSimulator, DroppedReplyTimesOutWithinTheTimeout) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    sim.inject("drop");
    const bytes request = output_report(1, op::status);
    ASSERT_EQ(device->write_report(request.data(), request.size(), reply_timeout_ms),
              hid_io_result::done);
    const steady::time_point start = steady::now();
    EXPECT_EQ(read_input(*device, 300).result, hid_io_result::timed_out);
    EXPECT_GE(elapsed_ms(start), 299);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(slice(round_trip(*device, request), 0, 2), bytes({3, op::status}));
}

TEST_F(HidSimulator, LateReplyStaysQueuedUntilAFlush) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    const bytes request = output_report(1, op::status);
    // Each round: the reply is held past the read's time-out, then sent.
    auto time_out_a_request = [&] {
        sim.inject("delay 800");
        ASSERT_EQ(device->write_report(request.data(), request.size(), reply_timeout_ms),
                  hid_io_result::done);
        EXPECT_EQ(read_input(*device, 200).result, hid_io_result::timed_out);
        ASSERT_EQ(sim.control("wait-replies"), "ok");
    };

    time_out_a_request();
    input late = read_input(*device, 0);
    EXPECT_EQ(late.result, hid_io_result::done) << "without a flush the late reply is read";
    EXPECT_EQ(slice(late.buffer, 0, 4), bytes({3, op::status, 0x12, 0x34}));

    // Still in the socket when the flush comes.
    time_out_a_request();
    EXPECT_TRUE(device->flush_input());
    EXPECT_EQ(read_input(*device, 200).result, hid_io_result::timed_out);

    // Already taken off the socket while the backend waited for another response.
    time_out_a_request();
    std::u16string product;
    ASSERT_TRUE(device->product_string(product));
    EXPECT_TRUE(device->flush_input());
    EXPECT_EQ(read_input(*device, 200).result, hid_io_result::timed_out);

    EXPECT_EQ(slice(round_trip(*device, request), 0, 2), bytes({3, op::status}));
}

TEST_F(HidSimulator, FaultsBendTheNextUsbRepliesInTheirOrder) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    sim.inject("report-id 9");
    sim.inject("opcode 0x01");
    sim.inject("report-id 0x04");
    const bytes request = output_report(1, op::status);
    EXPECT_EQ(slice(round_trip(*device, request), 0, 4), bytes({9, op::status, 0x12, 0x34}));
    bytes reply = round_trip(*device, request);
    EXPECT_EQ(slice(reply, 0, 2), bytes({3, op::fw_version}));
    EXPECT_EQ(slice(reply, 2, 20), bytes(20, 0));
    reply = round_trip(*device, request);
    EXPECT_EQ(slice(reply, 0, 4), bytes({4, op::status, 0x12, 0x34}));
    EXPECT_EQ(reply[64], untouched) << "the length stays that of report 3";
    EXPECT_EQ(sim.control("faults"), "ok 0");
    EXPECT_EQ(slice(round_trip(*device, request), 0, 4), bytes({3, op::status, 0x12, 0x34}));
}

TEST_F(HidSimulator, WritesOutsideTheOutputReportsAreRefused) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    const bytes input_id = output_report(3, op::status);
    const bytes too_long = output_report(1, op::status, {}, 114);
    EXPECT_EQ(device->write_report(input_id.data(), input_id.size(), reply_timeout_ms),
              hid_io_result::not_started);
    EXPECT_EQ(device->write_report(too_long.data(), too_long.size(), reply_timeout_ms),
              hid_io_result::not_started);
    EXPECT_EQ(device->write_report(input_id.data(), 1, reply_timeout_ms),
              hid_io_result::not_started);
    EXPECT_TRUE(sim.usb_frames().empty());
    EXPECT_EQ(slice(round_trip(*device, output_report(1, op::status)), 0, 2),
              bytes({3, op::status}));
}

// ---- Unplugging ---------------------------------------------------------------------------------

TEST_F(HidSimulator, UnpluggedDeviceFailsAndIsMissingUntilPluggedBack) {
    const std::vector<std::string> paths = backend->list_devices();
    ASSERT_EQ(paths.size(), 2u);
    const auto device = backend->open_device(paths[0]);
    ASSERT_NE(device, nullptr);
    const bytes request = output_report(1, op::status);
    ASSERT_EQ(slice(round_trip(*device, request), 0, 2), bytes({3, op::status}));

    ASSERT_EQ(sim.control("unplug 1 0"), "ok");
    EXPECT_EQ(read_input(*device, reply_timeout_ms).result, hid_io_result::not_started);
    EXPECT_EQ(device->write_report(request.data(), request.size(), reply_timeout_ms),
              hid_io_result::not_started);
    EXPECT_FALSE(device->flush_input());
    std::u16string text;
    EXPECT_FALSE(device->product_string(text));
    EXPECT_EQ(backend->list_devices(), std::vector<std::string>({paths[1]}));
    EXPECT_EQ(backend->open_device(paths[0]), nullptr);

    ASSERT_EQ(sim.control("plug 1"), "ok");
    EXPECT_EQ(backend->list_devices(), paths);
    const auto again = backend->open_device(paths[0]);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(slice(round_trip(*again, request), 0, 2), bytes({3, op::status}));
    EXPECT_EQ(device->write_report(request.data(), request.size(), reply_timeout_ms),
              hid_io_result::not_started)
        << "the old connection stays dead";
}

TEST_F(HidSimulator, DeviceUnpluggedForATimeComesBackByItself) {
    constexpr auto absence = 3000ms;
    const std::vector<std::string> paths = backend->list_devices();
    ASSERT_EQ(paths.size(), 2u);
    const steady::time_point unplugged = steady::now();
    ASSERT_EQ(sim.control("unplug 2 3000"), "ok");
    EXPECT_EQ(backend->list_devices(), std::vector<std::string>({paths[0]}));
    EXPECT_EQ(backend->open_device(paths[1]), nullptr);
    ASSERT_LT(steady::now() - unplugged, absence) << "the machine is too slow to tell";

    // Nothing announces the return: it is a matter of time.
    std::this_thread::sleep_until(unplugged + absence + 100ms);
    EXPECT_EQ(backend->list_devices(), paths);
    const auto device = backend->open_device(paths[1]);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(slice(round_trip(*device, output_report(1, op::status)), 0, 2),
              bytes({3, op::status}));
}

// ---- Strings, feature reports and identity variations -------------------------------------------

TEST_F(HidSimulator, IndexedStringsAreCutToLeaveRoomForATerminator) {
    const auto device = open_nth(*backend, 0);
    ASSERT_NE(device, nullptr);
    std::u16string text;
    ASSERT_TRUE(device->indexed_string(3, text, 64));
    EXPECT_EQ(text, u"Q0000001");
    ASSERT_TRUE(device->indexed_string(4, text, 64));
    EXPECT_EQ(text, u"QRL-APP 2.50");
    ASSERT_TRUE(device->indexed_string(5, text, 64));
    EXPECT_EQ(text, u"6400-000850 Rev B");
    ASSERT_TRUE(device->indexed_string(5, text, 5));
    EXPECT_EQ(text, u"6400");
    ASSERT_TRUE(device->indexed_string(3, text, 1));
    EXPECT_EQ(text, u"");
    EXPECT_FALSE(device->indexed_string(0, text, 64)) << "the language list";
    EXPECT_FALSE(device->indexed_string(9, text, 64));
}

TEST_F(HidSimulator, FeatureReportsAreKeptWhole) {
    const auto device = open_nth(*backend, 1);
    ASSERT_NE(device, nullptr);
    const bytes restart = {5, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    EXPECT_TRUE(device->send_feature(restart.data(), restart.size()));
    const bytes wrong_id = {4, 0x00, 0x02, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(device->send_feature(wrong_id.data(), wrong_id.size()));
    EXPECT_EQ(sim.features(2), std::vector<bytes>({restart}));
    EXPECT_TRUE(sim.features(1).empty());
}

TEST(HidSimulatorIdentity, VariationsFromTheCommandLine) {
    simulator_process sim{with_hid,
                          {"--usb-devices", "3", "--serial", "2=", "--no-feature-usage", "2",
                           "--serial-unreadable", "3", "--product", "3=Kv Other Controller",
                           "--hw-version", "6400-000999 Rev C"}};
    const auto backend = make_simulated_hid_backend(sim.hid_socket());
    const std::vector<std::string> paths = backend->list_devices();
    ASSERT_EQ(paths.size(), 3u);
    std::u16string text;

    const auto first = backend->open_device(paths[0]);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->serial_number_string(text));
    EXPECT_EQ(text, u"Q0000001");
    EXPECT_EQ(usage_report(*first, protocol::usage_feature), std::make_pair(5, 8));
    ASSERT_TRUE(first->indexed_string(5, text, 64));
    EXPECT_EQ(text, u"6400-000999 Rev C");

    const auto second = backend->open_device(paths[1]);
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(second->serial_number_string(text));
    EXPECT_EQ(text, u"");
    EXPECT_EQ(usage_report(*second, protocol::usage_feature), std::make_pair(-1, -1));
    hid_report_lengths lengths;
    ASSERT_TRUE(second->report_lengths(lengths));
    EXPECT_EQ(lengths.feature, 0);
    const bytes feature = {5, 0x00, 0x01, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(second->send_feature(feature.data(), feature.size()));

    const auto third = backend->open_device(paths[2]);
    ASSERT_NE(third, nullptr);
    EXPECT_FALSE(third->serial_number_string(text));
    EXPECT_FALSE(third->indexed_string(3, text, 64));
    ASSERT_TRUE(third->product_string(text));
    EXPECT_EQ(text, u"Kv Other Controller");
    ASSERT_TRUE(third->indexed_string(2, text, 64));
    EXPECT_EQ(text, u"Kv Other Controller");
}

TEST_F(HidSimulator, VariationsAtRunTime) {
    const auto device = open_nth(*backend, 1);
    ASSERT_NE(device, nullptr);
    std::u16string text;
    ASSERT_EQ(sim.control("device 2 serial-empty"), "ok");
    ASSERT_TRUE(device->serial_number_string(text));
    EXPECT_EQ(text, u"");
    ASSERT_EQ(sim.control("device 2 serial-unreadable"), "ok");
    EXPECT_FALSE(device->serial_number_string(text));
    ASSERT_EQ(sim.control("device 2 serial X-17"), "ok");
    ASSERT_TRUE(device->serial_number_string(text));
    EXPECT_EQ(text, u"X-17");
    ASSERT_EQ(sim.control("device 2 product Kv  Spare Unit"), "ok");
    ASSERT_TRUE(device->product_string(text));
    EXPECT_EQ(text, u"Kv  Spare Unit");

    ASSERT_EQ(sim.control("device 2 feature-usage off"), "ok");
    EXPECT_EQ(usage_report(*device, protocol::usage_feature), std::make_pair(5, 8))
        << "an open device keeps the descriptor it read";
    const auto reopened = open_nth(*backend, 1);
    ASSERT_NE(reopened, nullptr);
    EXPECT_EQ(usage_report(*reopened, protocol::usage_feature), std::make_pair(-1, -1));

    const auto first = open_nth(*backend, 0);
    ASSERT_NE(first, nullptr);
    ASSERT_TRUE(first->serial_number_string(text));
    EXPECT_EQ(text, u"Q0000001") << "controller 1 unchanged";
}

// ---- Peers that break the rules -----------------------------------------------------------------

// A stand-in for the simulator's socket that runs a script on each connection, one at a time.
class fake_peer {
  public:
    using script = std::function<void(int fd)>;

    explicit fake_peer(script serve) : serve_(std::move(serve)) {
        static std::atomic<unsigned> serial{0};
        path_ = "fake-peer-" + std::to_string(::getpid()) + "-" +
                std::to_string(serial.fetch_add(1)) + ".sock";
        sockaddr_un endpoint{};
        endpoint.sun_family = AF_UNIX;
        std::memcpy(endpoint.sun_path, path_.c_str(), path_.size() + 1);
        ::unlink(path_.c_str());
        listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        stop_ = ::eventfd(0, EFD_CLOEXEC);
        if (listener_ < 0 || stop_ < 0 ||
            ::bind(listener_, reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint) !=
                0 ||
            ::listen(listener_, 8) != 0)
            ADD_FAILURE() << "fake peer cannot listen: " << std::strerror(errno);
        thread_ = std::thread([this] { run(); });
    }

    ~fake_peer() {
        const uint64_t one = 1;
        (void)!::write(stop_, &one, sizeof one);
        thread_.join();
        ::close(listener_);
        ::close(stop_);
        ::unlink(path_.c_str());
    }

    fake_peer(const fake_peer &) = delete;
    fake_peer &operator=(const fake_peer &) = delete;

    const std::string &path() const { return path_; }

  private:
    void run() {
        for (;;) {
            pollfd watched[2] = {{stop_, POLLIN, 0}, {listener_, POLLIN, 0}};
            if (::poll(watched, 2, -1) < 0 && errno != EINTR)
                return;
            if (watched[0].revents != 0)
                return;
            if (watched[1].revents == 0)
                continue;
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0)
                continue;
            serve_(client);
            ::close(client);
        }
    }

    script serve_;
    std::string path_;
    int listener_ = -1;
    int stop_ = -1;
    std::thread thread_;
};

struct wire_message {
    uint8_t type = 0;
    bytes payload;
};

bool read_exactly(int fd, uint8_t *into, std::size_t count) {
    while (count > 0) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 10000) <= 0)
            return false;
        const ssize_t got = ::read(fd, into, count);
        if (got <= 0)
            return false;
        into += got;
        count -= static_cast<std::size_t>(got);
    }
    return true;
}

std::optional<wire_message> read_message(int fd) {
    uint8_t header[2];
    if (!read_exactly(fd, header, 2))
        return std::nullopt;
    bytes body(static_cast<std::size_t>(header[0] << 8 | header[1]));
    if (body.empty() || !read_exactly(fd, body.data(), body.size()))
        return std::nullopt;
    return wire_message{body[0], bytes(body.begin() + 1, body.end())};
}

void send_bytes(int fd, const bytes &data) {
    EXPECT_EQ(::send(fd, data.data(), data.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(data.size()));
}

bytes message(uint8_t type, const bytes &payload) {
    const std::size_t length = payload.size() + 1;
    bytes out{static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), type};
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

// Holds the connection until the library closes its end.
void wait_for_close(int fd) {
    uint8_t scratch[256];
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        if (::poll(&readable, 1, 10000) <= 0 || ::read(fd, scratch, sizeof scratch) <= 0)
            return;
    }
}

// One normal report each way, report IDs 3 (in) and 1 (out).
const bytes small_descriptor = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08,
                                0x85, 0x03, 0x95, 0x3F, 0x09, 0xA8, 0x81, 0x02, 0x85,
                                0x01, 0x95, 0x3F, 0x09, 0xA6, 0x91, 0x02, 0xC0};

// Answers the open and the descriptor request as the simulator does.
bool accept_open(int fd) {
    const auto open = read_message(fd);
    if (!open || open->type != 0x02)
        return false;
    send_bytes(fd, message(0x82, {0}));
    const auto describe = read_message(fd);
    if (!describe || describe->type != 0x03)
        return false;
    bytes payload{0};
    payload.insert(payload.end(), small_descriptor.begin(), small_descriptor.end());
    send_bytes(fd, message(0x83, payload));
    return true;
}

TEST(HidSimBrokenPeer, MalformedDeviceListsGiveNoDevices) {
    const std::vector<bytes> answers = {
        {0xFF, 0xFF, 0x81, 0x00},                       // longer than any message may be
        {0x00, 0x00},                                   // no type byte
        {0x00, 0x02, 0x82, 0x00},                       // the answer to another request
        {0x00, 0x01, 0x81},                             // no result byte
        {0x00, 0x02, 0x81, 0x01},                       // refused
        {0x00, 0x05, 0x81, 0x00, 0x03, 0x01, 'a'},      // fewer keys than counted
        {0x00, 0x06, 0x81, 0x00, 0x01, 0x01, 'a', 'b'}, // bytes after the last key
        {0x00, 0x05, 0x81, 0x00, 0x01, 0x00, 0x00},     // an empty key
        {0x00, 0x04, 0x81, 0x00, 0x01, 0x41},           // a key longer than the message
        {0x00, 0x10, 0x81, 0x00},                       // cut off, then closed
        {},                                             // closed without a word
    };
    for (const bytes &answer : answers) {
        fake_peer peer([&](int fd) {
            if (read_message(fd))
                send_bytes(fd, answer);
        });
        const auto backend = make_simulated_hid_backend(peer.path());
        EXPECT_TRUE(backend->list_devices().empty()) << ::testing::PrintToString(answer);
    }

    // The same peer with a well-formed answer, to show the script reaches the library.
    fake_peer peer([](int fd) {
        if (read_message(fd))
            send_bytes(fd, message(0x81, {0x00, 0x02, 0x01, 'a', 0x02, 'b', 'c'}));
        wait_for_close(fd);
    });
    EXPECT_EQ(make_simulated_hid_backend(peer.path())->list_devices(),
              std::vector<std::string>({"a", "bc"}));
}

TEST(HidSimBrokenPeer, SilentPeerAndMissingSocketGiveNoDevicesInBoundedTime) {
    fake_peer silent([](int fd) { wait_for_close(fd); });
    const steady::time_point start = steady::now();
    EXPECT_TRUE(make_simulated_hid_backend(silent.path())->list_devices().empty());
    EXPECT_GE(elapsed_ms(start), 1900);
    EXPECT_LT(elapsed_ms(start), 6000);
    EXPECT_EQ(make_simulated_hid_backend(silent.path())->open_device("a"), nullptr);

    EXPECT_TRUE(make_simulated_hid_backend("no-such-socket")->list_devices().empty());
    EXPECT_TRUE(make_simulated_hid_backend(std::string(200, 'x'))->list_devices().empty());
    EXPECT_EQ(make_simulated_hid_backend("no-such-socket")->open_device("a"), nullptr);
}

TEST(HidSimBrokenPeer, RefusedOrGarbledOpenGivesNoDevice) {
    fake_peer refusing([](int fd) {
        if (read_message(fd))
            send_bytes(fd, message(0x82, {0x01}));
        wait_for_close(fd);
    });
    EXPECT_EQ(make_simulated_hid_backend(refusing.path())->open_device("a"), nullptr);

    fake_peer garbling([](int fd) {
        if (read_message(fd))
            send_bytes(fd, {0x10, 0x01, 0x02, 0x03});
        wait_for_close(fd);
    });
    EXPECT_EQ(make_simulated_hid_backend(garbling.path())->open_device("a"), nullptr);
    EXPECT_EQ(make_simulated_hid_backend(garbling.path())->open_device(std::string(65, 'k')),
              nullptr)
        << "a key longer than any the list can carry";
}

TEST(HidSimBrokenPeer, GarbageOnAnOpenDeviceEndsItCleanly) {
    // An unparsable descriptor, then an oversized length where an input report should be.
    fake_peer peer([](int fd) {
        if (!read_message(fd))
            return;
        send_bytes(fd, message(0x82, {0}));
        if (!read_message(fd))
            return;
        send_bytes(fd, message(0x83, {0x00, 0x85}));
        send_bytes(fd, {0x20, 0x00, 0x90, 0x03});
        wait_for_close(fd);
    });
    const auto device = make_simulated_hid_backend(peer.path())->open_device("a");
    ASSERT_NE(device, nullptr);
    hid_report_lengths lengths;
    EXPECT_FALSE(device->report_lengths(lengths));
    hid_value_report report;
    EXPECT_FALSE(device->find_value_usage(protocol::usage_reply, report));
    EXPECT_EQ(read_input(*device, reply_timeout_ms).result, hid_io_result::not_started);
    const bytes request = output_report(1, op::status, {}, 64);
    EXPECT_EQ(device->write_report(request.data(), request.size(), reply_timeout_ms),
              hid_io_result::not_started);
    EXPECT_FALSE(device->flush_input());
    std::u16string text;
    EXPECT_FALSE(device->product_string(text));
}

TEST(HidSimBrokenPeer, EmptyReportsAndUnaskedResponsesBreakTheConnection) {
    for (const bytes &intruder : {message(0x90, {}), message(0x84, {0x00}), message(0x42, {0})}) {
        fake_peer peer([&](int fd) {
            if (!accept_open(fd))
                return;
            send_bytes(fd, intruder);
            wait_for_close(fd);
        });
        const auto device = make_simulated_hid_backend(peer.path())->open_device("a");
        ASSERT_NE(device, nullptr);
        hid_report_lengths lengths;
        EXPECT_TRUE(device->report_lengths(lengths));
        EXPECT_EQ(read_input(*device, reply_timeout_ms).result, hid_io_result::not_started)
            << ::testing::PrintToString(intruder);
    }
}

TEST(HidSimBrokenPeer, LateResponseIsRecognisedAndSkipped) {
    // The write's response comes only after the next request, with an input report before it.
    fake_peer peer([](int fd) {
        if (!accept_open(fd))
            return;
        const auto write = read_message(fd);
        const auto ask = read_message(fd);
        if (!write || write->type != 0x07 || !ask || ask->type != 0x04)
            return;
        bytes report(64, 0);
        report[0] = 3;
        report[1] = 0x42;
        bytes late = message(0x87, {0});
        const bytes input = message(0x90, report);
        const bytes answer = message(0x84, {0, 'K', 'v'});
        late.insert(late.end(), input.begin(), input.end());
        late.insert(late.end(), answer.begin(), answer.end());
        send_bytes(fd, late);
        wait_for_close(fd);
    });
    const auto device = make_simulated_hid_backend(peer.path())->open_device("a");
    ASSERT_NE(device, nullptr);
    const bytes request = output_report(1, op::status, {}, 64);
    const steady::time_point start = steady::now();
    EXPECT_EQ(device->write_report(request.data(), request.size(), 300), hid_io_result::timed_out);
    EXPECT_GE(elapsed_ms(start), 299);
    EXPECT_LT(elapsed_ms(start), 1000);
    std::u16string text;
    ASSERT_TRUE(device->product_string(text));
    EXPECT_EQ(text, u"Kv");
    const input got = read_input(*device, 0, 64);
    EXPECT_EQ(got.result, hid_io_result::done);
    EXPECT_EQ(slice(got.buffer, 0, 2), bytes({3, 0x42}));
}

TEST(HidSimBrokenPeer, FloodOfInputReportsKeepsOnlyTheNewest) {
    constexpr unsigned sent = 300;
    constexpr unsigned kept = 256;
    fake_peer peer([](int fd) {
        if (!accept_open(fd) || !read_message(fd))
            return;
        bytes burst;
        for (unsigned i = 0; i < sent; ++i) {
            const bytes report =
                message(0x90, {3, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
            burst.insert(burst.end(), report.begin(), report.end());
        }
        const bytes answer = message(0x84, {0, 'K'});
        burst.insert(burst.end(), answer.begin(), answer.end());
        send_bytes(fd, burst);
        wait_for_close(fd);
    });
    const auto device = make_simulated_hid_backend(peer.path())->open_device("a");
    ASSERT_NE(device, nullptr);
    std::u16string text;
    ASSERT_TRUE(device->product_string(text));
    for (unsigned expected = sent - kept; expected < sent; ++expected) {
        const input got = read_input(*device, 0, 3);
        ASSERT_EQ(got.result, hid_io_result::done);
        ASSERT_EQ(got.buffer[1] << 8 | got.buffer[2], static_cast<int>(expected));
    }
    EXPECT_EQ(read_input(*device, 0).result, hid_io_result::timed_out);
}

} // namespace
} // namespace vortlink::platform
