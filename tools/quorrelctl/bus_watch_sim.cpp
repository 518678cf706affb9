// The simulated bus's notifications: a connection to quorrel-sim's bus (its unix socket or its
// TCP port) that asked to watch the bus (message 0x09) gets a message 0x91 with the new device
// list whenever a controller leaves or joins it. The messages are framed as on every connection
// of that bus: u16 length (big-endian; type byte plus payload), type byte, payload.

#include <chrono>
#include <cstdint>
#include <vector>

#include "bus_watch.h"
#include "core/platform/sim_bus_endpoint.h"
#include "core/platform/socket.h"

namespace vortlink::platform {

namespace {

constexpr uint8_t watch_bus = 0x09;
constexpr uint8_t response_flag = 0x80;
constexpr uint8_t bus_changed = 0x91;
constexpr uint8_t result_ok = 0;
constexpr std::size_t header_length = 2;
constexpr std::size_t max_message_length = 4096;
constexpr int answer_limit_ms = 2000;

class simulated_bus_watch final : public usb_bus_watch {
  public:
    explicit simulated_bus_watch(socket_id socket) { socket_.reset(socket); }

    // Sends the watch request and takes its response.
    bool start(std::string &error) {
        const uint8_t request[] = {0, 1, watch_bus};
        if (!send_all(socket_.get(), request, sizeof request)) {
            error = "the simulated bus did not take the watch";
            return false;
        }
        uint8_t type = 0;
        std::vector<uint8_t> payload;
        if (receive(type, payload, answer_limit_ms) != outcome::changed ||
            type != (watch_bus | response_flag) || payload.empty() || payload[0] != result_ok) {
            error = "the simulated bus refused the watch";
            return false;
        }
        return true;
    }

    outcome wait_for_change(int timeout_ms) override {
        uint8_t type = 0;
        std::vector<uint8_t> payload;
        for (;;) {
            const outcome got = receive(type, payload, timeout_ms);
            if (got != outcome::changed)
                return got;
            if (type == bus_changed)
                return outcome::changed;
        }
    }

  private:
    // One whole message, put together across reads; changed when one came.
    outcome receive(uint8_t &type, std::vector<uint8_t> &payload, int timeout_ms) {
        using clock = std::chrono::steady_clock;
        const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            if (pending_.size() >= header_length) {
                const std::size_t length = pending_[0] << 8 | pending_[1];
                if (length == 0 || length > max_message_length)
                    return outcome::failed;
                if (pending_.size() >= header_length + length) {
                    type = pending_[header_length];
                    payload.assign(pending_.begin() + header_length + 1,
                                   pending_.begin() + static_cast<long>(header_length + length));
                    pending_.erase(pending_.begin(),
                                   pending_.begin() + static_cast<long>(header_length + length));
                    return outcome::changed;
                }
            }
            // Without a limit, a day at a time.
            uint32_t wait = 24u * 3600u * 1000u;
            if (timeout_ms >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
                wait = left > 0 ? static_cast<uint32_t>(left) : 0;
            }
            const wait_result ready = wait_readable(socket_.get(), wait);
            if (ready == wait_result::failed)
                return outcome::failed;
            if (ready == wait_result::timed_out) {
                if (timeout_ms >= 0)
                    return outcome::timed_out;
                continue;
            }
            uint8_t chunk[1024];
            const long got = take_queued(socket_.get(), chunk, sizeof chunk);
            if (got < 0)
                return outcome::failed;
            pending_.insert(pending_.end(), chunk, chunk + got);
        }
    }

    socket_handle socket_;
    std::vector<uint8_t> pending_;
};

} // namespace

std::unique_ptr<usb_bus_watch> make_simulated_bus_watch(const std::string &endpoint,
                                                        std::string &error) {
    socket_id socket = no_socket;
    if (!connect_simulated_bus(endpoint, answer_limit_ms, socket)) {
        error = "cannot reach the simulated bus at " + endpoint;
        return nullptr;
    }
    auto watch = std::make_unique<simulated_bus_watch>(socket);
    if (!watch->start(error))
        return nullptr;
    return watch;
}

} // namespace vortlink::platform
