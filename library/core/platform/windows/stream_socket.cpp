// Local sockets and the non-blocking send on Winsock 2. The simulated bus is reached over TCP
// here: the system has no local stream sockets that its emulators (Wine) carry.

#include <winsock2.h>

#include "core/platform/socket.h"

namespace vortlink::platform {

namespace {

SOCKET native(socket_id fd) {
    return static_cast<SOCKET>(fd);
}

bool set_non_blocking(socket_id fd, bool non_blocking) {
    u_long mode = non_blocking ? 1 : 0;
    return ::ioctlsocket(native(fd), FIONBIO, &mode) == 0;
}

} // namespace

bool connect_local(const char *, socket_id &fd) {
    fd = no_socket;
    return false;
}

long send_queued(socket_id fd, const uint8_t *bytes, std::size_t count) {
    // The socket blocks for every other use; it takes what fits now and goes back.
    if (!set_non_blocking(fd, true))
        return -1;
    const int length = count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(count);
    const int written = ::send(native(fd), reinterpret_cast<const char *>(bytes), length, 0);
    const int error = ::WSAGetLastError();
    if (!set_non_blocking(fd, false))
        return -1;
    if (written >= 0)
        return written;
    return error == WSAEWOULDBLOCK ? 0 : -1;
}

wait_result wait_writable(socket_id fd, uint32_t timeout_ms) {
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(native(fd), &writable);
    FD_SET(native(fd), &failed);
    timeval limit{static_cast<long>(timeout_ms / 1000), static_cast<long>(timeout_ms % 1000) * 1000};
    const int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready < 0 || FD_ISSET(native(fd), &failed))
        return wait_result::failed;
    return ready == 0 ? wait_result::timed_out : wait_result::ready;
}

} // namespace vortlink::platform
