#pragma once
// Where the simulated USB bus of a running quorrel-sim is, as VORTLINK_HID_SIM names it: the
// path of its unix socket, or "tcp:HOST:PORT" for the bus it serves over TCP (the only form on
// systems without unix sockets).

#include <cstdint>
#include <string>

#include "core/platform/socket.h"

namespace vortlink::platform {

// Connects to the bus within timeout_ms. False when the endpoint is malformed or nobody answers
// there; fd is then no_socket.
bool connect_simulated_bus(const std::string &endpoint, uint32_t timeout_ms, socket_id &fd);

} // namespace vortlink::platform
