#pragma once
// The text of HID strings, as every backend hands it on: UTF-16, as the USB string descriptors
// carry it.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "core/status.h"

namespace vortlink::platform {

// Text from the system (sysfs attributes, the simulated bus) is UTF-8. Each invalid or cut-off
// sequence becomes one U+FFFD.
std::u16string utf16_from_utf8(std::string_view text);

// The UTF-16 text of a USB string descriptor: bLength, bDescriptorType 3, then little-endian
// units (for string 0, the language IDs the device supports). status::no_string when the bytes
// are not one whole string descriptor.
status_t decode_string_descriptor(std::span<const uint8_t> bytes, std::u16string &text);

// Shortens text to at most max_units units without splitting a surrogate pair.
void cut_to_units(std::u16string &text, std::size_t max_units);

} // namespace vortlink::platform
