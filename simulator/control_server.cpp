#include "control_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "control.h"

namespace vortlink::sim {

control_server::control_server(device_list &devices, client_registry &clients,
                               const stop_signal &stop)
    : devices_(devices), clients_(clients), stop_(stop),
      connections_([this](connection &client) { serve(client); }) {}

int control_server::open(uint16_t port) {
    return open_listener("127.0.0.1", port, listener_, port_);
}

int control_server::accept_waiting() {
    return connections_.add_waiting(listener_.get(), accept_client);
}

void control_server::close() {
    connections_.join_all();
    listener_.reset();
}

void control_server::serve(connection &client) {
    const int fd = client.fd.get();
    std::string pending;
    // Set while the rest of an over-long line is thrown away.
    bool skipping = false;
    char chunk[4096];
    for (;;) {
        std::size_t line_end = 0;
        while ((line_end = pending.find('\n')) != std::string::npos) {
            std::string_view line(pending.data(), line_end);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            std::string reply =
                skipping ? std::string() : run_control_command(line, devices_, clients_) + '\n';
            skipping = false;
            pending.erase(0, line_end + 1);
            if (!reply.empty() &&
                send_all(fd, {reinterpret_cast<const uint8_t *>(reply.data()), reply.size()}, stop_,
                         -1) != io_result::ok)
                return;
        }
        if (pending.size() > control_line_limit + 1) {
            pending.clear();
            if (!skipping) {
                skipping = true;
                static constexpr std::string_view too_long = "error line too long\n";
                if (send_all(fd,
                             {reinterpret_cast<const uint8_t *>(too_long.data()), too_long.size()},
                             stop_, -1) != io_result::ok)
                    return;
            }
        }
        std::size_t received = 0;
        const io_result got = receive_some(fd, stop_, -1, chunk, sizeof chunk, received);
        if (got == io_result::timed_out)
            continue;
        if (got != io_result::ok)
            return;
        pending.append(chunk, received);
    }
}

} // namespace vortlink::sim
