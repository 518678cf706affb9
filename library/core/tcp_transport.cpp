#include "core/tcp_transport.h"

#include <algorithm>
#include <cstring>

#include "core/message_pump.h"
#include "core/platform/clock.h"
#include "core/platform/random.h"
#include "core/platform/socket.h"
#include "core/protocol.h"
#include "core/resync.h"
#include "core/settings.h"
#include "core/state.h"
#include "core/transport.h"

namespace vortlink {

namespace {
platform::socket_id socket_of(uint8_t slot) {
    return slot_of(slot).socket.get();
}

status_t wait_for_low_water(uint8_t slot, uint16_t count, uint32_t timeout_ms,
                            platform::wait_result &waited) {
    slot_record &record = slot_of(slot);
    if (record.low_water != count) {
        if (!platform::set_low_water(record.socket.get(), count))
            return status::socket_failure;
        record.low_water = count;
    }
    waited = platform::wait_readable(record.socket.get(), timeout_ms);
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
    if (slot >= slot_count || !slot_of(slot).socket.valid())
        return status::bad_tcp_slot;
    return status::ok;
}

status_t tcp_send(uint8_t slot, const uint8_t *bytes, uint16_t count) {
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    return platform::send_all(socket_of(slot), bytes, count) ? status::ok : status::socket_failure;
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
        const long peeked = platform::peek_queued(socket_of(slot), frame, room);
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
    return platform::take_queued(socket_of(slot), frame, count) == count ? status::ok
                                                                         : status::socket_failure;
}

status_t tcp_drain(uint8_t slot, const stale_input_budget &budget) {
    if (tcp_slot_valid(slot) != status::ok)
        return status::bad_tcp_slot;
    return discard_stale_input(budget, status::reply_timeout, [slot](bool &emptied) {
        uint8_t discard[512];
        const long taken = platform::take_queued(socket_of(slot), discard, sizeof discard);
        emptied = taken == 0;
        return taken < 0 ? status::socket_failure : status::ok;
    });
}

namespace {

status_t frame_request(uint8_t, uint8_t *request, uint16_t &length) {
    uint16_t data_length = 0;
    if (status_t result = protocol::lookup_command(request[1], true, data_length);
        result != status::ok)
        return result;
    const auto checksummed = static_cast<uint16_t>(data_length + 2);
    request[checksummed] = protocol::crc8(request, checksummed);
    length = static_cast<uint16_t>(checksummed + 1);
    return status::ok;
}

status_t send_frame(uint8_t slot, const uint8_t *frame, uint16_t length, uint16_t) {
    return tcp_send(slot, frame, length);
}

// Each part of the reply has the whole time-out to itself. The parts are only looked at where
// they wait on the socket; the frame is taken off once it is all there, usually in the same turn
// as its first two bytes.
status_t receive_reply(uint8_t slot, uint8_t *reply, uint16_t timeout_ms, uint16_t &length) {
    length = 0;
    constexpr auto reply_room = static_cast<uint16_t>(protocol::frame_buffer_size);
    uint16_t queued = 0;
    status_t result = tcp_await_frame(slot, reply, reply_room, 2, timeout_ms, queued);
    if (result != status::ok)
        return result;
    length = 2;
    auto frame_length = static_cast<uint16_t>(protocol::tcp_error_reply_size);
    if (reply[1] != protocol::error_reply_marker) {
        uint16_t data_length = 0;
        if ((result = protocol::lookup_command(reply[1], false, data_length)) != status::ok)
            return result;
        frame_length = static_cast<uint16_t>(data_length + 3);
    }
    if (queued < frame_length && (result = tcp_await_frame(slot, reply, reply_room, frame_length,
                                                           timeout_ms, queued)) != status::ok)
        return result;
    if ((result = tcp_take_frame(slot, reply, frame_length)) != status::ok)
        return result;
    length = frame_length;
    return status::ok;
}

// An error reply carries its code low byte first in bytes 4 and 5.
status_t check_reply(const uint8_t *reply, uint16_t length, uint8_t, uint16_t &error_code) {
    const auto checksummed = static_cast<uint16_t>(length - 1);
    if (protocol::crc8(reply, checksummed) != reply[checksummed])
        return status::checksum_mismatch;
    error_code = static_cast<uint16_t>(reply[5] << 8 | reply[4]);
    return status::ok;
}

// The echo carries the pattern as its data, as long as the descriptor table lets it.
status_t frame_echo(uint8_t slot, uint8_t *request, uint16_t &length, uint16_t &compared) {
    uint16_t data_length = 0;
    if (status_t result = protocol::lookup_command(protocol::opcode::echo, true, data_length);
        result != status::ok)
        return result;
    static_assert(resync_pattern_size + 3 <= protocol::frame_buffer_size);
    data_length = std::min(data_length, resync_pattern_size);
    request[0] = slot_of(slot).reports[usage_index_long_request].report_id;
    request[1] = protocol::opcode::echo;
    platform::random_bytes(request + 2, data_length);
    const auto checksummed = static_cast<uint16_t>(data_length + 2);
    request[checksummed] = protocol::crc8(request, checksummed);
    length = static_cast<uint16_t>(checksummed + 1);
    compared = data_length;
    return status::ok;
}

// Reads and discards until the echo of request's pattern has come back, or the resync's time is
// up (-10803).
status_t await_echo(uint8_t slot, const uint8_t *request, uint16_t data_length,
                    const stale_input_budget &budget) {
    const auto checksummed = static_cast<uint16_t>(data_length + 2);
    status_t result = status::ok;

    // The echo's reply: any header byte, the opcode, the pattern, the CRC-8 of all before it.
    // Whatever comes ahead of it belongs to earlier exchanges and is thrown away; the tail of
    // each read is kept, as the reply may straddle two reads.
    const std::size_t frame_length = checksummed + 1u;
    uint8_t stream[512 + protocol::frame_buffer_size];
    std::size_t held = 0;
    for (;;) {
        const uint16_t left = time_left(budget);
        if (left == 0)
            return status::reply_timeout;
        uint16_t received = 0;
        if ((result =
                 tcp_receive_some(slot, stream + held, static_cast<uint16_t>(sizeof stream - held),
                                  left, received)) != status::ok)
            return result;
        held += received;
        for (std::size_t at = 0; at + frame_length <= held; ++at) {
            const uint8_t *candidate = stream + at;
            if (candidate[1] == protocol::opcode::echo &&
                std::memcmp(candidate + 2, request + 2, data_length) == 0 &&
                protocol::crc8(candidate, checksummed) == candidate[checksummed])
                return status::ok;
        }
        if (held >= frame_length) {
            const std::size_t keep = frame_length - 1;
            std::memmove(stream, stream + held - keep, keep);
            held = keep;
        }
    }
}

// In the order of the table: kind, trace name, lock, whether failures are counted, operations.
// clang-format off
constexpr transport_operations tcp_road = {
    transport_kind::tcp, "tcp", &slot_record::tcp_lock, true,
    tcp_slot_valid, tcp_drain, frame_request, send_frame,
    receive_reply, check_reply, frame_echo, await_echo};
// clang-format on

} // namespace

const transport_operations &tcp_operations() {
    return tcp_road;
}

} // namespace vortlink

extern "C" VORTLINK_API int16_t tkcmdset_connect(uint8_t slot, int32_t reserved, const char *host) {
    using namespace vortlink;
    (void)reserved;
    if (slot >= slot_count)
        return status::bad_tcp_slot;

    tcp_endpoint endpoint;
    status_t result = resolve_endpoint(host, endpoint);
    if (result != status::ok)
        return result;

    // The previous connection of the slot is given up whether or not the new one succeeds.
    slot_record &record = slot_of(slot);
    record.socket.reset();

    platform::socket_id fd = platform::no_socket;
    if (platform::connect_ipv4(endpoint.address, endpoint.port, connect_timeout_ms, fd) !=
        platform::connect_result::connected)
        return status::socket_failure;
    record.socket.reset(fd);
    record.low_water = 1;
    // A new connection carries nothing of the old one's exchanges.
    record.tcp_out_of_step = false;
    record.transport = transport_kind::tcp;
    record.road = &tcp_operations();
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
        const long taken = platform::take_queued(socket_of(slot), buffer, capacity);
        if (taken < 0 || (taken == 0 && waited == platform::wait_result::closed))
            return status::socket_failure;
        if (taken == 0)
            continue;
        received = static_cast<uint16_t>(taken);
        return status::ok;
    }
}

} // namespace vortlink
