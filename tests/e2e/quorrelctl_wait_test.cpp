// quorrelctl wait against the simulated USB bus: it returns when a controller is plugged in or,
// with --gone, when the last one is unplugged; it sleeps in between instead of polling; it gives
// up with exit 1 at its time-out.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/quorrelctl_harness.h"
#include "support/simulator_process.h"
#include "support/spawned_program.h"

using vortlink::test::simulator_process;
using namespace vortlink::test::quorrelctl_harness;

namespace {

using clock_type = std::chrono::steady_clock;

// A quorrelctl running in the background, its standard output in a file.
class background_tool {
  public:
    explicit background_tool(const std::vector<std::string> &args) {
        pid_ = vortlink::test::spawn_program(QUORRELCTL_PATH, args, "wait.out", "wait.err");
        EXPECT_GT(pid_, 0);
        reaped_ = std::async(std::launch::async, [pid = pid_] {
            int status = 0;
            rusage usage{};
            wait4(pid, &status, 0, &usage);
            return std::pair{status, usage};
        });
    }
    ~background_tool() {
        if (reaped_.valid() &&
            reaped_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) {
            kill(pid_, SIGKILL);
            reaped_.wait();
        }
    }

    // The exit status once it ended within the limit; -1 when it is still running.
    int exit_within(std::chrono::milliseconds limit) {
        if (reaped_.wait_for(limit) != std::future_status::ready)
            return -1;
        ended_at = clock_type::now();
        const auto [status, usage] = reaped_.get();
        cpu = std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
              std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool running() {
        return reaped_.wait_for(std::chrono::seconds(0)) != std::future_status::ready;
    }

    clock_type::time_point ended_at;
    std::chrono::microseconds cpu{0};

  private:
    pid_t pid_ = -1;
    std::future<std::pair<int, rusage>> reaped_;
};

class QuorrelctlWait : public ::testing::Test {
  protected:
    QuorrelctlWait() : sim(vortlink::test::with_hid, {"--usb-devices", "2"}) {}
    void SetUp() override { setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1); }
    void TearDown() override { unsetenv("VORTLINK_HID_SIM"); }

    simulator_process sim;
};

} // namespace

TEST_F(QuorrelctlWait, ReturnsWhenAControllerIsPluggedIn) {
    sim.inject("unplug 1 0");
    sim.inject("unplug 2 0");
    background_tool waiting({"--json", "wait"});
    // Long enough to be asleep on the bus; a tool that polled would burn CPU meanwhile.
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_TRUE(waiting.running()) << "nothing is connected yet";
    sim.inject("plug 2");
    const auto plugged = clock_type::now();
    ASSERT_EQ(waiting.exit_within(std::chrono::seconds(5)), 0) << slurp("wait.err");
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(waiting.ended_at - plugged);
    RecordProperty("plug_to_exit_ms", static_cast<int>(latency.count()));
    std::printf("wait returned %lld ms after the plug\n", static_cast<long long>(latency.count()));
    EXPECT_LT(waiting.cpu, std::chrono::milliseconds(300)) << "it slept while it waited";
    const auto answer = nlohmann::json::parse(slurp("wait.out"));
    EXPECT_EQ(answer.at("event"), "connected");
    EXPECT_EQ(answer.at("controllers"), 1);
}

TEST_F(QuorrelctlWait, GoneReturnsWhenTheLastControllerIsUnplugged) {
    background_tool waiting({"wait", "--gone"});
    sim.inject("unplug 1 0");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(waiting.running()) << "the second controller is still there";
    sim.inject("unplug 2 0");
    const auto unplugged = clock_type::now();
    ASSERT_EQ(waiting.exit_within(std::chrono::seconds(5)), 0) << slurp("wait.err");
    const auto latency =
        std::chrono::duration_cast<std::chrono::milliseconds>(waiting.ended_at - unplugged);
    std::printf("wait --gone returned %lld ms after the unplug\n",
                static_cast<long long>(latency.count()));
    EXPECT_EQ(slurp("wait.out"), "No controller connected\n");
}

TEST_F(QuorrelctlWait, SeesAControllerComeBackAfterATimedUnplug) {
    sim.inject("unplug 1 0");
    sim.inject("unplug 2 600");
    background_tool waiting({"wait"});
    ASSERT_EQ(waiting.exit_within(std::chrono::seconds(5)), 0) << slurp("wait.err");
    EXPECT_EQ(slurp("wait.out"), "Controller connected (1 on USB)\n");
}

TEST_F(QuorrelctlWait, GivesUpAtItsTimeout) {
    sim.inject("unplug 1 0");
    sim.inject("unplug 2 0");
    const auto start = clock_type::now();
    const auto result = quorrelctl({"wait", "--timeout", "0.3"});
    EXPECT_EQ(result.exit_status, 1);
    EXPECT_GE(clock_type::now() - start, std::chrono::milliseconds(300));
    EXPECT_EQ(result.err, "ERROR : no controller connected within 0.3 s\n");
    for (const char *bad : {"0", "-1", "abc", "nan"}) {
        const auto refused = quorrelctl({"wait", "--timeout", bad});
        EXPECT_EQ(refused.exit_status, 2) << bad;
        EXPECT_NE(refused.err.find("--timeout"), std::string::npos) << refused.err;
    }
}

TEST_F(QuorrelctlWait, ASimulatorThatGoesAwayEndsTheWait) {
    sim.inject("unplug 1 0");
    sim.inject("unplug 2 0");
    background_tool waiting({"wait"});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(sim.stop().has_value());
    EXPECT_EQ(waiting.exit_within(std::chrono::seconds(5)), 1);
    EXPECT_NE(slurp("wait.err").find("ERROR : "), std::string::npos);
}
