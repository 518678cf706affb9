#include "support/simulator_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>
#include <string_view>

extern char **environ;

namespace vortlink::test {

namespace {

using steady = std::chrono::steady_clock;

constexpr auto start_limit = std::chrono::seconds(10);
constexpr auto control_reply_limit = std::chrono::seconds(10);

// Closes a descriptor when the scope ends unless it is released.
class fd_guard {
  public:
    explicit fd_guard(int fd) : fd_(fd) {}
    ~fd_guard() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    fd_guard(const fd_guard &) = delete;
    fd_guard &operator=(const fd_guard &) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

int remaining_ms(steady::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Reads from fd until `text` holds a line end; false at end of file, on error or at the
// deadline.
bool read_line(int fd, std::string &buffer, std::string &line, steady::time_point deadline) {
    for (;;) {
        const std::size_t end = buffer.find('\n');
        if (end != std::string::npos) {
            line = buffer.substr(0, end);
            buffer.erase(0, end + 1);
            return true;
        }
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, remaining_ms(deadline));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        char chunk[1024];
        const ssize_t received = ::read(fd, chunk, sizeof chunk);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return false;
        buffer.append(chunk, static_cast<std::size_t>(received));
    }
}

std::optional<uint16_t> port_after(std::string_view line, std::string_view prefix) {
    if (!line.starts_with(prefix))
        return std::nullopt;
    line.remove_prefix(prefix.size());
    unsigned value = 0;
    const auto [end, error] = std::from_chars(line.data(), line.data() + line.size(), value);
    if (line.empty() || error != std::errc() || end != line.data() + line.size() || value == 0 ||
        value > 0xFFFF)
        return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::string describe_status(int status) {
    if (WIFEXITED(status))
        return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return std::string("signal ") + strsignal(WTERMSIG(status));
    return "wait status " + std::to_string(status);
}

// A socket path no other simulator of this or another test program uses.
std::string fresh_hid_socket_path() {
    static std::atomic<unsigned> serial{0};
    const std::string name = "hid-" + std::to_string(::getpid()) + "-" +
                             std::to_string(serial.fetch_add(1) + 1) + ".sock";
    char directory[PATH_MAX];
    if (::getcwd(directory, sizeof directory) != nullptr) {
        std::string path = std::string(directory) + "/" + name;
        if (path.size() < sizeof(sockaddr_un::sun_path))
            return path;
    }
    return "/tmp/vortlink-" + name;
}

int wait_for_exit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return status;
}

} // namespace

simulator_process::simulator_process(std::vector<std::string> extra_args) {
    start(extra_args);
}

simulator_process::simulator_process(with_hid_t, std::vector<std::string> extra_args) {
    // VORTLINK_TEST_HID_BUS=tcp runs the same tests over the bus's TCP port.
    const char *bus = std::getenv("VORTLINK_TEST_HID_BUS");
    if (bus != nullptr && std::string_view(bus) == "tcp") {
        extra_args.insert(extra_args.begin(), {"--hid-tcp-port", "0"});
    } else {
        hid_socket_ = fresh_hid_socket_path();
        extra_args.insert(extra_args.begin(), {"--hid-socket", hid_socket_});
    }
    start(extra_args);
}

simulator_process::~simulator_process() {
    if (control_fd_ >= 0)
        ::close(control_fd_);
    const std::optional<int> status = stop();
    if (!status || *status != 0)
        ADD_FAILURE() << "quorrel-sim (pid " << pid_ << ") did not end cleanly: "
                      << (status ? describe_status(*status) : "killed after SIGTERM");
}

void simulator_process::start(const std::vector<std::string> &extra_args) {
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << std::strerror(errno);
        throw std::runtime_error("cannot start quorrel-sim");
    }
    fd_guard output(pipe_ends[0]);
    fd_guard child_output(pipe_ends[1]);

    // QUORREL_SIM names another build of the simulator, for benchmarks run outside this tree.
    const char *chosen = std::getenv("QUORREL_SIM");
    const std::string program = chosen != nullptr && *chosen != '\0' ? chosen : QUORREL_SIM_PATH;
    std::vector<std::string> args{program, "--tcp-port", "0"};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, child_output.get(), STDOUT_FILENO);
    // Descriptors the test left inheritable (a library socket, say) must not live on in the
    // simulator, or closing them in the test would not end the connection.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    // The child starts with no blocked signals and default actions, whatever the test set up.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t no_signals;
    sigemptyset(&no_signals);
    posix_spawnattr_setsigmask(&attributes, &no_signals);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal_number : {SIGTERM, SIGINT, SIGPIPE, SIGCHLD})
        sigaddset(&defaults, signal_number);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned =
        ::posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid_ = -1;
        ADD_FAILURE() << "posix_spawn " << program << ": " << std::strerror(spawned);
        throw std::runtime_error("cannot start quorrel-sim");
    }
    ::close(child_output.release());

    const steady::time_point deadline = steady::now() + start_limit;
    std::string buffer;
    // tcp-port, control-port, hid-socket and hid-tcp-port when there is such a bus, then ready.
    constexpr std::size_t most_lines = 5;
    std::vector<std::string> lines;
    std::string why;
    while (lines.size() < most_lines && (lines.empty() || lines.back() != "ready")) {
        std::string line;
        if (!read_line(output.get(), buffer, line, deadline)) {
            why = "no start-up line within 10 s or output ended";
            break;
        }
        lines.push_back(std::move(line));
    }
    if (why.empty()) {
        constexpr std::string_view socket_prefix = "hid-socket ";
        constexpr std::string_view tcp_prefix = "hid-tcp-port ";
        const auto tcp = port_after(lines[0], "tcp-port ");
        const auto control =
            lines.size() > 1 ? port_after(lines[1], "control-port ") : std::optional<uint16_t>();
        std::string announced_socket;
        std::optional<uint16_t> bus_port;
        bool lines_right = tcp && control && lines.size() >= 3 && lines.back() == "ready";
        for (std::size_t i = 2; lines_right && i + 1 < lines.size(); ++i) {
            const auto port = port_after(lines[i], tcp_prefix);
            if (lines[i].starts_with(socket_prefix) && announced_socket.empty())
                announced_socket = lines[i].substr(socket_prefix.size());
            else if (port && !bus_port)
                bus_port = port;
            else
                lines_right = false;
        }
        // The bus as VORTLINK_HID_SIM names it: the unix socket when there is one.
        const bool socket_right = hid_socket_.empty() || announced_socket == hid_socket_;
        if (!lines_right || !socket_right) {
            why = "unexpected start-up lines";
            for (const std::string &line : lines)
                why += " \"" + line + "\"";
        } else {
            tcp_port_ = *tcp;
            control_port_ = *control;
            hid_socket_ = !announced_socket.empty() ? announced_socket
                          : bus_port ? "tcp:127.0.0.1:" + std::to_string(*bus_port)
                                     : std::string();
            return;
        }
    }
    kill_and_reap();
    ADD_FAILURE() << "quorrel-sim did not become ready: " << why
                  << (exit_status_ ? " (" + describe_status(*exit_status_) + ")" : "");
    throw std::runtime_error("quorrel-sim did not become ready");
}

void simulator_process::kill_and_reap() {
    if (pid_ < 0 || stopped_)
        return;
    ::kill(pid_, SIGKILL);
    exit_status_ = wait_for_exit(pid_);
    stopped_ = true;
}

std::optional<int> simulator_process::stop(int signal, std::chrono::milliseconds limit) {
    if (stopped_ || pid_ < 0)
        return exit_status_;
    const pid_t child = pid_;
    // waitpid has no time-out; a helper thread waits so that this one can give up.
    std::future<int> exited =
        std::async(std::launch::async, [child] { return wait_for_exit(child); });
    ::kill(child, signal);
    if (exited.wait_for(limit) == std::future_status::ready) {
        exit_status_ = exited.get();
    } else {
        ::kill(child, SIGKILL);
        (void)exited.get();
        exit_status_ = std::nullopt;
    }
    stopped_ = true;
    return exit_status_;
}

std::string simulator_process::fail_control(const std::string &why) {
    if (control_fd_ >= 0)
        ::close(control_fd_);
    control_fd_ = -1;
    control_pending_.clear();
    ADD_FAILURE() << "quorrel-sim control: " << why;
    return "error harness: " + why;
}

std::string simulator_process::control(const std::string &line) {
    std::lock_guard lock(control_mutex_);
    if (line.find('\n') != std::string::npos)
        return fail_control("a command is one line");
    if (control_fd_ < 0) {
        fd_guard socket_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (socket_fd.get() < 0)
            return fail_control(std::string("socket: ") + std::strerror(errno));
        sockaddr_in endpoint{};
        endpoint.sin_family = AF_INET;
        endpoint.sin_port = htons(control_port_);
        endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket_fd.get(), reinterpret_cast<const sockaddr *>(&endpoint),
                      sizeof endpoint) != 0)
            return fail_control(std::string("connect: ") + std::strerror(errno));
        control_fd_ = socket_fd.release();
    }
    const std::string request = line + '\n';
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t written =
            ::send(control_fd_, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return fail_control(std::string("send: ") + std::strerror(errno));
        sent += static_cast<std::size_t>(written);
    }
    std::string reply;
    if (!read_line(control_fd_, control_pending_, reply, steady::now() + control_reply_limit))
        return fail_control("no reply to \"" + line + "\"");
    return reply;
}

} // namespace vortlink::test
