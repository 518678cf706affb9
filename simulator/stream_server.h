#pragma once
// What every server of the simulator does alike: listening sockets (IPv4 or unix), accepting
// their clients into one connection set, and reading each connection until it ends.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "connection_set.h"
#include "socket_io.h"

namespace vortlink::sim {

class stream_server {
  public:
    explicit stream_server(connection_set::serve_function serve);
    // Removes the socket files it made.
    ~stream_server();
    stream_server(const stream_server &) = delete;
    stream_server &operator=(const stream_server &) = delete;

    // Listens on address:port (0: any free port). Returns 0 or an errno value.
    int listen_tcp(const std::string &address, uint16_t port);
    // Listens at a unix socket path (see open_local_listener). Returns 0 or an errno value.
    int listen_local(const std::string &path);
    // The port of the last IPv4 listener, 0 without one.
    uint16_t tcp_port() const { return tcp_port_; }
    std::vector<int> listeners() const;
    // Takes every connection waiting on that listener. Returns 0 or the errno value of a
    // failed accept.
    int accept_waiting(int listener);
    // Ends every connection and every listener; the stop must have been raised.
    void close();
    connection_set &connections() { return connections_; }
    const connection_set &connections() const { return connections_; }

  private:
    struct listening_socket {
        unique_fd fd;
        int (*accept)(int listener, unique_fd &client);
        std::string path; // unix sockets only: removed at the end
    };
    void remove_socket_files();

    std::vector<listening_socket> listening_;
    uint16_t tcp_port_ = 0;
    // Last, so that its threads are joined before anything they use goes away.
    connection_set connections_;
};

// Reads a connection until the peer goes, the stop is raised, the socket fails or a handler
// says to end. Before every wait `prepare` runs and may shorten the wait (timeout_ms starts at
// -1: no limit); every arrival is appended to `pending`, and `take` consumes what it can of it.
// A handler that returns false ends the connection.
void read_connection(int fd, const stop_signal &stop, std::size_t chunk_size,
                     const std::function<bool(int &timeout_ms)> &prepare,
                     const std::function<bool(std::vector<uint8_t> &pending)> &take);

} // namespace vortlink::sim
