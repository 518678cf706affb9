// quorrel-sim: simulated Quorrel controllers on TCP and on a simulated USB HID bus, with a control
// port for fault injection.

#include <poll.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "control_server.h"
#include "device.h"
#include "hid_server.h"
#include "options.h"
#include "socket_io.h"
#include "stream_server.h"
#include "tcp_server.h"

namespace {

using namespace vortlink::sim;
using steady = std::chrono::steady_clock;

// After a failed accept (out of descriptors, say) the listener stays readable; it is left alone
// for this long instead of being retried in a tight loop.
constexpr auto accept_backoff = std::chrono::milliseconds(100);

// Termination requests arrive on a descriptor; blocked before any thread starts, so every
// thread inherits the mask and none is interrupted by them.
int open_signal_fd(vortlink::sim::unique_fd &signals) {
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGTERM);
    sigaddset(&mask, SIGINT);
    if (const int error = pthread_sigmask(SIG_BLOCK, &mask, nullptr); error != 0)
        return error;
    signals.reset(::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK));
    return signals.valid() ? 0 : errno;
}

// A restarting controller leaves the USB bus for the restart's time, and its TCP connections
// end (the server keeps listening).
void leave_bus_on_restart(device_list &devices, tcp_server &tcp_side) {
    for (const auto &unit : devices) {
        device &target = *unit;
        target.model.add_restart_listener([&target](firmware_kind, uint32_t off_bus_ms) {
            target.usb.unplug(off_bus_ms);
            if (off_bus_ms == 0) // gone and back at once, not gone until plugged
                target.usb.plug();
        });
    }
    devices.front()->model.add_restart_listener(
        [&tcp_side](firmware_kind, uint32_t) { tcp_side.drop_clients(); });
}

struct watched_listener {
    stream_server *server;
    int fd;
    steady::time_point resume_at;
};

// Accepts on every listener of the servers until a termination request arrives.
void accept_until_stopped(int signals, std::initializer_list<stream_server *> servers) {
    std::vector<watched_listener> listeners;
    for (stream_server *server : servers)
        for (const int fd : server->listeners())
            listeners.push_back({server, fd, {}});
    std::vector<pollfd> watched(listeners.size() + 1);
    for (;;) {
        const steady::time_point now = steady::now();
        watched[0] = {signals, POLLIN, 0};
        int timeout_ms = -1;
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            // poll skips a negative descriptor: a listener in its back-off is not watched.
            watched[i + 1] = {listeners[i].resume_at <= now ? listeners[i].fd : -1, POLLIN, 0};
            if (listeners[i].resume_at <= now)
                continue;
            const auto wait =
                std::chrono::ceil<std::chrono::milliseconds>(listeners[i].resume_at - now);
            const int wait_ms = static_cast<int>(wait.count());
            timeout_ms = timeout_ms < 0 ? wait_ms : std::min(timeout_ms, wait_ms);
        }
        if (::poll(watched.data(), watched.size(), timeout_ms) < 0 && errno != EINTR) {
            std::fprintf(stderr, "quorrel-sim: poll failed: %s\n", std::strerror(errno));
            return;
        }
        if (watched[0].revents != 0)
            return;
        for (std::size_t i = 0; i < listeners.size(); ++i) {
            if (watched[i + 1].revents == 0)
                continue;
            if (const int error = listeners[i].server->accept_waiting(listeners[i].fd); error != 0) {
                std::fprintf(stderr, "quorrel-sim: accept failed: %s\n", std::strerror(error));
                listeners[i].resume_at = steady::now() + accept_backoff;
            }
        }
    }
}

int run(const options &settings) {
    std::signal(SIGPIPE, SIG_IGN);
    unique_fd signals;
    if (const int error = open_signal_fd(signals); error != 0) {
        std::fprintf(stderr, "quorrel-sim: cannot watch signals: %s\n", std::strerror(error));
        return 1;
    }
    stop_signal stop;
    if (const int error = stop.open(); error != 0) {
        std::fprintf(stderr, "quorrel-sim: cannot create the stop event: %s\n",
                     std::strerror(error));
        return 1;
    }
    // Before any thread starts, so that every connection's thread inherits it.
    if (settings.wire.any())
        sharpen_timers();
    device_list devices;
    for (std::size_t number = 1; number <= settings.usb_devices; ++number) {
        usb_identity identity = identity_of(settings, number);
        std::string key = "sim-usb-" + std::to_string(number);
        // The manufacturing block and the state files carry the serial number the bus shows.
        controller_settings unit = settings.controller;
        unit.serial_number = identity.serial.empty() ? key : identity.serial;
        unit.hw_version = identity.hw_version;
        devices.push_back(
            std::make_unique<device>(unit, std::move(key), std::move(identity), settings.wire));
    }
    tcp_server commands(*devices.front(), stop);
    control_server control(devices, commands, stop);
    hid_server usb_bus(devices, settings.layout, stop);
    leave_bus_on_restart(devices, commands);
    if (const int error = commands.open(settings.bind_address, settings.tcp_port); error != 0) {
        std::fprintf(stderr, "quorrel-sim: cannot listen on %s:%u: %s\n",
                     settings.bind_address.c_str(), settings.tcp_port, std::strerror(error));
        return 1;
    }
    if (const int error = control.open(settings.control_port); error != 0) {
        std::fprintf(stderr, "quorrel-sim: cannot listen on 127.0.0.1:%u for control: %s\n",
                     settings.control_port, std::strerror(error));
        return 1;
    }
    if (!settings.hid_socket.empty()) {
        if (const int error = usb_bus.open(settings.hid_socket); error != 0) {
            std::fprintf(stderr, "quorrel-sim: cannot listen on %s: %s\n",
                         settings.hid_socket.c_str(), std::strerror(error));
            return 1;
        }
    }
    if (settings.hid_tcp_port) {
        if (const int error = usb_bus.open_tcp(*settings.hid_tcp_port); error != 0) {
            std::fprintf(stderr, "quorrel-sim: cannot listen on 127.0.0.1:%u for the USB bus: %s\n",
                         *settings.hid_tcp_port, std::strerror(error));
            return 1;
        }
    }
    // On stderr: the start-up lines on stdout are what clients parse.
    if (settings.wire.any())
        std::fprintf(stderr, "quorrel-sim: %s\n", describe_wire(settings.wire).c_str());
    std::printf("tcp-port %u\ncontrol-port %u\n", commands.port(), control.port());
    if (!settings.hid_socket.empty())
        std::printf("hid-socket %s\n", settings.hid_socket.c_str());
    if (settings.hid_tcp_port)
        std::printf("hid-tcp-port %u\n", usb_bus.tcp_port());
    std::printf("ready\n");
    std::fflush(stdout);

    accept_until_stopped(signals.get(), {&commands.streams(), &control.streams(), &usb_bus.streams()});
    stop.raise();
    for (const auto &controller : devices)
        controller->usb.stop_waiting();
    control.streams().close();
    usb_bus.streams().close();
    commands.streams().close();
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    options settings;
    std::string error;
    switch (parse_options(argc, argv, settings, error)) {
    case parse_outcome::help:
        std::fputs(usage_text, stdout);
        return 0;
    case parse_outcome::version:
        std::puts("quorrel-sim " QUORREL_SIM_VERSION);
        return 0;
    case parse_outcome::invalid:
        std::fprintf(stderr, "quorrel-sim: %s\nTry 'quorrel-sim --help'.\n", error.c_str());
        return 2;
    case parse_outcome::run:
        break;
    }
    return run(settings);
}
