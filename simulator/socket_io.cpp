#include "socket_io.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

namespace vortlink::sim {

namespace {

using steady = std::chrono::steady_clock;

constexpr int listen_backlog = 64;

// Milliseconds left until the deadline, for poll; -1 without one.
int remaining_ms(bool limited, steady::time_point deadline) {
    if (!limited)
        return -1;
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now()).count();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

} // namespace

int stop_signal::open() {
    event_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return event_.valid() ? 0 : errno;
}

void stop_signal::raise() const {
    const uint64_t one = 1;
    // Only the first write matters; a full counter still leaves the descriptor readable.
    (void)!::write(event_.get(), &one, sizeof one);
}

io_result wait_ready(int fd, short events, const stop_signal &stop, int timeout_ms) {
    const bool limited = timeout_ms >= 0;
    const steady::time_point deadline =
        steady::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
    for (;;) {
        pollfd watched[2] = {{stop.fd(), POLLIN, 0}, {fd, events, 0}};
        const int ready = ::poll(watched, 2, remaining_ms(limited, deadline));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return io_result::failed;
        }
        if (watched[0].revents != 0)
            return io_result::stopped;
        if (watched[1].revents != 0)
            return io_result::ok;
        if (limited && steady::now() >= deadline)
            return io_result::timed_out;
    }
}

io_result receive_some(int fd, const stop_signal &stop, int timeout_ms, void *buffer,
                       std::size_t size, std::size_t &received) {
    received = 0;
    if (const io_result ready = wait_ready(fd, POLLIN, stop, timeout_ms); ready != io_result::ok)
        return ready;
    const ssize_t got = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (got > 0) {
        received = static_cast<std::size_t>(got);
        return io_result::ok;
    }
    if (got == 0)
        return io_result::closed;
    return errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK ? io_result::timed_out
                                                                     : io_result::failed;
}

io_result send_all(int fd, std::span<const uint8_t> bytes, const stop_signal &stop,
                   int timeout_ms) {
    const bool limited = timeout_ms >= 0;
    const steady::time_point deadline =
        steady::now() + std::chrono::milliseconds(limited ? timeout_ms : 0);
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(sent));
            continue;
        }
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return errno == EPIPE || errno == ECONNRESET ? io_result::closed : io_result::failed;
        const int left = remaining_ms(limited, deadline);
        if (left == 0)
            return io_result::timed_out;
        const io_result ready = wait_ready(fd, POLLOUT, stop, left);
        if (ready != io_result::ok)
            return ready;
    }
    return io_result::ok;
}

bool pause_unless_stopped(const stop_signal &stop, uint32_t milliseconds) {
    const steady::time_point deadline = steady::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        pollfd watched{stop.fd(), POLLIN, 0};
        const int ready = ::poll(&watched, 1, remaining_ms(true, deadline));
        if (ready > 0)
            return false;
        if (ready < 0 && errno != EINTR)
            return false;
        if (steady::now() >= deadline)
            return true;
    }
}

int open_listener(const std::string &address, uint16_t port, unique_fd &listener,
                  uint16_t &bound_port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1)
        return EINVAL;
    unique_fd socket_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket_fd.valid())
        return errno;
    const int on = 1;
    if (::setsockopt(socket_fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return errno;
    if (::bind(socket_fd.get(), reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint) !=
        0)
        return errno;
    if (::listen(socket_fd.get(), listen_backlog) != 0)
        return errno;
    sockaddr_in bound{};
    socklen_t bound_size = sizeof bound;
    if (::getsockname(socket_fd.get(), reinterpret_cast<sockaddr *>(&bound), &bound_size) != 0)
        return errno;
    bound_port = ntohs(bound.sin_port);
    listener = std::move(socket_fd);
    return 0;
}

int open_local_listener(const std::string &path, unique_fd &listener) {
    sockaddr_un endpoint{};
    endpoint.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof endpoint.sun_path)
        return ENAMETOOLONG;
    std::memcpy(endpoint.sun_path, path.c_str(), path.size() + 1);
    const auto *address = reinterpret_cast<const sockaddr *>(&endpoint);

    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return EEXIST;
        // A socket nobody listens on any more is stale; a live one belongs to someone else.
        unique_fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!probe.valid())
            return errno;
        if (::connect(probe.get(), address, sizeof endpoint) == 0 || errno == EAGAIN)
            return EADDRINUSE;
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return errno;
    }
    unique_fd socket_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!socket_fd.valid())
        return errno;
    if (::bind(socket_fd.get(), address, sizeof endpoint) != 0)
        return errno;
    if (::listen(socket_fd.get(), listen_backlog) != 0)
        return errno;
    listener = std::move(socket_fd);
    return 0;
}

int accept_local_client(int listener, unique_fd &client) {
    for (;;) {
        unique_fd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (accepted.valid()) {
            client = std::move(accepted);
            return 0;
        }
        if (errno == EINTR)
            continue;
        if (errno == ECONNABORTED || errno == EWOULDBLOCK)
            return EAGAIN;
        return errno;
    }
}

int accept_client(int listener, unique_fd &client) {
    for (;;) {
        unique_fd accepted(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!accepted.valid()) {
            if (errno == EINTR)
                continue;
            // A connection reset before it was taken is not the listener's failure.
            if (errno == ECONNABORTED || errno == EWOULDBLOCK)
                return EAGAIN;
            return errno;
        }
        const int on = 1;
        if (::setsockopt(accepted.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
            return errno;
        client = std::move(accepted);
        return 0;
    }
}

} // namespace vortlink::sim
