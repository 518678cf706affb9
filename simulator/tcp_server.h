#pragma once
// The controller's TCP side: a stream server whose every client talks to the same device.

#include <string>

#include "connection_set.h"
#include "device.h"
#include "socket_io.h"
#include "tcp_frames.h"

namespace vortlink::sim {

class tcp_server final : public client_registry {
  public:
    // How long a burst for every client may wait on one client that does not read.
    static constexpr int broadcast_timeout_ms = 1000;

    tcp_server(device &target, const stop_signal &stop);

    // Returns 0 or an errno value.
    int open(const std::string &address, uint16_t port);
    uint16_t port() const { return port_; }
    int listener() const { return listener_.get(); }
    // Takes every waiting connection. Returns 0 or the errno value of a failed accept.
    int accept_waiting();
    // Ends every connection; the stop must have been raised.
    void close();
    // Ends the open connections and keeps listening, as when the controller restarts.
    void drop_clients();

    std::size_t open_clients() const override;
    std::size_t write_to_all(std::span<const uint8_t> bytes) override;

  private:
    void serve(connection &client);
    bool deliver(connection &client, const reply_plan &plan);

    device &device_;
    const stop_signal &stop_;
    unique_fd listener_;
    uint16_t port_ = 0;
    // Last, so that its threads are joined before anything they use goes away.
    connection_set connections_;
};

} // namespace vortlink::sim
