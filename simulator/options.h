#pragma once
// quorrel-sim's command line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "controller.h"
#include "usb_reports.h"
#include "usb_state.h"
#include "wire_model.h"

namespace vortlink::sim {

// A change to one controller's USB identity, or to every controller's (device 0).
struct usb_variation {
    enum class kind { product, serial, serial_unreadable, no_feature_usage, hw_version };

    kind what = kind::product;
    std::size_t device = 0;
    std::string text;
};

struct options {
    static constexpr std::size_t max_usb_devices = 64;

    uint16_t tcp_port = 0;
    std::string bind_address = "127.0.0.1";
    uint16_t control_port = 0;
    controller_settings controller;
    // Empty: no HID socket.
    std::string hid_socket;
    // The simulated USB bus on 127.0.0.1 as well; 0 with it picks a free port.
    std::optional<uint16_t> hid_tcp_port;
    std::size_t usb_devices = 1;
    usb_layout layout;
    // In the order given: a later one overrides an earlier one.
    std::vector<usb_variation> variations;
    wire_settings wire;
};

enum class parse_outcome { run, help, version, invalid };

// On `invalid`, `error` says what was wrong.
parse_outcome parse_options(int argc, const char *const *argv, options &parsed, std::string &error);

// Controller `number`'s identity on the USB bus: serial number "Q" and seven digits, then the
// variations that apply to it.
usb_identity identity_of(const options &parsed, std::size_t number);

extern const char usage_text[];

} // namespace vortlink::sim
