#include "controller.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "output.h"
#include "vortlink.h"

namespace vortlink::ctl {

namespace {
constexpr std::chrono::milliseconds reset_retry{loader::usb_reset_retry_ms};
constexpr int max_slots = TKCMDSET_SLOT_COUNT;
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

status_t open_controller(const controller_choice &choice, uint8_t &slot) {
    using transport = controller_choice::transport;
    if (choice.kind == transport::tcp) {
        slot = choice.slot;
        return tkcmdset_connect(slot, 0, choice.host.c_str());
    }
    if (!choice.serial.empty()) {
        slot = choice.slot;
        return tkcmdset_init_ex(slot, TKCMDSET_PRODUCT_NAME, choice.serial.c_str());
    }
    slot = static_cast<uint8_t>(choice.usb_position);
    return tkcmdset_init_ex(slot, TKCMDSET_PRODUCT_NAME, nullptr);
}

status_t wait_for_usb_controller(
    const controller_choice &choice, uint8_t slot,
    const std::function<void(std::chrono::steady_clock::time_point)> &waiting) {
    const auto deadline = std::chrono::steady_clock::now() + usb_return_limit;
    const char *serial = choice.serial.empty() ? nullptr : choice.serial.c_str();
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        if (waiting)
            waiting(now);
        const status_t result = tkcmdset_init_ex(slot, TKCMDSET_PRODUCT_NAME, serial);
        if (result == loader::status::ok || std::chrono::steady_clock::now() >= deadline)
            return result;
        std::this_thread::sleep_for(reset_retry);
    }
}

int count_usb_controllers() {
    int count = 0;
    // Opening by position counts only controllers that answer to the product name.
    for (int position = 0; position < max_slots; ++position) {
        const status_t status =
            tkcmdset_init_ex(static_cast<uint8_t>(position), TKCMDSET_PRODUCT_NAME, nullptr);
        (void)tkcmdset_shutdown(static_cast<uint8_t>(position));
        if (status != loader::status::ok)
            break;
        ++count;
    }
    return count;
}

std::string error_name(status_t status) {
    char text[50] = {};
    (void)tkcmdset_get_error_name(status, text, sizeof text);
    return text;
}

std::string error_text(status_t status) {
    char text[1050] = {};
    (void)tkcmdset_get_error_text(status, text, sizeof text);
    return text;
}

std::string failure_text(status_t status) {
    return "ERROR (" + std::to_string(status) + ") : " + printable(error_name(status)) + "\n" +
           printable(error_text(status));
}

} // namespace vortlink::ctl
