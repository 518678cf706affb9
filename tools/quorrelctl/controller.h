#pragma once
// Choosing and opening the controller a command talks to, and reporting the library's verdict.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "common/status.h"
#include "identity/controller_identity.h"
#include "vortlink.hpp"

namespace vortlink::ctl {

using loader::status_t;

// How long a restarted controller has to come back on the bus.
inline constexpr std::chrono::milliseconds usb_return_limit{loader::usb_reset_limit_ms};

struct controller_choice {
    enum class transport { usb, tcp } kind = transport::usb;
    int usb_position = 0; // --usb N; also the library slot used for it
    std::string serial;   // --serial S
    std::string host;     // --tcp HOST
    uint8_t slot = 0;     // the library slot of a TCP controller or one chosen by serial
};

// "usb 0", "usb Q0000001", "tcp 10.0.0.5": how messages and the production record name it.
std::string controller_label(const controller_choice &choice);
// The transport and the address alone: "usb" and "0".
std::string transport_name(const controller_choice &choice);
std::string controller_address(const controller_choice &choice);

// Opens the chosen controller in the slot the choice gives it; throws vortlink::error.
vortlink::controller open_controller(const controller_choice &choice);

// Polls for the USB controller until it answers again in the slot, as after a reset: every
// 500 ms, at most usb_return_limit. Tells waiting (if set) the time before each attempt. On
// success device holds it; otherwise the last attempt's status.
status_t wait_for_usb_controller(
    const controller_choice &choice, uint8_t slot, vortlink::controller &device,
    const std::function<void(std::chrono::steady_clock::time_point)> &waiting = {});

// How many controllers are connected over USB now (each opened and closed again).
int count_usb_controllers();

std::string error_name(status_t status);
std::string error_text(status_t status);

// "ERROR (code) : name" and the catalogue's explanation, for the screen (see printable()).
std::string failure_text(status_t status);

} // namespace vortlink::ctl
