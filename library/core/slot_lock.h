#pragma once
// Holds a slot's named lock for the length of one exchange.

#include <array>
#include <cstddef>

#include "core/platform/shared_segment.h"
#include "core/state.h"
#include "core/status.h"

namespace vortlink {

class slot_lock {
  public:
    static constexpr uint32_t wait_ms = 2000;

    explicit slot_lock(platform::named_lock *lock) : lock_(lock) {}
    slot_lock(const slot_lock &) = delete;
    slot_lock &operator=(const slot_lock &) = delete;
    ~slot_lock() {
        if (!held_)
            return;
        platform::release_named_lock(lock_);
        held_by_this_thread[--held_count] = nullptr;
    }

    // -10202 when another owner kept it for the whole wait, -10203 when the wait failed. A lock
    // whose owner died is taken over.
    //
    // The named lock is recursive for its owning thread, so a message pump that issues a command
    // on the same slot while this thread waits for a reply would get it at once, send a second
    // request, and the two commands would take each other's replies. Such a nested exchange is
    // refused with -10202 before anything is sent, and the outer exchange goes on untouched.
    status_t acquire() {
        if (held_here(lock_))
            return status::lock_busy;
        switch (platform::wait_named_lock(lock_, wait_ms)) {
        case platform::lock_wait::acquired:
        case platform::lock_wait::abandoned:
            held_ = true;
            held_by_this_thread[held_count++] = lock_;
            return status::ok;
        case platform::lock_wait::timed_out:
            return status::lock_busy;
        case platform::lock_wait::failed:
            break;
        }
        return status::lock_failed;
    }

  private:
    // Every slot lock of both transports can be held by one thread at once, each only once, and
    // they are released in the reverse order of acquisition.
    static inline thread_local std::array<platform::named_lock *, 2 * slot_count>
        held_by_this_thread{};
    static inline thread_local std::size_t held_count = 0;

    static bool held_here(const platform::named_lock *lock) {
        for (std::size_t i = 0; lock != nullptr && i < held_count; ++i)
            if (held_by_this_thread[i] == lock)
                return true;
        return false;
    }

    platform::named_lock *lock_;
    bool held_ = false;
};

} // namespace vortlink
