#include "faults.h"

namespace vortlink::sim {

bool fault_queue::push(const fault &entry) {
    std::lock_guard lock(mutex_);
    if (queue_.size() >= capacity)
        return false;
    queue_.push_back(entry);
    return true;
}

std::optional<fault> fault_queue::take_next() {
    std::lock_guard lock(mutex_);
    if (queue_.empty())
        return std::nullopt;
    fault next = queue_.front();
    queue_.pop_front();
    return next;
}

std::size_t fault_queue::size() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void fault_queue::clear() {
    std::lock_guard lock(mutex_);
    queue_.clear();
}

void frame_log::record(std::span<const uint8_t> frame) {
    std::lock_guard lock(mutex_);
    if (frames_.size() >= capacity)
        frames_.pop_front();
    frames_.emplace_back(frame.begin(), frame.end());
}

std::vector<std::vector<uint8_t>> frame_log::snapshot() const {
    std::lock_guard lock(mutex_);
    return {frames_.begin(), frames_.end()};
}

void frame_log::clear() {
    std::lock_guard lock(mutex_);
    frames_.clear();
}

} // namespace vortlink::sim
