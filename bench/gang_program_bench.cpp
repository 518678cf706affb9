// Production-line timings of quorrelctl against quorrel-sim with four simulated USB controllers:
// programming all four at once (--usb all) against programming one, and how soon `quorrelctl
// wait` returns after a controller is plugged in or unplugged. Prints the medians; exits 1 when
// the gang takes more than twice one controller's time or a wait takes 100 ms or more.
//
// Run it from the build tree: bench/gang_program_bench [rounds]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "support/simulator_process.h"
#include "tool_run.h"
#include "support/temp_directory.h"
#include "support/srec_cat.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr uint32_t image_base = 0x10000;
constexpr std::size_t image_size = 0x10000;

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double timed_run(const std::vector<std::string> &args) {
    return vortlink::bench::timed_run(QUORRELCTL_PATH, args);
}

// Milliseconds from the bus change to the waiting tool's exit.
double wait_latency(vortlink::test::simulator_process &sim, const std::vector<std::string> &args,
                    const std::string &change) {
    const pid_t pid = vortlink::bench::spawn_tool(QUORRELCTL_PATH, args);
    // Time to start and settle on the bus's events.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    sim.inject(change);
    const auto changed = clock_type::now();
    const int status = vortlink::bench::reap(pid);
    const std::chrono::duration<double, std::milli> elapsed = clock_type::now() - changed;
    return status == 0 ? elapsed.count() : -1;
}

} // namespace

int main(int argc, char **argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    vortlink::test::temp_directory dir;
    setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
    setenv("VORTLINK_SHARED_NAME", ("/vortlink-gang-bench-" + std::to_string(getpid())).c_str(), 1);

    std::vector<uint8_t> image = vortlink::test::known_bytes(image_size, 21);
    const uint32_t body_start = image_base + 0x100, body_end = image_base + image_size;
    for (int i = 0; i < 4; ++i) {
        image[0x4A + i] = static_cast<uint8_t>(body_start >> (24 - 8 * i));
        image[0x4E + i] = static_cast<uint8_t>(body_end >> (24 - 8 * i));
    }
    const std::string path = vortlink::test::srec_cat_convert(dir.file("app.bin"), image,
                                                              image_base, {"-address-length=3", "-obs=16"});
    if (path.empty()) {
        std::fprintf(stderr, "srec_cat could not make the image\n");
        return 1;
    }

    vortlink::test::simulator_process sim(vortlink::test::with_hid,
                                          {"--usb-devices", "4", "--boot-loader"});
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);

    std::vector<double> one, all;
    for (int round = 0; round < rounds; ++round) {
        one.push_back(timed_run({"--usb", "0", "program", path}));
        all.push_back(timed_run({"--usb", "all", "program", path}));
    }
    if (std::min(*std::min_element(one.begin(), one.end()),
                 *std::min_element(all.begin(), all.end())) < 0) {
        std::fprintf(stderr, "a programming run failed\n");
        return 1;
    }
    const double ratio = median(all) / median(one);
    std::printf("program 64 KiB, one controller    median %7.1f ms over %d rounds\n", median(one),
                rounds);
    std::printf("program 64 KiB, four at once      median %7.1f ms  (%.2f x one)\n", median(all),
                ratio);

    std::vector<double> plug, unplug;
    for (int round = 0; round < 5; ++round) {
        sim.inject("unplug 1 0");
        sim.inject("unplug 2 0");
        sim.inject("unplug 3 0");
        sim.inject("unplug 4 0");
        plug.push_back(wait_latency(sim, {"wait", "--timeout", "10"}, "plug 1"));
        unplug.push_back(wait_latency(sim, {"wait", "--gone", "--timeout", "10"}, "unplug 1 0"));
    }
    std::printf("wait: plug to return              median %7.1f ms, worst %.1f ms\n",
                median(plug), *std::max_element(plug.begin(), plug.end()));
    std::printf("wait --gone: unplug to return     median %7.1f ms, worst %.1f ms\n",
                median(unplug), *std::max_element(unplug.begin(), unplug.end()));
    const bool waits_fast = *std::max_element(plug.begin(), plug.end()) < 100 &&
                            *std::max_element(unplug.begin(), unplug.end()) < 100 &&
                            *std::min_element(plug.begin(), plug.end()) >= 0 &&
                            *std::min_element(unplug.begin(), unplug.end()) >= 0;
    return ratio <= 2.0 && waits_fast ? 0 : 1;
}
