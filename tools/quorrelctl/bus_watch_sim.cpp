// The simulated bus's notifications: a connection to quorrel-sim's HID socket that asked to
// watch the bus (message 0x09) gets a message 0x91 with the new device list whenever a
// controller leaves or joins it. The messages are framed as on every connection of that socket:
// u16 length (big-endian; type byte plus payload), type byte, payload.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bus_watch.h"
#include <unistd.h>

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
    explicit simulated_bus_watch(int socket) : socket_(socket) {}
    ~simulated_bus_watch() override { ::close(socket_); }
    simulated_bus_watch(const simulated_bus_watch &) = delete;
    simulated_bus_watch &operator=(const simulated_bus_watch &) = delete;

    // Sends the watch request and takes its response.
    bool start(std::string &error) {
        const uint8_t request[] = {0, 1, watch_bus};
        if (::send(socket_, request, sizeof request, MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sizeof request)) {
            error = std::string("the simulated bus did not take the watch: ") + std::strerror(errno);
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
            int wait = -1;
            if (timeout_ms >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
                wait = left > 0 ? static_cast<int>(left) : 0;
            }
            pollfd watched{socket_, POLLIN, 0};
            const int ready = ::poll(&watched, 1, wait);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0)
                return outcome::failed;
            if (ready == 0)
                return outcome::timed_out;
            uint8_t chunk[1024];
            const ssize_t got = ::recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (got <= 0)
                return outcome::failed;
            pending_.insert(pending_.end(), chunk, chunk + got);
        }
    }

    int socket_;
    std::vector<uint8_t> pending_;
};

} // namespace

std::unique_ptr<usb_bus_watch> make_simulated_bus_watch(const std::string &socket_path,
                                                        std::string &error) {
    sockaddr_un endpoint{};
    endpoint.sun_family = AF_UNIX;
    if (socket_path.empty() || socket_path.size() >= sizeof endpoint.sun_path) {
        error = "not a socket path: " + socket_path;
        return nullptr;
    }
    std::memcpy(endpoint.sun_path, socket_path.data(), socket_path.size());
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return nullptr;
    }
    // Owned from here on: the watch closes it whatever happens next.
    auto watch = std::make_unique<simulated_bus_watch>(socket);
    if (::connect(socket, reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint) != 0) {
        error = "cannot reach the simulated bus at " + socket_path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!watch->start(error))
        return nullptr;
    return watch;
}

} // namespace vortlink::platform
