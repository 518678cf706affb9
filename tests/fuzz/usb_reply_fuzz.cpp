// A fuzzed controller as the slot's HID device: the first byte picks an exported command, the
// rest are the replies, one per report or string the library asks for. A reply to a written
// report is the input reports the device then queues (none: the write is refused) (cut into reports of the input length, the
// last padded with zeros); a reply to a string request is its UTF-16 units, low byte first. The
// slot takes the USB road unchanged; a device whose replies are used up has gone, so nothing
// waits out a time-out. Besides the sanitizers' findings and the out-parameter promises of each
// command, a command that succeeds had every report it wrote answered by an input report with
// the expected report ID and the requested opcode (or an error reply carrying 0 to a command
// that returns no data).

#include <cstring>
#include <deque>
#include <memory>
#include <string>

#include "core/platform/hid_backend.h"
#include "core/protocol.h"
#include "core/resync.h"
#include "core/state.h"
#include "core/transport.h"
#include "core/usb_transport.h"
#include "fuzz_support.h"
#include "fuzzed_commands.h"

namespace {

using namespace fuzz;
using namespace vortlink;

constexpr uint8_t slot = 9;
constexpr uint8_t request_id = 1, long_request_id = 2, reply_id = 3, long_reply_id = 4;
constexpr uint16_t report_length = 65;

class scripted_device final : public platform::hid_device {
  public:
    explicit scripted_device(scripted_controller &controller) : controller_(controller) {}

    bool report_lengths(platform::hid_report_lengths &) override { return false; }
    bool find_value_usage(uint16_t, platform::hid_value_report &) override { return false; }
    bool product_string(std::u16string &) override { return false; }
    bool serial_number_string(std::u16string &) override { return false; }
    bool indexed_string(uint16_t, std::u16string &text, std::size_t max_units) override {
        // A string request carries no command: it is recorded as an empty request.
        const bytes *reply = controller_.answer(nullptr, 0);
        if (reply == nullptr)
            return false;
        text.clear();
        for (std::size_t at = 0; at + 1 < reply->size() && text.size() + 1 < max_units; at += 2)
            text.push_back(static_cast<char16_t>((*reply)[at] | (*reply)[at + 1] << 8));
        return true;
    }
    bool flush_input() override {
        queued_.clear();
        return true;
    }
    // After a flush that found reports the library waits a few milliseconds for more from a
    // device still sending; this one never sends later, so it tells none, as a backend that
    // cannot count does.
    bool discard_input(std::size_t &discarded) override {
        discarded = 0;
        return flush_input();
    }
    platform::hid_io_result write_report(const uint8_t *report, std::size_t length,
                                         uint32_t) override {
        // An empty reply refuses the write, as a device gone from the bus does.
        const bytes *reply = controller_.answer(report, length);
        if (reply == nullptr || reply->empty())
            return platform::hid_io_result::not_started;
        for (std::size_t at = 0; at < reply->size(); at += report_length) {
            bytes input(report_length, 0);
            std::copy(reply->begin() + at,
                      reply->begin() + std::min<std::size_t>(reply->size(), at + report_length),
                      input.begin());
            queued_.push_back(std::move(input));
        }
        return platform::hid_io_result::done;
    }
    platform::hid_io_result read_report(uint8_t *buffer, std::size_t length, uint32_t) override {
        if (queued_.empty())
            return platform::hid_io_result::not_started;
        std::memcpy(buffer, queued_.front().data(), std::min<std::size_t>(length, report_length));
        queued_.pop_front();
        return platform::hid_io_result::done;
    }
    bool send_feature(const uint8_t *, std::size_t) override { return false; }

  private:
    scripted_controller &controller_;
    std::deque<bytes> queued_;
};

bool answers(const bytes &request, const bytes &reply) {
    // Only written reports carry a command.
    if (request.size() < 2)
        return true;
    const uint8_t opcode = request[1];
    uint16_t reply_data = 0;
    if (reply.empty() || protocol::lookup_command(opcode, false, reply_data) != 0)
        return false;
    // The first report the device queued, padded as it went to the library.
    bytes report(reply.begin(), reply.begin() + std::min<std::size_t>(reply.size(), report_length));
    report.resize(report_length);
    if (report[1] == protocol::error_reply_marker)
        return report[2] == 0 && report[3] == 0 && reply_data == 0;
    const bool long_reply = opcode == 0x00 || opcode == 0x53 || opcode == 0x55;
    return report[0] == (long_reply ? long_reply_id : reply_id) && report[1] == opcode;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    if (size == 0)
        return 0;
    scripted_controller scripted(fuzzed_commands[data[0] % fuzzed_command_count], data + 1,
                                 size - 1);
    slot_record &record = slot_of(slot);
    record.hid_device = std::make_unique<scripted_device>(scripted);
    record.input_report_length = report_length;
    record.output_report_length = report_length;
    record.feature_report_length = 3;
    record.reports = {
        {{request_id, 64}, {long_request_id, 64}, {reply_id, 64}, {long_reply_id, 64}, {5, 2}}};
    record.transport = transport_kind::usb;
    record.road = &usb_operations();
    mark_slot_out_of_step(transport_kind::usb, slot, false);
    scripted.run(slot, answers);
    close_hid_slot(slot);
    return 0;
}
