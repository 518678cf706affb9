#pragma once
// The TCP road to a controller: one connection per slot.

#include <cstdint>

#include "core/status.h"

namespace vortlink {

inline constexpr unsigned socket_table_size = 64;
inline constexpr uint16_t default_tcp_port = 1234;
// A controller on the local network answers a connect at once; an address nobody answers must
// not hold the caller for the system's two-minute SYN retries.
inline constexpr uint32_t connect_timeout_ms = 5000;

struct tcp_endpoint {
    uint32_t address = 0; // network byte order
    uint16_t port = 0;    // host byte order
};

status_t resolve_endpoint(const char *host, tcp_endpoint &endpoint);
status_t tcp_slot_valid(uint8_t slot);
status_t tcp_send(uint8_t slot, const uint8_t *bytes, uint16_t count);
status_t tcp_receive(uint8_t slot, uint8_t *buffer, uint16_t count, uint16_t timeout_ms);
status_t tcp_drain(uint8_t slot);
// Waits up to timeout_ms for bytes and takes whatever is queued, at most capacity: -10803 when
// nothing came in time, -10801 when the connection failed or was closed.
status_t tcp_receive_some(uint8_t slot, uint8_t *buffer, uint16_t capacity, uint32_t timeout_ms,
                          uint16_t &received);

} // namespace vortlink
