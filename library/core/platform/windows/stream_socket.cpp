// The simulated bus's non-blocking sends on Winsock. Windows programs have no local sockets
// here (Wine has no AF_UNIX): the bus is reached over TCP only.
#include "core/platform/socket.h"

#include <winsock2.h>

namespace vortlink::platform {

bool connect_local(const char *, socket_id &fd) {
    fd = no_socket;
    return false;
}

long send_queued(socket_id fd, const uint8_t *bytes, std::size_t count) {
    // One call that takes what fits: the socket is made non-blocking for it and blocking again.
    const auto socket = static_cast<SOCKET>(fd);
    u_long non_blocking = 1;
    if (ioctlsocket(socket, FIONBIO, &non_blocking) != 0)
        return -1;
    const int chunk = count > 0x10000 ? 0x10000 : static_cast<int>(count);
    const int written = send(socket, reinterpret_cast<const char *>(bytes), chunk, 0);
    const int error = written == SOCKET_ERROR ? WSAGetLastError() : 0;
    u_long blocking = 0;
    if (ioctlsocket(socket, FIONBIO, &blocking) != 0)
        return -1;
    if (written >= 0)
        return written;
    return error == WSAEWOULDBLOCK ? 0 : -1;
}

wait_result wait_writable(socket_id fd, uint32_t timeout_ms) {
    WSAPOLLFD descriptor{static_cast<SOCKET>(fd), POLLWRNORM, 0};
    const int ready = WSAPoll(&descriptor, 1, static_cast<INT>(timeout_ms > 0x7FFFFFFF ? 0x7FFFFFFF : timeout_ms));
    if (ready < 0 || (descriptor.revents & (POLLERR | POLLNVAL)) != 0)
        return wait_result::failed;
    if (ready == 0)
        return wait_result::timed_out;
    if ((descriptor.revents & POLLHUP) != 0)
        return wait_result::closed;
    return wait_result::ready;
}

} // namespace vortlink::platform
