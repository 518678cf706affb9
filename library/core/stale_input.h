#pragma once
// Clearing the input that arrived since a slot's last exchange, before its next request goes out.
// A peer that keeps sending must not hold the caller for as long as it sends: the clearing has
// the command's time-out, counted from the start of the exchange, and input that is still coming
// when that has passed fails the command without sending anything. The slot then stays out of
// step, so the next command first brings it back.

#include <cstdint>

#include "core/platform/clock.h"
#include "core/status.h"

namespace vortlink {

// The time an exchange may spend on stale input: its time-out from the moment it began.
struct stale_input_budget {
    uint32_t start_ms = 0;
    uint32_t limit_ms = 0;

    static stale_input_budget from_now(uint32_t limit_ms) {
        return {platform::monotonic_ms(), limit_ms};
    }

    // Milliseconds left, 0 once the budget is spent.
    uint32_t left_ms() const {
        const uint32_t elapsed = platform::monotonic_ms() - start_ms;
        return elapsed >= limit_ms ? 0 : limit_ms - elapsed;
    }
};

// Runs discard_once until it reports that nothing was waiting. discard_once(bool &emptied)
// discards what is waiting now and returns a status; its failure ends the loop with that status.
// still_coming when input is still waiting once the budget is spent.
template <typename Discard>
status_t discard_stale_input(const stale_input_budget &budget, status_t still_coming,
                             Discard &&discard_once) {
    for (;;) {
        bool emptied = false;
        if (const status_t result = discard_once(emptied); result != status::ok)
            return result;
        if (emptied)
            return status::ok;
        if (budget.left_ms() == 0)
            return still_coming;
    }
}

} // namespace vortlink
