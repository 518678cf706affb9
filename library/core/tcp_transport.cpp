#include "core/tcp_transport.h"

#include <array>

#include "core/exchange.h"
#include "core/resync.h"
#include "core/platform/clock.h"
#include "core/platform/socket.h"
#include "core/settings.h"
#include "core/state.h"

namespace vortlink {

namespace {
constexpr std::array<int, socket_table_size> no_sockets() {
    std::array<int, socket_table_size> table{};
    table.fill(platform::no_socket);
    return table;
}
constinit std::array<int, socket_table_size> sockets = no_sockets();
// The receive low-water mark each socket has now, so that it is only set when a wait needs
// another one (a new socket starts at 1). Used under the slot's lock only.
constinit std::array<uint16_t, socket_table_size> low_water{};

status_t wait_for_low_water(uint8_t slot, uint16_t count, uint32_t timeout_ms,
                            platform::wait_result &waited) {
    if (low_water[slot] != count) {
        if (!platform::set_low_water(sockets[slot], count))
            return status::socket_failure;
        low_water[slot] = count;
    }
    waited = platform::wait_readable(sockets[slot], timeout_ms);
    return waited == platform::wait_result::failed ? status::socket_failure : status::ok;
}

// Waits until count bytes are queued or the stream closed (waited says which), giving the
// caller's pump its turns meanwhile; reply_timeout once the deadline from start has passed.
status_t wait_in_slices(uint8_t slot, uint16_t count, uint32_t start, uint32_t timeout_ms,
                        platform::wait_result &waited) {
    const uint32_t slice = pump_slice_ms();
    for (;;) {
        const uint32_t elapsed = platform::monotonic_ms() - start;
        if (elapsed > timeout_ms)
            return status::reply_timeout;
        uint32_t wait = timeout_ms - elapsed + 1;
        if (slice != 0 && wait > slice)
            wait = slice;
        if (status_t result = wait_for_low_water(slot, count, wait, waited); result != status::ok)
            return result;
        if (waited != platform::wait_result::timed_out)
            return status::ok;
        if (status_t result = pump_once(); result != status::ok)
            return result;
    }
}
} // namespace

status_t resolve_endpoint(const char *host, tcp_endpoint &endpoint) {
    status_t result = open_settings_key(library_settings_key);
    if (result != status::ok)
        return result;
    uint32_t port = 0;
    // A port outside 1 to 65535 would wrap to some other port: it is replaced by the default.
    if ((result = read_setting_dword_within("TCP Port", default_tcp_port, 1, 65535, port)) !=
        status::ok)
        return result;
    uint32_t address = 0;
    if (!platform::resolve_ipv4(host, address))
        return status::host_unresolved;
    endpoint.address = address;
    endpoint.port = static_cast<uint16_t>(port);
    return status::ok;
}

status_t tcp_slot_valid(uint8_t slot) {
    if (slot >= socket_table_size || sockets[slot] == platform::no_socket)
        return status::bad_tcp_slot;
    return status::ok;
}

status_t tcp_send(uint8_t slot, const uint8_t *bytes, uint16_t count) {
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    return platform::send_all(sockets[slot], bytes, count) ? status::ok : status::socket_failure;
}

status_t tcp_await_frame(uint8_t slot, uint8_t *frame, uint16_t room, uint16_t count,
                         uint16_t timeout_ms, uint16_t &queued) {
    queued = 0;
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    const uint32_t start = platform::monotonic_ms();
    // The poll wakes only once count bytes are queued, so a frame that arrives in parts never
    // turns the wait into a spin; the peek then sees the whole frame when it is all there.
    for (;;) {
        platform::wait_result waited = platform::wait_result::failed;
        if (status_t result = wait_in_slices(slot, count, start, timeout_ms, waited);
            result != status::ok)
            return result;
        const long peeked = platform::peek_queued(sockets[slot], frame, room);
        if (peeked >= count) {
            queued = static_cast<uint16_t>(peeked);
            return status::ok;
        }
        // The peer closed with the frame incomplete: the missing bytes can never come, so the
        // reply has timed out now rather than after the full wait.
        if (waited == platform::wait_result::closed)
            return status::reply_timeout;
        if (peeked < 0)
            return status::socket_failure;
    }
}

status_t tcp_take_frame(uint8_t slot, uint8_t *frame, uint16_t count) {
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    return platform::take_queued(sockets[slot], frame, count) == count ? status::ok
                                                                       : status::socket_failure;
}

status_t tcp_drain(uint8_t slot, const stale_input_budget &budget) {
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    return discard_stale_input(budget, status::reply_timeout, [slot](bool &emptied) {
        uint8_t discard[512];
        const long taken = platform::take_queued(sockets[slot], discard, sizeof discard);
        emptied = taken == 0;
        return taken < 0 ? status::socket_failure : status::ok;
    });
}

} // namespace vortlink

extern "C" VORTLINK_API int16_t tkcmdset_connect(uint8_t slot, int32_t reserved,
                                                  const char *host) {
    using namespace vortlink;
    (void)reserved;
    if (slot >= slot_count)
        return status::bad_tcp_slot;

    tcp_endpoint endpoint;
    status_t result = resolve_endpoint(host, endpoint);
    if (result != status::ok)
        return result;

    // The previous connection of the slot is given up whether or not the new one succeeds.
    platform::close_socket(sockets[slot]);
    sockets[slot] = platform::no_socket;

    int fd = platform::no_socket;
    if (platform::connect_ipv4(endpoint.address, endpoint.port, connect_timeout_ms, fd) !=
        platform::connect_result::connected)
        return status::socket_failure;
    sockets[slot] = fd;
    low_water[slot] = 1;
    // A new connection carries nothing of the old one's exchanges.
    mark_slot_out_of_step(transport_kind::tcp, slot, false);
    state().transport[slot] = transport_kind::tcp;
    return status::ok;
}

namespace vortlink {

status_t tcp_receive_some(uint8_t slot, uint8_t *buffer, uint16_t capacity, uint32_t timeout_ms,
                          uint16_t &received) {
    received = 0;
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    const uint32_t start = platform::monotonic_ms();
    for (;;) {
        platform::wait_result waited = platform::wait_result::failed;
        if (status_t result = wait_in_slices(slot, 1, start, timeout_ms, waited);
            result != status::ok)
            return result;
        // Ready or closed: whatever is queued is taken; a closed stream with nothing left fails.
        const long taken = platform::take_queued(sockets[slot], buffer, capacity);
        if (taken < 0 || (taken == 0 && waited == platform::wait_result::closed))
            return status::socket_failure;
        if (taken == 0)
            continue;
        received = static_cast<uint16_t>(taken);
        return status::ok;
    }
}

} // namespace vortlink
