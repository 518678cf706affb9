// Local sockets and the non-blocking send, on POSIX sockets.

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "core/platform/clock.h"
#include "core/platform/socket.h"

namespace vortlink::platform {

bool connect_local(const char *path, socket_id &fd) {
    fd = no_socket;
    sockaddr_un endpoint{};
    endpoint.sun_family = AF_UNIX;
    const std::size_t length = path == nullptr ? 0 : std::strlen(path);
    if (length == 0 || length >= sizeof endpoint.sun_path)
        return false;
    std::memcpy(endpoint.sun_path, path, length);
    const int candidate = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (candidate < 0)
        return false;
    // A local connect never waits: it is taken at once or refused (EAGAIN when the listener's
    // backlog is full).
    int connected = -1;
    do {
        connected = ::connect(candidate, reinterpret_cast<const sockaddr *>(&endpoint),
                              sizeof endpoint);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) {
        close_socket(candidate);
        return false;
    }
    fd = candidate;
    return true;
}

long send_queued(socket_id fd, const uint8_t *bytes, std::size_t count) {
    for (;;) {
        const ssize_t written = ::send(fd, bytes, count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (written >= 0)
            return written;
        if (errno == EINTR)
            continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

wait_result wait_writable(socket_id fd, uint32_t timeout_ms) {
    const uint32_t start = monotonic_ms();
    for (;;) {
        const uint32_t elapsed = monotonic_ms() - start;
        pollfd descriptor{fd, POLLOUT, 0};
        const uint32_t left = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
        const int ready = ::poll(&descriptor, 1, static_cast<int>(std::min<uint32_t>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || (descriptor.revents & (POLLERR | POLLNVAL)) != 0)
            return wait_result::failed;
        if (ready == 0)
            return wait_result::timed_out;
        if ((descriptor.revents & POLLHUP) != 0)
            return wait_result::closed;
        return wait_result::ready;
    }
}

} // namespace vortlink::platform
