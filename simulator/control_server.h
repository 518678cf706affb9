#pragma once
// The control port: line-based fault injection and inspection (see control.cpp), one thread per
// control connection.

#include "connection_set.h"
#include "device.h"
#include "socket_io.h"

namespace vortlink::sim {

class control_server {
  public:
    control_server(device_list &devices, client_registry &clients, const stop_signal &stop);

    // Listens on 127.0.0.1 only. Returns 0 or an errno value.
    int open(uint16_t port);
    uint16_t port() const { return port_; }
    int listener() const { return listener_.get(); }
    int accept_waiting();
    void close();

  private:
    void serve(connection &client);

    device_list &devices_;
    client_registry &clients_;
    const stop_signal &stop_;
    unique_fd listener_;
    uint16_t port_ = 0;
    connection_set connections_;
};

} // namespace vortlink::sim
