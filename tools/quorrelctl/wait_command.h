#pragma once
// quorrelctl wait: blocks until a controller is connected on USB (or, with --gone, until none
// is), woken by the bus's device events rather than by polling.

#include <string>

namespace vortlink::ctl {

struct wait_request {
    bool gone = false;
    std::string timeout; // seconds; empty: no limit
};

// The exit status: 0 when it happened, 1 on time-out or when the bus cannot be watched, 2 for a
// bad time-out.
int run_wait(const wait_request &request, bool json);

} // namespace vortlink::ctl
