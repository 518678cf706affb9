#pragma once
// The control port: line-based fault injection and inspection (see control.cpp), one thread per
// control connection.

#include "device.h"
#include "stream_server.h"

namespace vortlink::sim {

class control_server {
  public:
    control_server(device_list &devices, client_registry &clients, const stop_signal &stop);

    // Listens on 127.0.0.1 only. Returns 0 or an errno value.
    int open(uint16_t port) { return streams_.listen_tcp("127.0.0.1", port); }
    uint16_t port() const { return streams_.tcp_port(); }
    stream_server &streams() { return streams_; }

  private:
    void serve(connection &client);

    device_list &devices_;
    client_registry &clients_;
    const stop_signal &stop_;
    stream_server streams_;
};

} // namespace vortlink::sim
