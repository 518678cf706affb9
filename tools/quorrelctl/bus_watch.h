#pragma once
// Learning that a USB HID device joined or left the bus, without polling: from the system's
// device events (udev on Linux, device notifications on Windows) for real controllers, from the simulated bus's notifications when
// VORTLINK_HID_SIM names a quorrel-sim bus. It says only that something changed; the caller
// looks at the bus again to see what.
//
// Part of quorrelctl rather than libvortlink.so, so that the library does not depend on libudev
// or on a window of its own.

#include <memory>
#include <string>

namespace vortlink::platform {

class usb_bus_watch {
  public:
    enum class outcome { changed, timed_out, failed };

    virtual ~usb_bus_watch() = default;
    // Blocks until a device joined or left the bus since the watch began or since the last call
    // returned changed, or until timeout_ms passed (negative: no limit). failed when the source
    // of events is gone.
    virtual outcome wait_for_change(int timeout_ms) = 0;
};

// HID devices as the system announces them: hidraw nodes from udev, or the HID device
// interfaces Windows notifies a window of. Null, with error saying why, when the system's
// events cannot be had.
std::unique_ptr<usb_bus_watch> make_device_bus_watch(std::string &error);
// The simulated bus of a quorrel-sim: its socket path, or tcp:HOST:PORT.
std::unique_ptr<usb_bus_watch> make_simulated_bus_watch(const std::string &endpoint,
                                                        std::string &error);
// The simulated bus when VORTLINK_HID_SIM is set and not empty, the system's events otherwise: the same choice
// the library's USB layer makes.
std::unique_ptr<usb_bus_watch> make_system_bus_watch(std::string &error);

} // namespace vortlink::platform
