// How much processor time a thread burns while it waits: a status request whose reply never
// comes (the simulator drops it), and the message pump's own wait. Prints wall and CPU time
// and the share of one core; exits 1 when a wait uses 5 % of a core or more.

#include <cstdio>
#include <ctime>

#include "core/exchange.h"
#include "core/platform/clock.h"
#include "core/settings.h"
#include "support/simulator_process.h"
#include "vortlink.h"

namespace {
double thread_cpu_ms() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

template <typename Wait> bool measure(const char *what, Wait wait) {
    const uint32_t wall_start = vortlink::platform::monotonic_ms();
    const double cpu_start = thread_cpu_ms();
    wait();
    const double cpu = thread_cpu_ms() - cpu_start;
    const uint32_t wall = vortlink::platform::monotonic_ms() - wall_start;
    const double share = wall > 0 ? 100.0 * cpu / wall : 0.0;
    std::printf("%-44s wall %5u ms  cpu %7.3f ms  %5.2f %% of a core\n", what, wall, cpu, share);
    return share < 5.0;
}
} // namespace

int main() {
    using namespace vortlink;
    test::simulator_process sim;
    if (open_settings_key(library_settings_key) != status::ok ||
        write_setting_dword("TCP Port", sim.tcp_port()) != status::ok ||
        tkcmdset_connect(0, 0, "127.0.0.1") != status::ok) {
        std::fprintf(stderr, "cannot connect to the simulator\n");
        return 1;
    }
    bool within = true;
    for (int round = 0; round < 3; ++round) {
        sim.inject("drop");
        within &= measure("status reply that never comes (1500 ms)", [] {
            uint16_t word = 0;
            if (tkcmdset_status(0, &word) != TKCMDSET_REPLY_TIMEOUT)
                std::fprintf(stderr, "unexpected result\n");
        });
    }
    within &= measure("pump_messages(1000) without a hook", [] { (void)pump_messages(1000); });
    tkcmdset_set_message_pump([](void *) { return 0; }, nullptr);
    within &= measure("pump_messages(1000) with an idle hook", [] { (void)pump_messages(1000); });
    tkcmdset_set_message_pump(nullptr, nullptr);
    return within ? 0 : 1;
}
