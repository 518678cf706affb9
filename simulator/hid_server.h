#pragma once
// The simulated USB bus: a unix stream socket on which the library's simulated HID backend lists
// the controllers and opens them (messages in hid_wire.h), one thread per connection.

#include <string>

#include "connection_set.h"
#include "device.h"
#include "socket_io.h"
#include "usb_reports.h"

namespace vortlink::sim {

class hid_server {
  public:
    hid_server(device_list &devices, const usb_layout &layout, const stop_signal &stop);
    ~hid_server();
    hid_server(const hid_server &) = delete;
    hid_server &operator=(const hid_server &) = delete;

    // Returns 0 or an errno value (see open_local_listener).
    int open(const std::string &path);
    int listener() const { return listener_.get(); }
    int accept_waiting();
    // Ends every connection and removes the socket file; the stop must have been raised.
    void close();

  private:
    void serve(connection &client);

    device_list &devices_;
    const usb_layout layout_;
    const stop_signal &stop_;
    unique_fd listener_;
    std::string path_;
    connection_set connections_;
};

} // namespace vortlink::sim
