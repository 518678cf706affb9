#include "wait_command.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>

#include "controller.h"
#include "bus_watch.h"
#include "core/platform/console.h"
#include "output.h"
#include "runner.h"
#include "text_input.h"

namespace vortlink::ctl {

namespace {
constexpr double max_timeout_s = 7 * 24 * 3600;
} // namespace

int run_wait(const wait_request &request, bool json) {
    using clock = std::chrono::steady_clock;
    std::optional<clock::time_point> deadline;
    if (!request.timeout.empty()) {
        const std::optional<double> seconds = parse_real(request.timeout);
        if (!seconds || *seconds <= 0 || *seconds > max_timeout_s)
            return usage_failure("--timeout: seconds, more than 0 and at most 604800; got '" +
                                 request.timeout + "'");
        deadline = clock::now() + std::chrono::duration_cast<clock::duration>(
                                      std::chrono::duration<double>(*seconds));
    }
    // Watching starts before the first look, so that a change between the two is not missed.
    std::string error;
    const std::unique_ptr<platform::usb_bus_watch> watch = platform::make_system_bus_watch(error);
    if (!watch) {
        std::fprintf(stderr, "ERROR : cannot watch the USB bus: %s\n", error.c_str());
        return 1;
    }
    const bool terminal = !json && platform::output_redraws_lines();
    bool told = false;
    for (;;) {
        const int count = count_usb_controllers();
        if (request.gone ? count == 0 : count > 0) {
            if (told)
                std::printf("\r\x1b[K");
            if (json)
                std::cout << json_text({{"event", request.gone ? "gone" : "connected"},
                                        {"controllers", count}})
                          << '\n';
            else if (request.gone)
                std::printf("No controller connected\n");
            else
                std::printf("Controller connected (%d on USB)\n", count);
            return 0;
        }
        if (terminal && !told) {
            std::printf(request.gone ? "Waiting until every controller is disconnected..."
                                     : "Waiting for a controller on USB...");
            std::fflush(stdout);
            told = true;
        }
        int wait_ms = -1;
        if (deadline) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - clock::now()).count();
            if (left <= 0) {
                if (told)
                    std::printf("\n");
                std::fprintf(stderr, "ERROR : %s within %s s\n",
                             request.gone ? "a controller is still connected"
                                          : "no controller connected",
                             request.timeout.c_str());
                return 1;
            }
            wait_ms = static_cast<int>(std::min<long long>(left, 24 * 3600 * 1000));
        }
        if (watch->wait_for_change(wait_ms) == platform::usb_bus_watch::outcome::failed) {
            if (told)
                std::printf("\n");
            std::fprintf(stderr, "ERROR : the USB bus's device events stopped\n");
            return 1;
        }
    }
}

} // namespace vortlink::ctl
