#include "core/platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/platform/clock.h"

namespace vortlink::platform {

namespace {
bool set_blocking(int fd, bool blocking) {
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

bool resolve_ipv4(const char *host, uint32_t &address) {
    if (host == nullptr)
        return false;
    in_addr parsed{};
    if (inet_pton(AF_INET, host, &parsed) == 1) {
        address = parsed.s_addr;
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *answers = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &answers) != 0 || answers == nullptr)
        return false;
    address = reinterpret_cast<const sockaddr_in *>(answers->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(answers);
    return true;
}

connect_result connect_ipv4(uint32_t address, uint16_t port, uint32_t timeout_ms, int &fd) {
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

void close_socket(int fd) {
    if (fd >= 0)
        close(fd);
}

bool send_all(int fd, const uint8_t *bytes, std::size_t count) {
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

wait_result wait_for_bytes(int fd, uint16_t count, uint32_t timeout_ms) {
    // With the low-water mark at the awaited count, poll() only wakes once the whole frame part
    // is queued (or the stream ended), so a partial arrival never turns the wait into a spin.
    const int low_water = count == 0 ? 1 : count;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &low_water, sizeof low_water) != 0)
        return wait_result::failed;
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

long peek_bytes(int fd, uint8_t *buffer, std::size_t count) {
    ssize_t peeked;
    do {
        peeked = recv(fd, buffer, count, MSG_PEEK | MSG_DONTWAIT);
    } while (peeked < 0 && errno == EINTR);
    return peeked;
}

long read_bytes(int fd, uint8_t *buffer, std::size_t count) {
    ssize_t taken;
    do {
        taken = recv(fd, buffer, count, MSG_DONTWAIT);
    } while (taken < 0 && errno == EINTR);
    return taken;
}

readable_result poll_readable(int fd) {
    const int low_water = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &low_water, sizeof low_water) != 0)
        return readable_result::failed;
    pollfd descriptor{fd, POLLIN, 0};
    const int ready = poll_until(descriptor, 0);
    if (ready < 0 || (descriptor.revents & (POLLERR | POLLNVAL)))
        return readable_result::failed;
    return ready == 0 ? readable_result::idle : readable_result::readable;
}

} // namespace vortlink::platform
