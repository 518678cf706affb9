#include "hid_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <deque>
#include <optional>

#include "hid_wire.h"

namespace vortlink::sim {

namespace {

using steady = std::chrono::steady_clock;

constexpr std::size_t receive_chunk = 4096;

// One connection of the HID socket: unbound until it opens a device, then that device's.
class hid_session {
  public:
    hid_session(device_list &devices, const usb_layout &layout, const stop_signal &stop, int fd)
        : devices_(devices), layout_(layout), stop_(stop), fd_(fd) {}

    ~hid_session() {
        if (bound_ == nullptr)
            return;
        for (std::size_t i = 0; i < held_.size(); ++i)
            bound_->usb.release();
        bound_->usb.detach(fd_);
    }

    hid_session(const hid_session &) = delete;
    hid_session &operator=(const hid_session &) = delete;

    // Until the peer goes, the device is unplugged, the stop is raised or the peer breaks the
    // message rules.
    void run() {
        const auto prepare = [this](int &timeout_ms) {
            if (!send_due_replies())
                return false;
            timeout_ms = ms_until_next_reply();
            return true;
        };
        read_connection(fd_, stop_, receive_chunk, prepare, [this](std::vector<uint8_t> &pending) {
            std::size_t start = 0;
            bool going_on = true;
            while (going_on && pending.size() - start >= hid_wire::header_length) {
                const std::size_t length = pending[start] << 8 | pending[start + 1];
                if (length == 0 || length > hid_wire::max_message_length)
                    return false;
                if (pending.size() - start < hid_wire::header_length + length)
                    break;
                const std::span<const uint8_t> message =
                    std::span(pending).subspan(start + hid_wire::header_length, length);
                going_on = handle(message[0], message.subspan(1));
                start += hid_wire::header_length + length;
            }
            pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(start));
            return going_on;
        });
    }

  private:
    struct held_reply {
        steady::time_point due;
        std::vector<uint8_t> report;
        uint32_t flood_ms = 0;
    };

    bool handle(uint8_t type, std::span<const uint8_t> payload) {
        switch (type) {
        case hid_wire::list_devices:
            return answer_list();
        case hid_wire::watch_bus:
            if (bound_ != nullptr)
                return respond(type, hid_wire::result_refused);
            return watch_bus();
        case hid_wire::open_device:
            return answer_open(payload);
        case hid_wire::get_descriptor:
        case hid_wire::get_product:
        case hid_wire::get_serial:
        case hid_wire::get_indexed:
        case hid_wire::write_report:
        case hid_wire::send_feature:
            if (bound_ == nullptr)
                return respond(type, hid_wire::result_refused);
            if (type != hid_wire::write_report && type != hid_wire::send_feature &&
                !stall_for(*bound_))
                return false;
            return answer_device_request(type, payload);
        default:
            return false;
        }
    }

    bool answer_device_request(uint8_t type, std::span<const uint8_t> payload) {
        switch (type) {
        case hid_wire::get_descriptor: {
            const std::vector<uint8_t> descriptor =
                build_report_descriptor(layout_, bound_->usb.identity().feature_usage);
            return respond(type, hid_wire::result_ok, descriptor);
        }
        case hid_wire::get_product:
            return respond_text(type, bound_->usb.identity().product);
        case hid_wire::get_serial: {
            const usb_identity identity = bound_->usb.identity();
            return respond_text(type, identity.serial_readable
                                          ? std::optional<std::string>(identity.serial)
                                          : std::nullopt);
        }
        case hid_wire::get_indexed:
            if (payload.size() != 2)
                return respond(type, hid_wire::result_refused);
            return respond_text(
                type,
                usb_indexed_string(*bound_, static_cast<uint16_t>(payload[0] << 8 | payload[1])));
        case hid_wire::write_report:
            return answer_write(payload);
        default:
            return answer_feature(payload);
        }
    }

    // A stalling device answers late; false when the stop came first.
    bool stall_for(const device &target) {
        const uint32_t milliseconds = target.usb.stall();
        return milliseconds == 0 || pause_unless_stopped(stop_, milliseconds);
    }

    // u8 count, then per present controller u8 n and its key.
    std::vector<uint8_t> present_list() const {
        std::vector<uint8_t> list{0};
        for (const auto &candidate : devices_) {
            if (!candidate->usb.present())
                continue;
            ++list[0];
            list.push_back(static_cast<uint8_t>(candidate->key.size()));
            list.insert(list.end(), candidate->key.begin(), candidate->key.end());
        }
        return list;
    }

    bool answer_list() { return respond(hid_wire::list_devices, hid_wire::result_ok, present_list()); }

    // The connection watches the bus from now on: a bus_changed message with the list whenever
    // it differs from the one sent last, until the peer goes or the process stops. Returns false
    // so that the connection ends then.
    bool watch_bus() {
        const int changes = bus_watchers::instance().subscribe();
        if (changes < 0)
            return respond(hid_wire::watch_bus, hid_wire::result_refused);
        std::vector<uint8_t> sent = present_list();
        bool watching = respond(hid_wire::watch_bus, hid_wire::result_ok, sent);
        while (watching) {
            // A timed unplug ends without anyone telling: wake up when the next one does.
            int timeout_ms = -1;
            for (const auto &candidate : devices_)
                if (const auto back = candidate->usb.returns_at()) {
                    const auto left =
                        std::chrono::ceil<std::chrono::milliseconds>(*back - steady::now()).count();
                    const int wait = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
                    timeout_ms = timeout_ms < 0 ? wait : std::min(timeout_ms, wait);
                }
            pollfd fds[] = {{fd_, POLLIN, 0}, {changes, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
            const int ready = ::poll(fds, 3, timeout_ms);
            if (ready < 0 && errno != EINTR)
                break;
            if (fds[2].revents != 0)
                break;
            if (fds[0].revents != 0) {
                // A watcher sends nothing more; anything else, or its going, ends the watch.
                uint8_t ignored[64];
                (void)::recv(fd_, ignored, sizeof ignored, MSG_DONTWAIT);
                break;
            }
            if (fds[1].revents != 0) {
                uint64_t count = 0;
                (void)!::read(changes, &count, sizeof count);
            }
            std::vector<uint8_t> now = present_list();
            if (now != sent) {
                watching = send_message(hid_wire::bus_changed, {}, now);
                sent = std::move(now);
            }
        }
        bus_watchers::instance().unsubscribe(changes);
        return false;
    }

    bool answer_open(std::span<const uint8_t> key) {
        // One device per connection.
        if (bound_ != nullptr)
            return false;
        for (const auto &candidate : devices_) {
            if (!std::equal(key.begin(), key.end(), candidate->key.begin(), candidate->key.end()))
                continue;
            if (!stall_for(*candidate))
                return false;
            if (!candidate->usb.attach(fd_))
                break;
            bound_ = candidate.get();
            return respond(hid_wire::open_device, hid_wire::result_ok);
        }
        return respond(hid_wire::open_device, hid_wire::result_refused);
    }

    bool answer_write(std::span<const uint8_t> report) {
        const bool accepted = usb_output_accepted(layout_, report);
        // The write completes once the report crossed the wire, as an interrupt transfer does.
        // A host writes a buffer of the longest report; the wire carries the report its ID
        // names.
        if (accepted &&
            !bound_->wire.carry_output(
                std::min(report.size(), layout_.output_report_length(report[0])), stop_))
            return false;
        if (!respond(hid_wire::write_report,
                     accepted ? hid_wire::result_ok : hid_wire::result_refused))
            return false;
        if (!accepted)
            return true;
        usb_reply_plan plan = answer_output_report(*bound_, layout_, report);
        if (plan.report.empty())
            return true;
        const steady::time_point arrives = bound_->wire.usb_reply_due(report, plan.report);
        if (plan.delay_ms == 0 && held_.empty())
            return wait_until_unless_stopped(stop_, arrives) &&
                   send_message(hid_wire::input_report, {}, plan.report) &&
                   flood(plan.report, plan.flood_ms);
        // Replies leave in the order of their requests, as the firmware answers one at a time.
        steady::time_point due = std::max(arrives, steady::now()) +
                                 std::chrono::milliseconds(plan.delay_ms);
        if (!held_.empty())
            due = std::max(due, held_.back().due);
        held_.push_back({due, std::move(plan.report), plan.flood_ms});
        bound_->usb.hold();
        return true;
    }

    bool answer_feature(std::span<const uint8_t> report) {
        if (!usb_feature_accepted(*bound_, report))
            return respond(hid_wire::send_feature, hid_wire::result_refused);
        bound_->usb.record_feature(report);
        // The controller takes the report before it acts on it: a restart makes it leave the
        // bus, which ends this very connection.
        const bool answered = respond(hid_wire::send_feature, hid_wire::result_ok);
        bound_->model.take_feature(static_cast<uint16_t>((report[1] << 8) | report[2]));
        return answered;
    }

    bool send_due_replies() {
        while (!held_.empty() && held_.front().due <= steady::now()) {
            const bool sent = send_message(hid_wire::input_report, {}, held_.front().report) &&
                              flood(held_.front().report, held_.front().flood_ms);
            held_.pop_front();
            bound_->usb.release();
            if (!sent)
                return false;
        }
        return true;
    }

    // Copies of the reply with an opcode in no row, as fast as the library takes them, until the
    // time is up. They go in batches of whole messages once the socket has room (so the framing
    // holds), which keeps the library's side of the socket from ever running dry.
    bool flood(std::vector<uint8_t> report, uint32_t milliseconds) {
        if (milliseconds == 0 || report.size() < 2)
            return true;
        report[1] = 0xFF;
        const std::size_t length = 1 + report.size();
        std::vector<uint8_t> batch;
        for (int copy = 0; copy < 256; ++copy) {
            batch.insert(batch.end(), {static_cast<uint8_t>(length >> 8),
                                       static_cast<uint8_t>(length), hid_wire::input_report});
            batch.insert(batch.end(), report.begin(), report.end());
        }
        const steady::time_point end = steady::now() + std::chrono::milliseconds(milliseconds);
        for (;;) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(end - steady::now()).count();
            if (left <= 0)
                return true;
            const io_result ready = wait_ready(fd_, POLLOUT, stop_, static_cast<int>(left));
            if (ready == io_result::timed_out)
                return true;
            if (ready != io_result::ok || send_all(fd_, batch, stop_, -1) != io_result::ok)
                return false;
        }
    }

    int ms_until_next_reply() const {
        if (held_.empty())
            return -1;
        const auto left =
            std::chrono::ceil<std::chrono::milliseconds>(held_.front().due - steady::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
    }

    bool respond_text(uint8_t request, const std::optional<std::string> &text) {
        if (!text)
            return respond(request, hid_wire::result_refused);
        return respond(request, hid_wire::result_ok,
                       {reinterpret_cast<const uint8_t *>(text->data()), text->size()});
    }

    bool respond(uint8_t request, uint8_t result, std::span<const uint8_t> data = {}) {
        const uint8_t head[] = {result};
        return send_message(static_cast<uint8_t>(request | hid_wire::response_flag), head, data);
    }

    // A message of the type with `head` and `data` as its payload, one after the other.
    bool send_message(uint8_t type, std::span<const uint8_t> head, std::span<const uint8_t> data) {
        const std::size_t length = 1 + head.size() + data.size();
        if (length > hid_wire::max_message_length)
            return false;
        std::vector<uint8_t> message{static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length), type};
        message.insert(message.end(), head.begin(), head.end());
        message.insert(message.end(), data.begin(), data.end());
        return send_all(fd_, message, stop_, -1) == io_result::ok;
    }

    device_list &devices_;
    const usb_layout &layout_;
    const stop_signal &stop_;
    const int fd_;
    device *bound_ = nullptr;
    std::deque<held_reply> held_;
};

} // namespace

hid_server::hid_server(device_list &devices, const usb_layout &layout, const stop_signal &stop)
    : devices_(devices), layout_(layout), stop_(stop),
      streams_([this](connection &client) { serve(client); }) {}

void hid_server::serve(connection &client) {
    hid_session session(devices_, layout_, stop_, client.fd.get());
    session.run();
}

} // namespace vortlink::sim
