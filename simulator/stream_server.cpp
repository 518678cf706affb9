#include "stream_server.h"

#include <unistd.h>

#include <algorithm>

namespace vortlink::sim {

stream_server::stream_server(connection_set::serve_function serve)
    : connections_(std::move(serve)) {}

stream_server::~stream_server() {
    remove_socket_files();
}

int stream_server::listen_tcp(const std::string &address, uint16_t port) {
    unique_fd listener;
    uint16_t bound_port = 0;
    if (const int error = open_listener(address, port, listener, bound_port); error != 0)
        return error;
    listening_.push_back({std::move(listener), accept_client, {}});
    tcp_port_ = bound_port;
    return 0;
}

int stream_server::listen_local(const std::string &path) {
    unique_fd listener;
    if (const int error = open_local_listener(path, listener); error != 0)
        return error;
    listening_.push_back({std::move(listener), accept_local_client, path});
    return 0;
}

std::vector<int> stream_server::listeners() const {
    std::vector<int> fds;
    for (const listening_socket &socket : listening_)
        fds.push_back(socket.fd.get());
    return fds;
}

int stream_server::accept_waiting(int listener) {
    const auto found = std::find_if(listening_.begin(), listening_.end(),
                                    [listener](const auto &socket) { return socket.fd.get() == listener; });
    return found == listening_.end() ? 0 : connections_.add_waiting(listener, found->accept);
}

void stream_server::close() {
    connections_.join_all();
    remove_socket_files();
    listening_.clear();
}

void stream_server::remove_socket_files() {
    for (listening_socket &socket : listening_)
        if (socket.fd.valid() && !socket.path.empty()) {
            ::unlink(socket.path.c_str());
            socket.path.clear();
        }
}

void read_connection(int fd, const stop_signal &stop, std::size_t chunk_size,
                     const std::function<bool(int &timeout_ms)> &prepare,
                     const std::function<bool(std::vector<uint8_t> &pending)> &take) {
    std::vector<uint8_t> pending;
    std::vector<uint8_t> chunk(chunk_size);
    for (;;) {
        int timeout_ms = -1;
        if (prepare && !prepare(timeout_ms))
            return;
        std::size_t received = 0;
        const io_result got = receive_some(fd, stop, timeout_ms, chunk.data(), chunk.size(), received);
        if (got == io_result::timed_out)
            continue;
        if (got != io_result::ok)
            return;
        pending.insert(pending.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(received));
        if (!take(pending))
            return;
    }
}

} // namespace vortlink::sim
