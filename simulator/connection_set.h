#pragma once
// The open connections of one listener, each served by a thread of its own so that a slow or
// dead client never holds up another.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

#include "socket_io.h"

namespace vortlink::sim {

struct connection {
    explicit connection(unique_fd socket) : fd(std::move(socket)) {}

    unique_fd fd;
    // One writer at a time on the socket: the connection's own replies or a burst that the
    // control port sends to every client.
    std::mutex write_mutex;
    std::thread thread;
    bool open = true;      // guarded by the set's mutex
    bool finished = false; // likewise; the thread may be joined
};

class connection_set {
  public:
    // Serves one connection until it ends (the client went, a fault closes it, or the stop is
    // raised); the set then closes the socket.
    using serve_function = std::function<void(connection &)>;

    explicit connection_set(serve_function serve);
    ~connection_set();
    connection_set(const connection_set &) = delete;
    connection_set &operator=(const connection_set &) = delete;

    // Starts serving the socket. Returns 0 or an errno value (the socket is then closed).
    int add(unique_fd socket);
    // Accepts every client waiting on the non-blocking listener with `accept` and serves each.
    // A client whose thread cannot start is closed at once; it sees the connection end. Returns
    // 0 once none is waiting, or the errno value of a failed accept.
    int add_waiting(int listener, int (*accept)(int listener, unique_fd &client));
    std::size_t open_count() const;
    std::size_t write_to_all(std::span<const uint8_t> bytes, const stop_signal &stop,
                             int timeout_ms);
    // Shuts every open connection down at once; each thread then sees its client gone.
    void shut_down_all();
    // Waits for every thread; the stop must have been raised, or their clients gone.
    void join_all();

  private:
    void run(const std::shared_ptr<connection> &client);
    void join_finished();

    serve_function serve_;
    mutable std::mutex mutex_;
    std::list<std::shared_ptr<connection>> connections_;
};

} // namespace vortlink::sim
