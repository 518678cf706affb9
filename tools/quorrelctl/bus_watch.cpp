#include "bus_watch.h"

#include <cstdlib>

namespace vortlink::platform {

std::unique_ptr<usb_bus_watch> make_system_bus_watch(std::string &error) {
    const char *socket_path = std::getenv("VORTLINK_HID_SIM");
    if (socket_path != nullptr && socket_path[0] != '\0')
        return make_simulated_bus_watch(socket_path, error);
    return make_device_bus_watch(error);
}

} // namespace vortlink::platform
