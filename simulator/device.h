#pragma once
// One simulated controller as its transports and the control port see it: the firmware model
// plus the test bench around it (queued faults, the log of received requests) and its side of
// the simulated USB bus.

#include <memory>
#include <string>
#include <vector>

#include "controller.h"
#include "faults.h"
#include "usb_state.h"
#include "wire_model.h"

namespace vortlink::sim {

struct device {
    device(const controller_settings &settings, std::string usb_key, usb_identity identity,
           const wire_settings &timing = {})
        : model(settings), key(std::move(usb_key)), usb(std::move(identity)), wire(timing) {}

    controller model;
    // Faults for its next replies on any transport.
    fault_queue faults;
    // TCP request frames.
    frame_log frames;
    // Names the device on the HID socket; fixed for the life of the process, whatever its
    // serial number string becomes.
    const std::string key;
    usb_state usb;
    // How long its wires and its flash take (nothing unless the timing model is on).
    wire_clock wire;
};

// Controller 1 first; only it is served over TCP.
using device_list = std::vector<std::unique_ptr<device>>;

// The open client connections of the transports, as the control port reaches them.
class client_registry {
  public:
    virtual ~client_registry() = default;
    virtual std::size_t open_clients() const = 0;
    // Writes the bytes to every open client at once; returns how many took all of them.
    virtual std::size_t write_to_all(std::span<const uint8_t> bytes) = 0;
};

} // namespace vortlink::sim
