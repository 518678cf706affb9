// Device events from udev's monitor: hidraw nodes added and removed. udev announces a node after
// its rules ran, so a controller it reports can be opened at once.

#include <libudev.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "bus_watch.h"

namespace vortlink::platform {

namespace {

class udev_bus_watch final : public usb_bus_watch {
  public:
    udev_bus_watch(udev *context, udev_monitor *monitor) : context_(context), monitor_(monitor) {}
    ~udev_bus_watch() override {
        udev_monitor_unref(monitor_);
        udev_unref(context_);
    }
    udev_bus_watch(const udev_bus_watch &) = delete;
    udev_bus_watch &operator=(const udev_bus_watch &) = delete;

    outcome wait_for_change(int timeout_ms) override {
        using clock = std::chrono::steady_clock;
        const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            int wait = -1;
            if (timeout_ms >= 0) {
                const auto left =
                    std::chrono::ceil<std::chrono::milliseconds>(deadline - clock::now()).count();
                wait = left > 0 ? static_cast<int>(left) : 0;
            }
            pollfd watched{udev_monitor_get_fd(monitor_), POLLIN, 0};
            const int ready = ::poll(&watched, 1, wait);
            if (ready < 0 && errno == EINTR)
                continue;
            if (ready < 0 || (watched.revents & (POLLERR | POLLNVAL)) != 0)
                return outcome::failed;
            if (ready == 0)
                return outcome::timed_out;
            bool changed = false;
            while (udev_device *device = udev_monitor_receive_device(monitor_)) {
                const char *action = udev_device_get_action(device);
                if (action != nullptr &&
                    (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
                    changed = true;
                udev_device_unref(device);
            }
            if (changed)
                return outcome::changed;
        }
    }

  private:
    udev *context_;
    udev_monitor *monitor_;
};

} // namespace

std::unique_ptr<usb_bus_watch> make_device_bus_watch(std::string &error) {
    udev *context = udev_new();
    if (context == nullptr) {
        error = "udev is not available";
        return nullptr;
    }
    udev_monitor *monitor = udev_monitor_new_from_netlink(context, "udev");
    if (monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(monitor, "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor) < 0) {
        error = std::string("udev's device events cannot be received: ") + std::strerror(errno);
        if (monitor != nullptr)
            udev_monitor_unref(monitor);
        udev_unref(context);
        return nullptr;
    }
    return std::make_unique<udev_bus_watch>(context, monitor);
}

} // namespace vortlink::platform
