#pragma once
// Socket plumbing shared by the simulator's servers: a stop signal that every wait also watches,
// bounded writes, pauses that end early on stop, and listening sockets.

#include <cstdint>
#include <span>
#include <string>

#include "unique_fd.h"

namespace vortlink::sim {

// Raised once, when the process is asked to end. Its descriptor stays readable from then on, so
// any number of threads can watch it in poll.
class stop_signal {
  public:
    // Returns 0 or an errno value.
    int open();
    void raise() const;
    int fd() const { return event_.get(); }

  private:
    unique_fd event_;
};

enum class io_result { ok, stopped, closed, timed_out, failed };

// Waits until `fd` reports one of `events` or the stop is raised; timeout_ms < 0 waits without
// limit. POLLHUP and POLLERR count as ready: the next read or write tells what happened.
io_result wait_ready(int fd, short events, const stop_signal &stop, int timeout_ms);

// Waits as wait_ready does for bytes on a non-blocking socket and takes what is queued, at most
// size bytes, into buffer: ok with received > 0, closed when the peer has ended, timed_out when
// the wait ran out or nothing was there after all (the caller waits again), stopped, or failed
// on a socket error.
io_result receive_some(int fd, const stop_signal &stop, int timeout_ms, void *buffer,
                       std::size_t size, std::size_t &received);

// Writes every byte to a non-blocking socket within timeout_ms (< 0: no limit).
io_result send_all(int fd, std::span<const uint8_t> bytes, const stop_signal &stop, int timeout_ms);

// Lets `milliseconds` pass; false when the stop came first.
bool pause_unless_stopped(const stop_signal &stop, uint32_t milliseconds);

// A non-blocking, close-on-exec IPv4 stream socket listening on address:port (port 0: any free
// one). Returns 0 or an errno value (EINVAL for an address that is not dotted IPv4).
int open_listener(const std::string &address, uint16_t port, unique_fd &listener,
                  uint16_t &bound_port);

// A non-blocking, close-on-exec unix stream socket listening at `path`. A socket file left
// there by a process that is gone is replaced; EADDRINUSE when a listener still answers there,
// EEXIST when the path is something other than a socket, ENAMETOOLONG for a path that does not
// fit an address. Returns 0 or an errno value.
int open_local_listener(const std::string &path, unique_fd &listener);

// Accepts one waiting connection of a unix listener as a non-blocking, close-on-exec socket.
// Returns 0, EAGAIN when nobody is waiting, or an errno value.
int accept_local_client(int listener, unique_fd &client);

// Accepts one waiting connection as a non-blocking, close-on-exec socket with no-delay on, so
// each reply part leaves at once. Returns 0, EAGAIN when nobody is waiting, or an errno value.
int accept_client(int listener, unique_fd &client);

} // namespace vortlink::sim
