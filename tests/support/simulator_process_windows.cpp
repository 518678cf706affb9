// Windows test programs run under Wine, which cannot reliably start a program of the machine it
// runs on and read its output. A native launcher (sim_launcher.py, named by
// VORTLINK_SIM_LAUNCHER=HOST:PORT) starts and stops each simulator for them; the connection to
// the launcher stands for the process. The control port is reached directly.
#include "support/simulator_process.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

namespace vortlink::test {

namespace {

using steady = std::chrono::steady_clock;
constexpr auto reply_limit = std::chrono::seconds(10);

bool winsock_ready() {
    static const bool started = [] {
        WSADATA data{};
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

SOCKET native(int fd) {
    return static_cast<SOCKET>(static_cast<unsigned>(fd));
}

// A loopback or named host's port, connected; -1 on failure.
int connect_to(const std::string &host, uint16_t port) {
    if (!winsock_ready())
        return -1;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *answers = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &answers) != 0)
        return -1;
    SOCKET fd = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd != INVALID_SOCKET && connect(fd, answers->ai_addr, static_cast<int>(answers->ai_addrlen)) != 0) {
        closesocket(fd);
        fd = INVALID_SOCKET;
    }
    freeaddrinfo(answers);
    return fd == INVALID_SOCKET ? -1 : static_cast<int>(fd);
}

void close_fd(int &fd) {
    if (fd >= 0)
        closesocket(native(fd));
    fd = -1;
}

bool send_line(int fd, const std::string &line) {
    const std::string text = line + '\n';
    for (std::size_t sent = 0; sent < text.size();) {
        const int written = send(native(fd), text.data() + sent, static_cast<int>(text.size() - sent), 0);
        if (written <= 0)
            return false;
        sent += static_cast<std::size_t>(written);
    }
    return true;
}

bool read_line(int fd, std::string &buffer, std::string &line, steady::time_point deadline) {
    for (;;) {
        if (const std::size_t end = buffer.find('\n'); end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now());
        WSAPOLLFD readable{native(fd), POLLRDNORM, 0};
        if (left.count() <= 0 || WSAPoll(&readable, 1, static_cast<INT>(left.count())) <= 0)
            return false;
        char chunk[1024];
        const int received = recv(native(fd), chunk, sizeof chunk, 0);
        if (received <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(received));
    }
}

std::optional<unsigned> number_after(std::string_view line, std::string_view prefix) {
    if (!line.starts_with(prefix))
        return std::nullopt;
    line.remove_prefix(prefix.size());
    unsigned value = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (line.empty() || error != std::errc() || end != line.data() + line.size())
        return std::nullopt;
    return value;
}

} // namespace

simulator_process::simulator_process(std::vector<std::string> extra_args) {
    start(extra_args);
}

// Windows programs reach the simulated bus over its TCP port.
simulator_process::simulator_process(with_hid_t, std::vector<std::string> extra_args) {
    extra_args.insert(extra_args.begin(), {"--hid-tcp-port", "0"});
    start(extra_args);
}

simulator_process::~simulator_process() {
    close_fd(control_fd_);
    const std::optional<int> status = stop();
    if (!status || *status != 0)
        ADD_FAILURE() << "quorrel-sim (pid " << pid_ << ") did not end cleanly: "
                      << (status ? "wait status " + std::to_string(*status) : "killed");
}

void simulator_process::start(const std::vector<std::string> &extra_args) {
    const char *launcher = std::getenv("VORTLINK_SIM_LAUNCHER");
    const std::string endpoint = launcher != nullptr ? launcher : "";
    const std::size_t colon = endpoint.rfind(':');
    const auto port = colon == std::string::npos
                          ? std::nullopt
                          : number_after(std::string_view(endpoint).substr(colon), ":");
    if (!port || *port == 0 || *port > 0xFFFF ||
        (launcher_fd_ = connect_to(endpoint.substr(0, colon), static_cast<uint16_t>(*port))) < 0) {
        ADD_FAILURE() << "no simulator launcher at VORTLINK_SIM_LAUNCHER=\"" << endpoint << "\"";
        throw std::runtime_error("cannot start quorrel-sim");
    }
    std::string arguments;
    for (const std::string &arg : extra_args)
        arguments += (arguments.empty() ? "" : "\t") + arg;
    const steady::time_point deadline = steady::now() + reply_limit;
    std::string buffer;
    std::string line;
    std::string seen;
    bool ready = send_line(launcher_fd_, arguments);
    while (ready && read_line(launcher_fd_, buffer, line, deadline) && line != "ready") {
        seen += " \"" + line + "\"";
        if (auto pid = number_after(line, "pid "))
            pid_ = static_cast<pid_t>(*pid);
        else if (auto tcp = number_after(line, "tcp-port "))
            tcp_port_ = static_cast<uint16_t>(*tcp);
        else if (auto control = number_after(line, "control-port "))
            control_port_ = static_cast<uint16_t>(*control);
        else if (auto bus = number_after(line, "hid-tcp-port "))
            hid_socket_ = "tcp:127.0.0.1:" + std::to_string(*bus);
        else
            ready = false;
    }
    if (ready && line == "ready" && tcp_port_ != 0 && control_port_ != 0)
        return;
    close_fd(launcher_fd_);
    stopped_ = true;
    ADD_FAILURE() << "quorrel-sim did not become ready:" << seen;
    throw std::runtime_error("quorrel-sim did not become ready");
}

void simulator_process::kill_and_reap() {
    (void)stop(SIGTERM, std::chrono::milliseconds(0));
}

std::optional<int> simulator_process::stop(int signal, std::chrono::milliseconds limit) {
    if (stopped_)
        return exit_status_;
    stopped_ = true;
    std::string buffer;
    std::string line;
    // The launcher waits for the limit itself; its answer comes within it.
    if (send_line(launcher_fd_, "stop " + std::to_string(signal) + " " +
                                    std::to_string(limit.count())) &&
        read_line(launcher_fd_, buffer, line, steady::now() + limit + reply_limit)) {
        if (auto status = number_after(line, "status "))
            exit_status_ = static_cast<int>(*status);
    }
    close_fd(launcher_fd_);
    return exit_status_;
}

std::string simulator_process::fail_control(const std::string &why) {
    close_fd(control_fd_);
    control_pending_.clear();
    ADD_FAILURE() << "quorrel-sim control: " << why;
    return "error harness: " + why;
}

std::string simulator_process::control(const std::string &line) {
    std::lock_guard lock(control_mutex_);
    if (line.find('\n') != std::string::npos)
        return fail_control("a command is one line");
    if (control_fd_ < 0 && (control_fd_ = connect_to("127.0.0.1", control_port_)) < 0)
        return fail_control("connect failed");
    if (!send_line(control_fd_, line))
        return fail_control("send failed");
    std::string reply;
    if (!read_line(control_fd_, control_pending_, reply, steady::now() + reply_limit))
        return fail_control("no reply to \"" + line + "\"");
    return reply;
}

} // namespace vortlink::test
