#include "core/platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/platform/clock.h"

namespace vortlink::platform {

namespace {
bool set_blocking(socket_id fd, bool blocking) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, wanted) == 0;
}

// poll() that resumes after signals with the time that is left.
int poll_until(pollfd &descriptor, uint32_t timeout_ms) {
    const uint32_t start = monotonic_ms();
    for (;;) {
        const uint32_t elapsed = monotonic_ms() - start;
        const uint32_t left = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
        const int ready = poll(&descriptor, 1, static_cast<int>(left));
        if (ready >= 0 || errno != EINTR)
            return ready;
    }
}
} // namespace

bool start_sockets() {
    return true; // POSIX sockets need no start-up step
}

connect_result connect_ipv4(uint32_t address, uint16_t port, uint32_t timeout_ms, socket_id &fd) {
    fd = no_socket;
    const int candidate = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (candidate < 0)
        return connect_result::failed;

    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr.s_addr = address;
    bool connected = connect(candidate, reinterpret_cast<const sockaddr *>(&endpoint),
                             sizeof endpoint) == 0;
    if (!connected && errno == EINPROGRESS) {
        pollfd descriptor{candidate, POLLOUT, 0};
        int error = 0;
        socklen_t length = sizeof error;
        connected = poll_until(descriptor, timeout_ms) == 1 &&
                    getsockopt(candidate, SOL_SOCKET, SO_ERROR, &error, &length) == 0 &&
                    error == 0;
    }
    if (!connected || !set_blocking(candidate, true)) {
        close(candidate);
        return connect_result::failed;
    }

    const int no_delay = 1;
    const int send_buffer = 0;
    if (setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof no_delay) != 0 ||
        setsockopt(candidate, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer) != 0) {
        close(candidate);
        return connect_result::configure_failed;
    }
    fd = candidate;
    return connect_result::connected;
}

void close_socket(socket_id fd) {
    if (fd >= 0)
        close(fd);
}

bool send_all(socket_id fd, const uint8_t *bytes, std::size_t count) {
    std::size_t sent = 0;
    while (sent < count) {
        const ssize_t accepted = send(fd, bytes + sent, count - sent, MSG_NOSIGNAL);
        if (accepted < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        sent += static_cast<std::size_t>(accepted);
    }
    return true;
}

bool set_low_water(socket_id fd, int bytes) {
    return setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &bytes, sizeof bytes) == 0;
}

wait_result wait_readable(socket_id fd, uint32_t timeout_ms) {
    pollfd descriptor{fd, POLLIN | POLLRDHUP, 0};
    const int ready = poll_until(descriptor, timeout_ms);
    if (ready < 0)
        return wait_result::failed;
    if (ready == 0)
        return wait_result::timed_out;
    if (descriptor.revents & (POLLERR | POLLNVAL))
        return wait_result::failed;
    if (descriptor.revents & (POLLRDHUP | POLLHUP))
        return wait_result::closed;
    return wait_result::ready;
}

namespace {
long receive_queued(socket_id fd, uint8_t *buffer, std::size_t count, int flags) {
    for (;;) {
        const ssize_t got = recv(fd, buffer, count, flags | MSG_DONTWAIT);
        if (got > 0)
            return got;
        if (got == 0)
            return -1; // end of stream
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}
} // namespace

long peek_queued(socket_id fd, uint8_t *buffer, std::size_t count) {
    return receive_queued(fd, buffer, count, MSG_PEEK);
}

long take_queued(socket_id fd, uint8_t *buffer, std::size_t count) {
    return receive_queued(fd, buffer, count, 0);
}

} // namespace vortlink::platform
