#include "core/platform/socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <map>
#include <mutex>

#include "core/platform/clock.h"

namespace vortlink::platform {

namespace {
// Winsock is started at the first connect, never from the load hook (WSAStartup may not run
// under the loader lock), and started again at every connect until one start succeeds.
bool winsock_started() {
    static std::mutex guard;
    static bool started = false;
    const std::lock_guard lock(guard);
    if (started)
        return true;
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
        started = true;
        return true;
    }
    MessageBoxA(nullptr, "WSAStartup failed", "Quorrel TCP Error", MB_OK);
    return false;
}

SOCKET native(socket_id fd) {
    return static_cast<SOCKET>(fd);
}

// Winsock has no receive low-water mark: the count a wait needs is kept here, per socket.
std::mutex low_water_guard;
std::map<socket_id, int> low_water_of;

int low_water(socket_id fd) {
    const std::lock_guard lock(low_water_guard);
    const auto found = low_water_of.find(fd);
    return found == low_water_of.end() ? 1 : found->second;
}

// WSAPoll for one socket, resumed with the time that is left.
int poll_for(socket_id fd, short events, uint32_t timeout_ms, short &revents) {
    WSAPOLLFD descriptor{native(fd), events, 0};
    const int ready = WSAPoll(&descriptor, 1, static_cast<INT>(timeout_ms));
    revents = descriptor.revents;
    return ready;
}

long receive_queued(socket_id fd, uint8_t *buffer, std::size_t count, int flags) {
    u_long queued = 0;
    if (ioctlsocket(native(fd), FIONREAD, &queued) != 0)
        return -1;
    if (queued == 0) {
        // Nothing queued: either nothing has come, or the peer closed (a zero-wait poll tells).
        short revents = 0;
        const int ready = poll_for(fd, POLLRDNORM, 0, revents);
        if (ready < 0 || (revents & (POLLERR | POLLNVAL)) != 0)
            return -1;
        if ((revents & POLLHUP) != 0)
            return -1;
        if ((revents & POLLRDNORM) == 0)
            return 0;
        char probe = 0;
        return recv(native(fd), &probe, 1, MSG_PEEK) == 0 ? -1 : 0;
    }
    const int wanted = count < queued ? static_cast<int>(count) : static_cast<int>(queued);
    const int got = recv(native(fd), reinterpret_cast<char *>(buffer), wanted, flags);
    return got > 0 ? got : -1;
}
} // namespace

bool start_sockets() {
    return winsock_started();
}

connect_result connect_ipv4(uint32_t address, uint16_t port, uint32_t timeout_ms, socket_id &fd) {
    fd = no_socket;
    if (!winsock_started())
        return connect_result::failed;
    const SOCKET candidate = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (candidate == INVALID_SOCKET)
        return connect_result::failed;

    // Non-blocking while connecting, so that an address that never answers costs the time-out.
    u_long non_blocking = 1;
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(port);
    endpoint.sin_addr.s_addr = address;
    bool connected = ioctlsocket(candidate, FIONBIO, &non_blocking) == 0;
    if (connected &&
        connect(candidate, reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint) != 0) {
        connected = false;
        if (WSAGetLastError() == WSAEWOULDBLOCK) {
            short revents = 0;
            int error = 0;
            int length = sizeof error;
            connected = poll_for(candidate, POLLWRNORM, timeout_ms, revents) == 1 &&
                        (revents & POLLWRNORM) != 0 &&
                        getsockopt(candidate, SOL_SOCKET, SO_ERROR,
                                   reinterpret_cast<char *>(&error), &length) == 0 &&
                        error == 0;
        }
    }
    u_long blocking = 0;
    if (!connected || ioctlsocket(candidate, FIONBIO, &blocking) != 0) {
        closesocket(candidate);
        return connect_result::failed;
    }

    const BOOL no_delay = TRUE;
    const int send_buffer = 0;
    if (setsockopt(candidate, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&no_delay),
                   sizeof no_delay) != 0 ||
        setsockopt(candidate, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&send_buffer),
                   sizeof send_buffer) != 0) {
        closesocket(candidate);
        return connect_result::configure_failed;
    }
    fd = static_cast<socket_id>(candidate);
    return connect_result::connected;
}

void close_socket(socket_id fd) {
    if (fd == no_socket)
        return;
    {
        const std::lock_guard lock(low_water_guard);
        low_water_of.erase(fd);
    }
    closesocket(native(fd));
}

bool send_all(socket_id fd, const uint8_t *bytes, std::size_t count) {
    std::size_t sent = 0;
    while (sent < count) {
        const std::size_t left = count - sent;
        const int chunk = left > 0x10000 ? 0x10000 : static_cast<int>(left);
        const int accepted = send(native(fd), reinterpret_cast<const char *>(bytes + sent), chunk, 0);
        if (accepted == SOCKET_ERROR || accepted == 0)
            return false;
        sent += static_cast<std::size_t>(accepted);
    }
    return true;
}

bool set_low_water(socket_id fd, int bytes) {
    if (bytes < 1)
        return false;
    const std::lock_guard lock(low_water_guard);
    low_water_of[fd] = bytes;
    return true;
}

wait_result wait_readable(socket_id fd, uint32_t timeout_ms) {
    // Poll for the first byte, then peek at how many have come: while a frame is only partly
    // there the wait sleeps a millisecond between looks instead of spinning on a socket that
    // stays readable.
    const std::size_t wanted = static_cast<std::size_t>(low_water(fd));
    const uint32_t start = monotonic_ms();
    for (;;) {
        const uint32_t elapsed = monotonic_ms() - start;
        const uint32_t left = elapsed >= timeout_ms ? 0 : timeout_ms - elapsed;
        short revents = 0;
        const int ready = poll_for(fd, POLLRDNORM, left, revents);
        if (ready < 0 || (revents & (POLLERR | POLLNVAL)) != 0)
            return wait_result::failed;
        if (ready == 0)
            return wait_result::timed_out;
        if ((revents & POLLHUP) != 0)
            return wait_result::closed;
        u_long queued = 0;
        if (ioctlsocket(native(fd), FIONREAD, &queued) != 0)
            return wait_result::failed;
        if (queued >= wanted)
            return wait_result::ready;
        if (queued == 0) {
            // Readable with nothing queued: the peer has closed the stream.
            char probe = 0;
            if (recv(native(fd), &probe, 1, MSG_PEEK) <= 0)
                return wait_result::closed;
        }
        if (left == 0)
            return wait_result::timed_out;
        Sleep(1);
    }
}

long peek_queued(socket_id fd, uint8_t *buffer, std::size_t count) {
    return receive_queued(fd, buffer, count, MSG_PEEK);
}

long take_queued(socket_id fd, uint8_t *buffer, std::size_t count) {
    return receive_queued(fd, buffer, count, 0);
}

} // namespace vortlink::platform
