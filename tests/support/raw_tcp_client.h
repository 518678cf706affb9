#pragma once
// A plain TCP client of the simulator's command server, for tests that put their own bytes on
// the wire.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace vortlink::test {

// A connected stream socket that a test reads and writes byte for byte; the TCP and the HID
// socket clients are both this.
class raw_stream_client {
  public:
    using bytes = std::vector<uint8_t>;
    static constexpr std::chrono::milliseconds reply_limit{5000};
    // How long "nothing more arrives" is watched for; faults that hold bytes back hold them far
    // longer.
    static constexpr std::chrono::milliseconds quiet_period{300};

    ~raw_stream_client() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    raw_stream_client(const raw_stream_client &) = delete;
    raw_stream_client &operator=(const raw_stream_client &) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    // Every byte goes out, or the test fails.
    bool send(const bytes &data) {
        const bool sent = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) ==
                          static_cast<ssize_t>(data.size());
        EXPECT_TRUE(sent) << "short send";
        return sent;
    }

    // Up to `count` bytes: fewer when the peer closes or the limit passes first. Bytes already
    // waiting are taken even with no time left.
    bytes receive(std::size_t count, std::chrono::milliseconds limit = reply_limit) {
        using steady = std::chrono::steady_clock;
        bytes received;
        const steady::time_point deadline = steady::now() + limit;
        while (received.size() < count) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now());
            pollfd readable{fd_, POLLIN, 0};
            if (::poll(&readable, 1, static_cast<int>(std::max<long>(left.count(), 0))) <= 0)
                break;
            uint8_t chunk[512];
            const ssize_t got =
                ::recv(fd_, chunk, std::min(sizeof chunk, count - received.size()), 0);
            if (got <= 0) {
                closed_ = true;
                break;
            }
            received.insert(received.end(), chunk, chunk + got);
        }
        return received;
    }

    // True when no byte (and no close) arrives within `period`.
    bool quiet_for(std::chrono::milliseconds period = quiet_period) {
        pollfd readable{fd_, POLLIN, 0};
        return ::poll(&readable, 1, static_cast<int>(period.count())) == 0;
    }

    // True when the peer closes within the limit without sending anything first.
    bool closes_empty(std::chrono::milliseconds limit = reply_limit) {
        return receive(1, limit).empty() && closed_;
    }

  protected:
    // Endpoint is a sockaddr_in, sockaddr_un, ...
    template <class Endpoint> raw_stream_client(int domain, const Endpoint &endpoint) {
        fd_ = ::socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
        connected_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<const sockaddr *>(&endpoint),
                                           sizeof endpoint) == 0;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

class raw_tcp_client : public raw_stream_client {
  public:
    explicit raw_tcp_client(uint16_t port, const char *address = "127.0.0.1")
        : raw_stream_client(AF_INET, ipv4_endpoint(port, address)) {
        const int on = 1;
        if (connected())
            ::setsockopt(fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }

  private:
    static sockaddr_in ipv4_endpoint(uint16_t port, const char *address) {
        sockaddr_in endpoint{};
        endpoint.sin_family = AF_INET;
        endpoint.sin_port = htons(port);
        ::inet_pton(AF_INET, address, &endpoint.sin_addr);
        return endpoint;
    }
};

} // namespace vortlink::test
