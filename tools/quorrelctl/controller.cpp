#include "controller.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "output.h"

namespace vortlink::ctl {

namespace {
constexpr std::chrono::milliseconds reset_retry{loader::usb_reset_retry_ms};
} // namespace

std::string transport_name(const controller_choice &choice) {
    return choice.kind == controller_choice::transport::tcp ? "tcp" : "usb";
}

std::string controller_address(const controller_choice &choice) {
    if (choice.kind == controller_choice::transport::tcp)
        return choice.host;
    return choice.serial.empty() ? std::to_string(choice.usb_position) : choice.serial;
}

std::string controller_label(const controller_choice &choice) {
    return transport_name(choice) + " " + controller_address(choice);
}

vortlink::controller open_controller(const controller_choice &choice) {
    if (choice.kind == controller_choice::transport::tcp)
        return vortlink::controller::tcp(choice.host, choice.slot);
    if (!choice.serial.empty())
        return vortlink::controller::usb_serial(choice.serial, choice.slot);
    return vortlink::controller::usb(static_cast<uint8_t>(choice.usb_position));
}

status_t wait_for_usb_controller(
    const controller_choice &choice, uint8_t slot, vortlink::controller &device,
    const std::function<void(std::chrono::steady_clock::time_point)> &waiting) {
    const auto deadline = std::chrono::steady_clock::now() + usb_return_limit;
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (waiting)
            waiting(now);
        try {
            device = choice.serial.empty() ? vortlink::controller::usb(slot)
                                           : vortlink::controller::usb_serial(choice.serial, slot);
            return loader::status::ok;
        } catch (const vortlink::error &e) {
            if (std::chrono::steady_clock::now() >= deadline)
                return e.status();
        }
        std::this_thread::sleep_for(reset_retry);
    }
}

int count_usb_controllers() {
    int count = 0;
    // Opening by position counts only controllers that answer to the product name.
    for (int position = 0; position < TKCMDSET_SLOT_COUNT; ++position, ++count) {
        try {
            (void)vortlink::controller::usb(static_cast<uint8_t>(position));
        } catch (const vortlink::error &) {
            break;
        }
    }
    return count;
}

std::string error_name(status_t status) { return vortlink::error_name(status); }

std::string error_text(status_t status) { return vortlink::error_text(status); }

std::string failure_text(status_t status) {
    return "ERROR (" + std::to_string(status) + ") : " + printable(error_name(status)) + "\n" +
           printable(error_text(status));
}

} // namespace vortlink::ctl
