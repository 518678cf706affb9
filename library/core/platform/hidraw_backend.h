#pragma once
// Parts of the hidraw backend that its tests reach directly: the text decoding, and a device over
// a descriptor the test opened itself, since no test machine has a Quorrel controller plugged in.

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/platform/hid_backend.h"
#include "core/status.h"

namespace vortlink::platform {

// How long a device's destructor waits for its writer thread before leaving it behind (see
// hidraw_backend.cpp).
inline constexpr uint32_t hidraw_writer_stop_grace_ms = 1000;

// sysfs attributes are UTF-8. Each invalid or cut-off sequence becomes one U+FFFD.
std::u16string utf16_from_utf8(std::string_view text);

// The UTF-16 text of a USB string descriptor: bLength, bDescriptorType 3, then little-endian
// units (for string 0, the language IDs the device supports). status::no_string when the bytes
// are not one whole string descriptor.
status_t decode_string_descriptor(std::span<const uint8_t> bytes, std::u16string &text);

// Shortens text to at most max_units units without splitting a surrogate pair.
void cut_to_units(std::u16string &text, std::size_t max_units);

// A device over an open descriptor that it takes over, with the report description given as
// bytes. Tests stand a socketpair(AF_UNIX, SOCK_SEQPACKET) end in for a hidraw node, which like
// hidraw hands over one report per read. The descriptor's flags are left as they are: the backend
// opens nodes O_NONBLOCK, a test may pass a blocking one to get writes that block in the kernel.
// Such a device has no sysfs behind it, so it has no strings.
std::unique_ptr<hid_device> make_hidraw_device(int fd, std::span<const uint8_t> report_descriptor);

} // namespace vortlink::platform
