#pragma once
// A quorrel-sim process for one test: started on a free TCP port, driven through its control
// port, stopped by its pid. Any test (unit or end to end) that needs a controller uses it. A
// Windows test program asks the launcher named by VORTLINK_SIM_LAUNCHER (HOST:PORT) to start and
// stop a simulator of this machine for it.

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vortlink::test {

// Asks simulator_process for the simulated USB bus too.
struct with_hid_t {};
inline constexpr with_hid_t with_hid{};

class simulator_process {
  public:
    // Starts QUORREL_SIM_PATH with --tcp-port 0 and the extra arguments and waits (10 s at most)
    // for it to be ready. A simulator that does not come up fails the test and throws.
    explicit simulator_process(std::vector<std::string> extra_args = {});
    // The same with --hid-socket on a path of its own in the working directory (under /tmp
    // when that path is too long for a socket address), or with --hid-tcp-port 0 when
    // VORTLINK_TEST_HID_BUS is "tcp".
    simulator_process(with_hid_t, std::vector<std::string> extra_args = {});
    // Stops the process as stop() does; a simulator that did not exit with 0 fails the test.
    ~simulator_process();
    simulator_process(const simulator_process &) = delete;
    simulator_process &operator=(const simulator_process &) = delete;

    uint16_t tcp_port() const { return tcp_port_; }
    uint16_t control_port() const { return control_port_; }
    pid_t pid() const { return pid_; }
    // The simulated bus as VORTLINK_HID_SIM names it (with_hid, or --hid-socket or
    // --hid-tcp-port among the extra arguments): a socket path or tcp:127.0.0.1:PORT; empty
    // without one.
    const std::string &hid_socket() const { return hid_socket_; }

    // Sends one control command and returns the reply line without its line end. A control
    // connection that fails fails the test and gives "error harness: <why>".
    std::string control(const std::string &line);
    // control(), expecting an "ok" reply.
    void inject(const std::string &fault);
    // The request frames the simulator received since start-up or clear_frames().
    std::vector<std::vector<uint8_t>> frames();
    void clear_frames();
    // The output reports controller `device` received since start-up or clear_frames(), whole.
    std::vector<std::vector<uint8_t>> usb_frames(unsigned device = 1);
    // The feature reports controller `device` received, whole.
    std::vector<std::vector<uint8_t>> features(unsigned device = 1);
    // Sends a command answered "ok <count> <hex> ..." and returns the byte strings; a reply of
    // another form fails the test and gives none.
    std::vector<std::vector<uint8_t>> byte_list(const std::string &command);

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
    std::string hid_socket_;
    uint16_t tcp_port_ = 0;
    uint16_t control_port_ = 0;
    bool stopped_ = false;
    std::optional<int> exit_status_;

    std::mutex control_mutex_;
    int control_fd_ = -1;
    // A Windows program's simulator is started by the native launcher (sim_launcher.py): this
    // connection to it stands for the process.
    int launcher_fd_ = -1;
    std::string control_pending_;
};

} // namespace vortlink::test
