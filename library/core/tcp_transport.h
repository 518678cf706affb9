#pragma once
// The TCP road to a controller: one connection per slot.

#include <cstdint>

#include "core/protocol.h"
#include "core/stale_input.h"
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
// Waits up to timeout_ms until the first count bytes of the incoming frame are queued, and copies
// what is queued (count bytes or more, at most room) into frame. The bytes stay on the socket,
// so a reply that never completes leaves no part of a frame taken: the next drain removes it.
// queued tells how many bytes frame now holds. -10803 when count bytes do not come in time.
status_t tcp_await_frame(uint8_t slot, uint8_t *frame, uint16_t room, uint16_t count,
                         uint16_t timeout_ms, uint16_t &queued);
// Takes count bytes that tcp_await_frame found queued off the socket into frame.
status_t tcp_take_frame(uint8_t slot, uint8_t *frame, uint16_t count);
// Discards everything that is waiting on the socket: -10801 when the connection failed or was
// closed, -10803 when bytes are still coming once the budget is spent.
status_t tcp_drain(uint8_t slot, const stale_input_budget &budget =
                                     stale_input_budget::from_now(protocol::timeout_normal_ms));
// Waits up to timeout_ms for bytes and takes whatever is queued, at most capacity: -10803 when
// nothing came in time, -10801 when the connection failed or was closed.
status_t tcp_receive_some(uint8_t slot, uint8_t *buffer, uint16_t capacity, uint32_t timeout_ms,
                          uint16_t &received);

} // namespace vortlink
