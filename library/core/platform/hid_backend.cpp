#include "core/platform/hid_backend.h"

#include <cstdlib>
#include <map>
#include <mutex>

namespace vortlink::platform {

hid_backend &system_hid_backend() {
    // Backends are made on first use and kept for the life of the process: open devices may
    // refer to them. The variable is read at every call, so a program may set it after loading.
    static std::mutex guard;
    static std::unique_ptr<hid_backend> hidraw;
    static std::map<std::string, std::unique_ptr<hid_backend>> simulated;
    std::lock_guard lock(guard);
    const char *socket_path = std::getenv("VORTLINK_HID_SIM");
    if (socket_path != nullptr && socket_path[0] != '\0') {
        std::unique_ptr<hid_backend> &backend = simulated[socket_path];
        if (!backend)
            backend = make_simulated_hid_backend(socket_path);
        return *backend;
    }
    if (!hidraw)
        hidraw = make_hidraw_backend("/sys", "/dev");
    return *hidraw;
}

} // namespace vortlink::platform
