#include "core/platform/hid_backend.h"

#include "core/platform/clock.h"

#include <algorithm>
#include <cstdlib>
#include <map>
#include <mutex>

namespace vortlink::platform {

namespace {
struct budget_state {
    bool active = false;
    uint32_t start = 0;
    uint32_t budget = 0;
};
thread_local budget_state thread_budget;

uint32_t budget_left() {
    const uint32_t elapsed = monotonic_ms() - thread_budget.start;
    return elapsed >= thread_budget.budget ? 0 : thread_budget.budget - elapsed;
}
} // namespace

hid_request_budget::hid_request_budget(uint32_t budget_ms) {
    thread_budget = {true, monotonic_ms(), budget_ms};
}

hid_request_budget::~hid_request_budget() {
    thread_budget = {};
}

uint32_t hid_request_budget::clip(uint32_t limit_ms) {
    return thread_budget.active ? std::min(limit_ms, budget_left()) : limit_ms;
}

bool hid_request_budget::spent() const {
    return budget_left() == 0;
}

hid_backend &system_hid_backend() {
    // Backends are made on first use and kept for the life of the process: open devices may
    // refer to them. The variable is read at every call, so a program may set it after loading.
    static std::mutex guard;
    static std::unique_ptr<hid_backend> native;
    static std::map<std::string, std::unique_ptr<hid_backend>> simulated;
    std::lock_guard lock(guard);
    const char *socket_path = std::getenv("VORTLINK_HID_SIM");
    if (socket_path != nullptr && socket_path[0] != '\0') {
        std::unique_ptr<hid_backend> &backend = simulated[socket_path];
        if (!backend)
            backend = make_simulated_hid_backend(socket_path);
        return *backend;
    }
    if (!native)
        native = make_native_hid_backend();
    return *native;
}

} // namespace vortlink::platform
