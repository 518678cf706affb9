// The simulated HID backend: the controllers of a running quorrel-sim, reached through the unix
// stream socket it serves with --hid-socket, or the TCP port it serves with --hid-tcp-port
// (VORTLINK_HID_SIM names either: a path, or tcp:HOST:PORT). The stream stands in for the USB
// bus; the simulator keeps its own copy of these numbers (simulator/hid_wire.h).
//
// Messages, both ways: u16 length (big-endian; type byte plus payload, 1 to 4096), type byte,
// payload. A message longer or shorter than that, or of a type the receiver does not expect,
// breaks the connection.
//
//   request (library)           payload                 response payload (type | 0x80)
//   0x01 list devices           -                       result, u8 count, count x (u8 n, key)
//   0x02 open device            key                     result
//   0x03 report descriptor      -                       result, descriptor bytes
//   0x04 product string         -                       result, UTF-8 text
//   0x05 serial number string   -                       result, UTF-8 text
//   0x06 indexed string         u16 index, big-endian   result, UTF-8 text
//   0x07 write output report    report, ID first        result
//   0x08 send feature report    report, ID first        result
//   0x90 input report (simulator, unasked)              report, ID first
//
// The result byte is 0 for done, anything else for refused. Every request gets exactly one
// response, in order. A list takes a connection of its own (closed after the answer); opening a
// device ties the connection to it for good, and the simulator ends that connection when the
// device is unplugged. Input reports arrive whenever the device sends them, also while a
// response is awaited: they are queued here, and a flush discards that queue and whatever is
// waiting in the socket. A request whose response does not come in time is remembered, so that
// the late response is recognised and dropped when it comes.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/clock.h"
#include "core/platform/hid_backend.h"
#include "core/platform/hid_descriptor.h"
#include "core/platform/hidraw_backend.h"
#include "core/platform/sim_bus_endpoint.h"
#include "core/platform/socket.h"

namespace vortlink::platform {

namespace {

namespace wire {
constexpr std::size_t header_length = 2;
constexpr std::size_t max_message_length = 4096;
constexpr std::size_t max_key_length = 64;

constexpr uint8_t list_devices = 0x01;
constexpr uint8_t open_device = 0x02;
constexpr uint8_t get_descriptor = 0x03;
constexpr uint8_t get_product = 0x04;
constexpr uint8_t get_serial = 0x05;
constexpr uint8_t get_indexed = 0x06;
constexpr uint8_t write_report = 0x07;
constexpr uint8_t send_feature = 0x08;
constexpr uint8_t response_flag = 0x80;
constexpr uint8_t input_report = 0x90;

constexpr uint8_t result_ok = 0;
} // namespace wire

// How long a request without a caller's time-out (list, open, strings, feature) may take.
constexpr uint32_t request_limit_ms = 2000;
// A device that sends reports faster than anyone reads them loses the oldest, as hidraw's queue
// does, instead of filling memory.
constexpr std::size_t max_queued_reports = 256;
// Requests whose responses are still owed; a peer that owes more has stopped answering.
constexpr std::size_t max_unanswered = 64;
// A flush takes what is waiting now, not what a device keeps streaming.
constexpr unsigned max_flushed_messages = 1024;

class deadline {
  public:
    explicit deadline(uint32_t timeout_ms) : start_(monotonic_ms()), timeout_(timeout_ms) {}
    uint32_t remaining() const {
        const uint32_t elapsed = monotonic_ms() - start_;
        return elapsed >= timeout_ ? 0 : timeout_ - elapsed;
    }
    std::chrono::milliseconds left() const { return std::chrono::milliseconds(remaining()); }

  private:
    uint32_t start_;
    uint32_t timeout_;
};

// A request's deadline: its own limit, or what is left of the calling thread's budget.
deadline request_deadline() {
    return deadline(hid_request_budget::clip(request_limit_ms));
}

struct message {
    uint8_t type = 0;
    std::vector<uint8_t> payload;
};

enum class receive_result { received, timed_out, broken };

// One connection to the simulator's bus, cut into messages. A message that arrives in parts
// is put together across calls, so a time-out in the middle of one loses nothing.
class wire_connection {
  public:
    bool connect(const std::string &endpoint) {
        socket_id fd = no_socket;
        if (!connect_simulated_bus(endpoint, request_deadline().remaining(), fd))
            return false;
        fd_.reset(fd);
        return true;
    }

    bool broken() const { return broken_ || !fd_.valid(); }
    void break_off() { broken_ = true; }

    // done, timed_out when not a byte went out in time (the connection stays usable), or
    // not_started when the connection is broken (also by a message cut off by the deadline).
    hid_io_result send(uint8_t type, std::span<const uint8_t> payload, const deadline &limit) {
        if (broken())
            return hid_io_result::not_started;
        const std::size_t length = payload.size() + 1;
        if (length > wire::max_message_length)
            return hid_io_result::not_started;
        std::vector<uint8_t> bytes{static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length),
                                   type};
        bytes.insert(bytes.end(), payload.begin(), payload.end());
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const long written = send_queued(fd_.get(), bytes.data() + sent, bytes.size() - sent);
            if (written > 0) {
                sent += static_cast<std::size_t>(written);
                continue;
            }
            if (written < 0)
                return fail();
            const wait_result room = wait_writable(fd_.get(), limit.remaining());
            if (room == wait_result::failed || room == wait_result::closed)
                return fail();
            if (room == wait_result::timed_out) {
                if (sent == 0)
                    return hid_io_result::timed_out;
                // Half a message: the peer can no longer find where the next one starts.
                broken_ = true;
                return hid_io_result::timed_out;
            }
        }
        return hid_io_result::done;
    }

    // Waits in poll for what the socket brings, then takes all of it in one read: the response
    // to a write and the input report behind it often arrive together.
    receive_result receive(message &received, const deadline &limit) {
        for (;;) {
            const parse_outcome parsed = take_buffered(received);
            if (parsed == parse_outcome::complete)
                return receive_result::received;
            if (parsed == parse_outcome::broken) {
                broken_ = true;
                return receive_result::broken;
            }
            // A peer that closed may have left a last message: the read tells.
            const wait_result ready = wait_readable(fd_.get(), limit.remaining());
            if (ready == wait_result::timed_out)
                return receive_result::timed_out;
            if (ready == wait_result::failed || !read_more()) {
                broken_ = true;
                return receive_result::broken;
            }
        }
    }

  private:
    enum class parse_outcome { complete, need_more, broken };

    hid_io_result fail() {
        broken_ = true;
        return hid_io_result::not_started;
    }

    // The next whole message of the input buffer, if it holds one.
    parse_outcome take_buffered(message &received) {
        if (broken())
            return parse_outcome::broken;
        const std::size_t have = input_end_ - input_begin_;
        if (have < wire::header_length)
            return parse_outcome::need_more;
        const uint8_t *start = input_.data() + input_begin_;
        const std::size_t length = start[0] << 8 | start[1];
        if (length == 0 || length > wire::max_message_length)
            return parse_outcome::broken;
        if (have < wire::header_length + length)
            return parse_outcome::need_more;
        received.type = start[wire::header_length];
        received.payload.assign(start + wire::header_length + 1,
                                start + wire::header_length + length);
        input_begin_ += wire::header_length + length;
        if (input_begin_ == input_end_)
            input_begin_ = input_end_ = 0;
        return parse_outcome::complete;
    }

    // Appends what the socket holds to the input buffer, without waiting. False when the
    // simulator closed the connection (the device is gone) or the socket failed.
    bool read_more() {
        if (input_begin_ != 0) {
            std::memmove(input_.data(), input_.data() + input_begin_, input_end_ - input_begin_);
            input_end_ -= input_begin_;
            input_begin_ = 0;
        }
        const long got =
            take_queued(fd_.get(), input_.data() + input_end_, input_.size() - input_end_);
        if (got > 0)
            input_end_ += static_cast<std::size_t>(got);
        return got >= 0;
    }

    socket_handle fd_;
    bool broken_ = false;
    // Received bytes not yet cut into messages: room for the longest message twice over, so
    // that a read never has to wait for the buffer to empty.
    std::vector<uint8_t> input_ = std::vector<uint8_t>(2 * (wire::header_length +
                                                            wire::max_message_length));
    std::size_t input_begin_ = 0;
    std::size_t input_end_ = 0;
};

class sim_hid_device final : public described_hid_device {
  public:
    explicit sim_hid_device(wire_connection connection) : wire_(std::move(connection)) {}

    // Reads the report description once, as hidraw does when a node is opened.
    void load_description() {
        std::vector<uint8_t> response;
        if (request(wire::get_descriptor, {}, request_deadline(), response) ==
                hid_io_result::done &&
            response[0] == wire::result_ok)
            description_status_ =
                parse_report_descriptor(std::span(response).subspan(1), description_);
    }

    bool product_string(std::u16string &text) override {
        return request_text(wire::get_product, {}, text);
    }

    bool serial_number_string(std::u16string &text) override {
        return request_text(wire::get_serial, {}, text);
    }

    bool indexed_string(uint16_t index, std::u16string &text, std::size_t max_units) override {
        text.clear();
        if (index == 0)
            return false;
        const uint8_t payload[] = {static_cast<uint8_t>(index >> 8), static_cast<uint8_t>(index)};
        if (!request_text(wire::get_indexed, payload, text))
            return false;
        // One unit is left for the caller's terminator.
        cut_to_units(text, max_units == 0 ? 0 : max_units - 1);
        return true;
    }

    bool flush_input() override {
        std::size_t discarded = 0;
        return discard_input(discarded);
    }

    bool discard_input(std::size_t &discarded) override {
        discarded = 0;
        const deadline limit = request_deadline();
        std::unique_lock lock(mutex_, limit.left());
        if (!lock.owns_lock())
            return false;
        discarded = queued_.size();
        queued_.clear();
        const deadline now(0);
        for (unsigned taken = 0; taken < max_flushed_messages; ++taken) {
            message received;
            const receive_result result = wire_.receive(received, now);
            if (result == receive_result::timed_out)
                break;
            if (result == receive_result::broken || sort(received, 0) == sorted::broken)
                return false;
        }
        discarded += queued_.size();
        queued_.clear();
        return !wire_.broken();
    }

    hid_io_result write_report(const uint8_t *report, std::size_t length,
                               uint32_t timeout_ms) override {
        if (report == nullptr || length == 0)
            return hid_io_result::not_started;
        const deadline limit(timeout_ms);
        std::vector<uint8_t> response;
        const hid_io_result result =
            request(wire::write_report, std::span(report, length), limit, response);
        if (result != hid_io_result::done)
            return result;
        return response[0] == wire::result_ok ? hid_io_result::done : hid_io_result::not_started;
    }

    hid_io_result read_report(uint8_t *buffer, std::size_t length, uint32_t timeout_ms) override {
        if (buffer == nullptr || length == 0)
            return hid_io_result::not_started;
        const deadline limit(timeout_ms);
        std::unique_lock lock(mutex_, limit.left());
        if (!lock.owns_lock())
            return hid_io_result::timed_out;
        while (queued_.empty()) {
            message received;
            const receive_result result = wire_.receive(received, limit);
            if (result == receive_result::timed_out)
                return hid_io_result::timed_out;
            if (result == receive_result::broken || sort(received, 0) == sorted::broken)
                return hid_io_result::not_started;
        }
        const std::vector<uint8_t> &report = queued_.front();
        std::memcpy(buffer, report.data(), std::min(length, report.size()));
        queued_.pop_front();
        return hid_io_result::done;
    }

    bool send_feature(const uint8_t *report, std::size_t length) override {
        if (report == nullptr || length == 0)
            return false;
        std::vector<uint8_t> response;
        return request(wire::send_feature, std::span(report, length), request_deadline(),
                       response) == hid_io_result::done &&
               response[0] == wire::result_ok;
    }

    // Sends a request and waits for its response, whose payload (result byte first, never
    // empty) goes to `response`. Input reports that come first are queued.
    hid_io_result request(uint8_t type, std::span<const uint8_t> payload, const deadline &limit,
                          std::vector<uint8_t> &response) {
        std::unique_lock lock(mutex_, limit.left());
        if (!lock.owns_lock())
            return hid_io_result::timed_out;
        const hid_io_result sent = wire_.send(type, payload, limit);
        if (sent != hid_io_result::done)
            return sent;
        for (;;) {
            message received;
            const receive_result result = wire_.receive(received, limit);
            if (result == receive_result::broken)
                return hid_io_result::not_started;
            if (result == receive_result::timed_out) {
                unanswered_.push_back(type);
                if (unanswered_.size() > max_unanswered)
                    wire_.break_off();
                return hid_io_result::timed_out;
            }
            switch (sort(received, type)) {
            case sorted::response:
                response = std::move(received.payload);
                return hid_io_result::done;
            case sorted::broken:
                return hid_io_result::not_started;
            case sorted::queued:
            case sorted::late_response:
                break;
            }
        }
    }

  private:
    enum class sorted { queued, late_response, response, broken };

    // Files a message that arrived while `awaited` (0: nothing) was the request in flight.
    sorted sort(message &received, uint8_t awaited) {
        if (received.type == wire::input_report) {
            if (received.payload.empty()) {
                wire_.break_off();
                return sorted::broken;
            }
            if (queued_.size() >= max_queued_reports)
                queued_.pop_front();
            queued_.push_back(std::move(received.payload));
            return sorted::queued;
        }
        // Responses come in the order of their requests: those owed to requests that timed out
        // come first.
        const uint8_t expected = !unanswered_.empty() ? unanswered_.front() : awaited;
        if (expected == 0 || received.type != (expected | wire::response_flag) ||
            received.payload.empty()) {
            wire_.break_off();
            return sorted::broken;
        }
        if (!unanswered_.empty()) {
            unanswered_.pop_front();
            return sorted::late_response;
        }
        return sorted::response;
    }

    bool request_text(uint8_t type, std::span<const uint8_t> payload, std::u16string &text) {
        std::vector<uint8_t> response;
        if (request(type, payload, request_deadline(), response) != hid_io_result::done ||
            response[0] != wire::result_ok)
            return false;
        text = utf16_from_utf8(std::string_view(reinterpret_cast<const char *>(response.data() + 1),
                                                response.size() - 1));
        return true;
    }

    // One caller at a time on the connection; the waits are bounded by the callers' time-outs.
    std::timed_mutex mutex_;
    wire_connection wire_;
    std::deque<std::vector<uint8_t>> queued_;
    std::deque<uint8_t> unanswered_;
};

// The keys of a device list response; false when it is malformed.
bool parse_device_list(std::span<const uint8_t> response, std::vector<std::string> &keys) {
    keys.clear();
    if (response.size() < 2 || response[0] != wire::result_ok)
        return false;
    const std::size_t count = response[1];
    std::size_t at = 2;
    for (std::size_t i = 0; i < count; ++i) {
        if (at >= response.size())
            return false;
        const std::size_t length = response[at++];
        if (length == 0 || length > wire::max_key_length || length > response.size() - at)
            return false;
        keys.emplace_back(reinterpret_cast<const char *>(response.data() + at), length);
        at += length;
    }
    return at == response.size();
}

class sim_hid_backend final : public hid_backend {
  public:
    explicit sim_hid_backend(std::string socket_path) : socket_path_(std::move(socket_path)) {}

    std::vector<std::string> list_devices() override {
        wire_connection connection;
        if (!connection.connect(socket_path_))
            return {};
        // The list connection carries no reports; a device object gives it the same rules.
        sim_hid_device lister(std::move(connection));
        std::vector<uint8_t> response;
        std::vector<std::string> keys;
        if (lister.request(wire::list_devices, {}, request_deadline(), response) !=
                hid_io_result::done ||
            !parse_device_list(response, keys))
            return {};
        return keys;
    }

    std::unique_ptr<hid_device> open_device(const std::string &path) override {
        if (path.empty() || path.size() > wire::max_key_length)
            return nullptr;
        wire_connection connection;
        if (!connection.connect(socket_path_))
            return nullptr;
        auto device = std::make_unique<sim_hid_device>(std::move(connection));
        std::vector<uint8_t> response;
        const auto *key = reinterpret_cast<const uint8_t *>(path.data());
        if (device->request(wire::open_device, std::span(key, path.size()), request_deadline(),
                            response) != hid_io_result::done ||
            response[0] != wire::result_ok)
            return nullptr;
        device->load_description();
        return device;
    }

  private:
    std::string socket_path_;
};

} // namespace

std::unique_ptr<hid_backend> make_simulated_hid_backend(const std::string &endpoint) {
    return std::make_unique<sim_hid_backend>(endpoint);
}

} // namespace vortlink::platform
