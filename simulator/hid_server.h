#pragma once
// The simulated USB bus: a unix stream socket, a TCP port on 127.0.0.1, or both, on which the
// library's simulated HID backend lists the controllers and opens them (messages in
// hid_wire.h), one thread per connection.

#include <string>

#include "device.h"
#include "stream_server.h"
#include "usb_reports.h"

namespace vortlink::sim {

class hid_server {
  public:
    hid_server(device_list &devices, const usb_layout &layout, const stop_signal &stop);

    // Each returns 0 or an errno value (see open_local_listener).
    int open(const std::string &path) { return streams_.listen_local(path); }
    int open_tcp(uint16_t port) { return streams_.listen_tcp("127.0.0.1", port); }
    uint16_t tcp_port() const { return streams_.tcp_port(); }
    stream_server &streams() { return streams_; }

  private:
    void serve(connection &client);

    device_list &devices_;
    const usb_layout layout_;
    const stop_signal &stop_;
    // Last, so that its threads are joined before anything they use goes away.
    stream_server streams_;
};

} // namespace vortlink::sim
