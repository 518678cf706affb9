#include "core/platform/sim_bus_endpoint.h"

#include <charconv>
#include <string_view>

#include "core/platform/socket.h"

namespace vortlink::platform {

namespace {

constexpr std::string_view tcp_prefix = "tcp:";

// HOST:PORT with a port of 1 to 65535 in plain decimal.
bool parse_tcp_endpoint(std::string_view text, uint32_t &address, uint16_t &port) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    const std::string_view digits = text.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
        value == 0 || value > 0xFFFF)
        return false;
    port = static_cast<uint16_t>(value);
    return resolve_ipv4(std::string(text.substr(0, colon)).c_str(), address);
}

} // namespace

bool connect_simulated_bus(const std::string &endpoint, uint32_t timeout_ms, socket_id &fd) {
    fd = no_socket;
    if (!endpoint.starts_with(tcp_prefix))
        return connect_local(endpoint.c_str(), fd);
    uint32_t address = 0;
    uint16_t port = 0;
    return parse_tcp_endpoint(std::string_view(endpoint).substr(tcp_prefix.size()), address,
                              port) &&
           connect_ipv4(address, port, timeout_ms, fd) == connect_result::connected;
}

} // namespace vortlink::platform
