#include "core/platform/hid_backend.h"

#include <cstdlib>
#include <mutex>

namespace vortlink::platform {

hid_backend &system_hid_backend() {
    // One backend per process, made on first use and kept: open devices refer to it.
    static std::mutex guard;
    static std::unique_ptr<hid_backend> hidraw;
    std::lock_guard lock(guard);
    if (!hidraw)
        hidraw = make_hidraw_backend("/sys", "/dev");
    return *hidraw;
}

} // namespace vortlink::platform
