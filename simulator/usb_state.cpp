#include "usb_state.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>

namespace vortlink::sim {

bus_watchers &bus_watchers::instance() {
    static bus_watchers watchers;
    return watchers;
}

int bus_watchers::subscribe() {
    const int event_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (event_fd < 0)
        return -1;
    std::lock_guard lock(mutex_);
    event_fds_.insert(event_fd);
    return event_fd;
}

void bus_watchers::unsubscribe(int event_fd) {
    {
        std::lock_guard lock(mutex_);
        event_fds_.erase(event_fd);
    }
    ::close(event_fd);
}

void bus_watchers::notify() {
    std::lock_guard lock(mutex_);
    const uint64_t one = 1;
    for (int event_fd : event_fds_)
        (void)!::write(event_fd, &one, sizeof one);
}

usb_identity usb_state::identity() const {
    std::lock_guard lock(mutex_);
    return identity_;
}

void usb_state::set_product(std::string text) {
    std::lock_guard lock(mutex_);
    identity_.product = std::move(text);
}

void usb_state::set_serial(std::string text) {
    std::lock_guard lock(mutex_);
    identity_.serial = std::move(text);
    identity_.serial_readable = true;
}

void usb_state::make_serial_unreadable() {
    std::lock_guard lock(mutex_);
    identity_.serial_readable = false;
}

void usb_state::set_feature_usage(bool present) {
    std::lock_guard lock(mutex_);
    identity_.feature_usage = present;
}

bool usb_state::present_locked() const {
    return !unplugged_ || (back_at_ && steady::now() >= *back_at_);
}

bool usb_state::present() const {
    std::lock_guard lock(mutex_);
    return present_locked();
}

std::optional<std::chrono::steady_clock::time_point> usb_state::returns_at() const {
    std::lock_guard lock(mutex_);
    if (!unplugged_ || !back_at_ || steady::now() >= *back_at_)
        return std::nullopt;
    return back_at_;
}

void usb_state::unplug(uint32_t milliseconds) {
    leave_bus(milliseconds);
    bus_watchers::instance().notify();
}

void usb_state::leave_bus(uint32_t milliseconds) {
    std::lock_guard lock(mutex_);
    unplugged_ = true;
    back_at_.reset();
    if (milliseconds > 0)
        back_at_ = steady::now() + std::chrono::milliseconds(milliseconds);
    // The sockets stay open until their sessions detach, which needs this mutex: none of them
    // can be closed (and its number reused) under the shutdown.
    for (int socket : sockets_)
        ::shutdown(socket, SHUT_RDWR);
}

void usb_state::plug() {
    {
        std::lock_guard lock(mutex_);
        unplugged_ = false;
        back_at_.reset();
    }
    bus_watchers::instance().notify();
}

bool usb_state::attach(int socket) {
    std::lock_guard lock(mutex_);
    if (!present_locked())
        return false;
    unplugged_ = false;
    back_at_.reset();
    sockets_.insert(socket);
    return true;
}

void usb_state::detach(int socket) {
    std::lock_guard lock(mutex_);
    if (const auto found = sockets_.find(socket); found != sockets_.end())
        sockets_.erase(found);
}

void usb_state::hold() {
    std::lock_guard lock(mutex_);
    ++held_;
}

void usb_state::release() {
    {
        std::lock_guard lock(mutex_);
        if (held_ > 0)
            --held_;
    }
    held_changed_.notify_all();
}

bool usb_state::wait_none_held(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    held_changed_.wait_for(lock, limit, [this] { return held_ == 0 || stopping_; });
    return held_ == 0 && !stopping_;
}

void usb_state::stop_waiting() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    held_changed_.notify_all();
}

void usb_state::record_feature(std::span<const uint8_t> report) {
    std::lock_guard lock(mutex_);
    if (features_.size() >= feature_log_capacity)
        features_.pop_front();
    features_.emplace_back(report.begin(), report.end());
}

std::vector<std::vector<uint8_t>> usb_state::features() const {
    std::lock_guard lock(mutex_);
    return {features_.begin(), features_.end()};
}


void usb_state::set_stall(uint32_t milliseconds) {
    const std::lock_guard lock(mutex_);
    stall_ms_ = milliseconds;
}

uint32_t usb_state::stall() const {
    const std::lock_guard lock(mutex_);
    return stall_ms_;
}

} // namespace vortlink::sim
