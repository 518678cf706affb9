#pragma once
// A quorrel-sim process for one test: started on a free TCP port, driven through its control
// port, stopped by its pid. Any test (unit or end to end) that needs a controller uses it.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vortlink::test {

class simulator_process {
  public:
    // Starts QUORREL_SIM_PATH with --tcp-port 0 and the extra arguments and waits (10 s at most)
    // for it to be ready. A simulator that does not come up fails the test and throws.
    explicit simulator_process(std::vector<std::string> extra_args = {});
    // Stops the process as stop() does; a simulator that did not exit with 0 fails the test.
    ~simulator_process();
    simulator_process(const simulator_process &) = delete;
    simulator_process &operator=(const simulator_process &) = delete;

    uint16_t tcp_port() const { return tcp_port_; }
    uint16_t control_port() const { return control_port_; }
    pid_t pid() const { return pid_; }

    // Sends one control command and returns the reply line without its line end. A control
    // connection that fails fails the test and gives "error harness: <why>".
    std::string control(const std::string &line);
    // control(), expecting an "ok" reply.
    void inject(const std::string &fault);
    // The request frames the simulator received since start-up or clear_frames().
    std::vector<std::vector<uint8_t>> frames();
    void clear_frames();

    // Sends the signal and waits up to `limit` for the process to end, then kills it. Returns
    // its wait status, or nullopt when it had to be killed; after the first call, the result
    // of that call.
    std::optional<int> stop(int signal = SIGTERM,
                            std::chrono::milliseconds limit = std::chrono::seconds(5));

  private:
    void start(const std::vector<std::string> &extra_args);
    void kill_and_reap();
    std::string fail_control(const std::string &why);

    pid_t pid_ = -1;
    uint16_t tcp_port_ = 0;
    uint16_t control_port_ = 0;
    bool stopped_ = false;
    std::optional<int> exit_status_;

    std::mutex control_mutex_;
    int control_fd_ = -1;
    std::string control_pending_;
};

} // namespace vortlink::test
