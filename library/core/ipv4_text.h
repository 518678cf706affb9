#pragma once
// Dotted IPv4 addresses as users type them.

#include <cstdint>
#include <optional>
#include <string_view>

namespace vortlink {

// Exactly four decimal parts of 0 to 255 joined by dots, without leading zeros ("01"), signs
// or blanks, as inet_pton reads an IPv4 address. The address as a number, first part highest.
std::optional<uint32_t> parse_dotted_quad(std::string_view text);

} // namespace vortlink
