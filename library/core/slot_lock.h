#pragma once
// Holds a slot's named lock for the length of one exchange.

#include "core/platform/shared_segment.h"
#include "core/status.h"

namespace vortlink {

class slot_lock {
  public:
    static constexpr uint32_t wait_ms = 2000;

    explicit slot_lock(platform::named_lock *lock) : lock_(lock) {}
    slot_lock(const slot_lock &) = delete;
    slot_lock &operator=(const slot_lock &) = delete;
    ~slot_lock() {
        if (held_)
            platform::release_named_lock(lock_);
    }

    // -10202 when another owner kept it for the whole wait, -10203 when the wait failed. A lock
    // whose owner died is taken over.
    status_t acquire() {
        switch (platform::wait_named_lock(lock_, wait_ms)) {
        case platform::lock_wait::acquired:
        case platform::lock_wait::abandoned:
            held_ = true;
            return status::ok;
        case platform::lock_wait::timed_out:
            return status::lock_busy;
        case platform::lock_wait::failed:
            break;
        }
        return status::lock_failed;
    }

  private:
    platform::named_lock *lock_;
    bool held_ = false;
};

} // namespace vortlink
