// Where the simulated bus cannot be reached (its unix socket needs AF_UNIX), VORTLINK_HID_SIM
// gives a bus without devices: a search finds nothing (-10201) rather than real hardware.
#include "core/platform/hid_backend.h"

namespace vortlink::platform {

namespace {
class unreachable_bus final : public hid_backend {
  public:
    std::vector<std::string> list_devices() override { return {}; }
    std::unique_ptr<hid_device> open_device(const std::string &) override { return nullptr; }
};
} // namespace

std::unique_ptr<hid_backend> make_simulated_hid_backend(const std::string &) {
    return std::make_unique<unreachable_bus>();
}

} // namespace vortlink::platform
