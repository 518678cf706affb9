#pragma once
// Choosing and opening the controller a command talks to, and reporting the library's verdict.

#include <cstdint>
#include <string>

#include "common/status.h"

namespace vortlink::ctl {

using loader::status_t;

inline constexpr const char *controller_product_name = "Kv Quorrel Controller";
// A controller whose firmware version starts with this part number runs its boot loader.
inline constexpr const char *loader_part_number = "6400-000731";

struct controller_choice {
    enum class transport { usb, tcp } kind = transport::usb;
    int usb_position = 0; // --usb N; also the library slot used for it
    std::string serial;   // --serial S
    std::string host;     // --tcp HOST
};

// Opens the chosen controller and gives the slot that now reaches it.
status_t open_controller(const controller_choice &choice, uint8_t &slot);

// Polls the USB controller in the slot until it answers again, as after a reset: every 500 ms,
// at most 15 s. Blocks between attempts.
status_t wait_for_usb_controller(const controller_choice &choice, uint8_t slot);

struct identity {
    std::string firmware;
    std::string hardware;
    std::string serial;
    bool boot_loader = false;
};
status_t read_identity(uint8_t slot, identity &result);

std::string error_name(status_t status);
std::string error_text(status_t status);

// "ERROR (code) : name" and the catalogue's explanation on standard error.
void report_failure(status_t status);

} // namespace vortlink::ctl
