#pragma once
// Stream sockets: IPv4 for the TCP transport and the simulator's TCP bus, a local (unix) socket
// for the simulator's bus where the system has them. File descriptors on Linux, Winsock's SOCKET
// handles on Windows. socket_handle owns one.

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vortlink::platform {

#if defined(_WIN32)
using socket_id = std::uintptr_t; // SOCKET
inline constexpr socket_id no_socket = ~socket_id{0};
#else
using socket_id = int;
inline constexpr socket_id no_socket = -1;
#endif

// Starts the system's socket layer where it has one (Winsock, started at the first connect and
// again at every connect until a start succeeds); false when it cannot be started.
bool start_sockets();

// Dotted IPv4 address first, then a host-name lookup (first IPv4 answer). The address is
// returned in network byte order.
bool resolve_ipv4(const char *host, uint32_t &address);

enum class connect_result { connected, failed, configure_failed };

// Connects within timeout_ms, then sets TCP no-delay and the smallest send buffer so that
// request frames leave at once. On anything but `connected` the socket is already closed.
connect_result connect_ipv4(uint32_t address, uint16_t port, uint32_t timeout_ms, socket_id &fd);

void close_socket(socket_id fd);

// Owns a socket and closes it when it is replaced or the handle goes.
class socket_handle {
  public:
    constexpr socket_handle() = default;
    socket_handle(const socket_handle &) = delete;
    socket_handle &operator=(const socket_handle &) = delete;
    socket_handle(socket_handle &&other) noexcept : fd_(std::exchange(other.fd_, no_socket)) {}
    socket_handle &operator=(socket_handle &&other) noexcept {
        if (this != &other)
            reset(std::exchange(other.fd_, no_socket));
        return *this;
    }
    ~socket_handle() { close_socket(fd_); }

    socket_id get() const { return fd_; }
    bool valid() const { return fd_ != no_socket; }
    void reset(socket_id fd = no_socket) { close_socket(std::exchange(fd_, fd)); }

  private:
    socket_id fd_ = no_socket;
};

// Sends every byte, continuing after partial sends. False on a socket error.
bool send_all(socket_id fd, const uint8_t *bytes, std::size_t count);

// Connects to a local stream socket at `path` without waiting (taken at once or refused), and
// leaves it non-blocking. False where the system has no local sockets, or on any failure.
bool connect_local(const char *path, socket_id &fd);

// Sends what fits now without waiting: the number of bytes taken, 0 when there is no room, -1
// when the socket failed or the peer has gone.
long send_queued(socket_id fd, const uint8_t *bytes, std::size_t count);

enum class wait_result { ready, timed_out, closed, failed };

// Blocks until the socket has room for more bytes, has failed, or timeout_ms has passed.
wait_result wait_writable(socket_id fd, uint32_t timeout_ms);

// Sets the socket's receive low-water mark: poll() reports it readable only once that many bytes
// are queued (or the stream has ended).
bool set_low_water(socket_id fd, int bytes);

// Blocks until the socket is readable by its low-water mark, the peer has closed the connection,
// or timeout_ms has passed. Never takes bytes off the socket.
wait_result wait_readable(socket_id fd, uint32_t timeout_ms);

// Copies up to count queued bytes without removing them: the number copied, 0 when nothing is
// queued, -1 when the peer has closed with nothing queued or the socket failed.
long peek_queued(socket_id fd, uint8_t *buffer, std::size_t count);

// Takes up to count queued bytes off the socket without waiting: the number taken, 0 when nothing
// is queued, -1 when the peer has closed with nothing queued or the socket failed.
long take_queued(socket_id fd, uint8_t *buffer, std::size_t count);

} // namespace vortlink::platform
