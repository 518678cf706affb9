#include "controller.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "vortlink.h"

namespace vortlink::ctl {

namespace {
constexpr std::chrono::milliseconds reset_retry{500};
constexpr std::chrono::seconds reset_limit{15};
constexpr std::size_t identity_text_size = 101;
} // namespace

status_t open_controller(const controller_choice &choice, uint8_t &slot) {
    using transport = controller_choice::transport;
    if (choice.kind == transport::tcp) {
        slot = 0;
        return tkcmdset_connect(slot, 0, choice.host.c_str());
    }
    if (!choice.serial.empty()) {
        slot = 0;
        return tkcmdset_init_ex(slot, controller_product_name, choice.serial.c_str());
    }
    slot = static_cast<uint8_t>(choice.usb_position);
    return tkcmdset_init_ex(slot, controller_product_name, nullptr);
}

status_t wait_for_usb_controller(const controller_choice &choice, uint8_t slot) {
    const auto deadline = std::chrono::steady_clock::now() + reset_limit;
    const char *serial = choice.serial.empty() ? nullptr : choice.serial.c_str();
    for (;;) {
        const status_t result = tkcmdset_init_ex(slot, controller_product_name, serial);
        if (result == loader::status::ok || std::chrono::steady_clock::now() >= deadline)
            return result;
        std::this_thread::sleep_for(reset_retry);
    }
}

status_t read_identity(uint8_t slot, identity &result) {
    char text[identity_text_size] = {};
    status_t status = tkcmdset_fw_version(slot, text);
    if (status != loader::status::ok)
        return status;
    result.firmware = text;
    result.boot_loader =
        std::strncmp(text, loader_part_number, std::strlen(loader_part_number)) == 0;
    if ((status = tkcmdset_hw_version(slot, text)) != loader::status::ok)
        return status;
    result.hardware = text;
    if ((status = tkcmdset_serial_number(slot, text)) != loader::status::ok)
        return status;
    result.serial = text;
    return loader::status::ok;
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

void report_failure(status_t status) {
    std::fprintf(stderr, "ERROR (%d) : %s\n%s\n", status, error_name(status).c_str(),
                 error_text(status).c_str());
}

} // namespace vortlink::ctl
