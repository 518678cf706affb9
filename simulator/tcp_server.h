#pragma once
// The controller's TCP side: a stream server whose every client talks to the same device.

#include <string>

#include "device.h"
#include "stream_server.h"
#include "tcp_frames.h"

namespace vortlink::sim {

class tcp_server final : public client_registry {
  public:
    // How long a burst for every client may wait on one client that does not read.
    static constexpr int broadcast_timeout_ms = 1000;

    tcp_server(device &target, const stop_signal &stop);

    // Returns 0 or an errno value.
    int open(const std::string &address, uint16_t port) {
        return streams_.listen_tcp(address, port);
    }
    uint16_t port() const { return streams_.tcp_port(); }
    stream_server &streams() { return streams_; }
    // Ends the open connections and keeps listening, as when the controller restarts.
    void drop_clients();

    std::size_t open_clients() const override;
    std::size_t write_to_all(std::span<const uint8_t> bytes) override;

  private:
    void serve(connection &client);
    bool deliver(connection &client, const reply_plan &plan);

    device &device_;
    const stop_signal &stop_;
    // Last, so that its threads are joined before anything they use goes away.
    stream_server streams_;
};

} // namespace vortlink::sim
