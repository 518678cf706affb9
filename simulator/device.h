#pragma once
// One simulated controller as its transports and the control port see it: the firmware model
// plus the test bench around it (queued faults, the log of received requests).

#include "controller.h"
#include "faults.h"

namespace vortlink::sim {

struct device {
    explicit device(const controller_settings &settings) : model(settings) {}

    controller model;
    fault_queue faults;
    frame_log frames;
};

// The open client connections of the transports, as the control port reaches them.
class client_registry {
  public:
    virtual ~client_registry() = default;
    virtual std::size_t open_clients() const = 0;
    // Writes the bytes to every open client at once; returns how many took all of them.
    virtual std::size_t write_to_all(std::span<const uint8_t> bytes) = 0;
};

} // namespace vortlink::sim
