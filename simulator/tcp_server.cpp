#include "tcp_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <vector>

namespace vortlink::sim {

namespace {

constexpr std::size_t receive_chunk = 512;
// A resync throws away what is queued now, but never reads forever from a client that keeps
// sending.
constexpr std::size_t resync_limit = 64 * 1024;

void discard_waiting(int fd) {
    uint8_t scratch[receive_chunk];
    std::size_t discarded = 0;
    while (discarded < resync_limit) {
        const ssize_t received = ::recv(fd, scratch, sizeof scratch, MSG_DONTWAIT);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return;
        discarded += static_cast<std::size_t>(received);
    }
}

// Junk the client did not ask for, as fast as it is taken, until the time is up; a client that
// stops reading ends it too.
bool flood(int fd, uint32_t milliseconds, const stop_signal &stop) {
    using clock = std::chrono::steady_clock;
    const std::vector<uint8_t> junk(4096, 0xFF);
    const clock::time_point end = clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - clock::now()).count();
        if (left <= 0)
            return true;
        const io_result sent = send_all(fd, junk, stop, static_cast<int>(left));
        if (sent == io_result::timed_out)
            return true;
        if (sent != io_result::ok)
            return false;
    }
}

} // namespace

tcp_server::tcp_server(device &target, const stop_signal &stop)
    : device_(target), stop_(stop), streams_([this](connection &client) { serve(client); }) {}

void tcp_server::drop_clients() {
    streams_.connections().shut_down_all();
}

std::size_t tcp_server::open_clients() const {
    return streams_.connections().open_count();
}

std::size_t tcp_server::write_to_all(std::span<const uint8_t> bytes) {
    return streams_.connections().write_to_all(bytes, stop_, broadcast_timeout_ms);
}

void tcp_server::serve(connection &client) {
    const int fd = client.fd.get();
    read_connection(fd, stop_, receive_chunk, {}, [&](std::vector<uint8_t> &pending) {
        const wire_clock::steady::time_point arrived = wire_clock::steady::now();
        for (;;) {
            std::size_t frame_length = 0;
            const request_scan scan = scan_request(pending, frame_length);
            if (scan == request_scan::incomplete)
                return true;
            const auto taken = device_.wire.tcp_request_due(arrived);
            if (!wait_until_unless_stopped(stop_, taken))
                return false;
            // Header, opcode and the first data bytes: what the timing model looks at.
            std::array<uint8_t, 8> head{};
            const std::size_t head_length = std::min(
                head.size(), scan == request_scan::unknown_opcode ? 2 : frame_length);
            std::copy_n(pending.begin(), head_length, head.begin());
            reply_plan plan;
            if (scan == request_scan::unknown_opcode) {
                plan = answer_request(device_, std::span(pending).first(2), scan);
                // The frame's length is unknowable: whatever else came with it is lost, and it
                // goes before the reply so that the client's next request is not.
                pending.clear();
                discard_waiting(fd);
            } else {
                plan = answer_request(device_, std::span(pending).first(frame_length), scan);
                pending.erase(pending.begin(),
                              pending.begin() + static_cast<std::ptrdiff_t>(frame_length));
            }
            const auto reply_due =
                device_.wire.tcp_reply_due(taken, std::span(head).first(head_length), plan.bytes);
            if (!wait_until_unless_stopped(stop_, reply_due) || !deliver(client, plan))
                return false;
        }
    });
}

bool tcp_server::deliver(connection &client, const reply_plan &plan) {
    if (plan.delay_ms > 0 && !pause_unless_stopped(stop_, plan.delay_ms))
        return false;
    if (plan.close_connection)
        return false;
    const int fd = client.fd.get();
    std::span<const uint8_t> bytes(plan.bytes);
    // The whole reply goes out under the write lock, pause included, so that a burst from the
    // control port never lands inside a frame.
    std::lock_guard lock(client.write_mutex);
    if (plan.pause_ms > 0) {
        if (send_all(fd, bytes.first(plan.first_part), stop_, -1) != io_result::ok ||
            !pause_unless_stopped(stop_, plan.pause_ms))
            return false;
        bytes = bytes.subspan(plan.first_part);
    }
    if (send_all(fd, bytes, stop_, -1) != io_result::ok)
        return false;
    return plan.flood_ms == 0 || flood(fd, plan.flood_ms, stop_);
}

} // namespace vortlink::sim
