// How close the library comes to the wire: every library figure runs against quorrel-sim next to
// its physical limit, measured turn about in the same loop against the same simulator process.
// The limits replay the very frames the library sent (taken from its trace) over a raw socket
// that does nothing but send and block in recv. Every benchmark reports the counters library_us,
// limit_us and ratio (see paired_timing.h); scripts/bench prints them as one table.

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "paired_timing.h"
#include "core/platform/hidraw_backend.h"
#include "core/settings.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "support/srec_cat.h"
#include "vortlink.h"

namespace {

using vortlink::bench::paired_timing;
using vortlink::test::simulator_process;

constexpr const char *product = TKCMDSET_PRODUCT_NAME;
constexpr const char *first_serial = "Q0000001";
// TCP slots 0 to 7 (the parallel reads use all of them); the simulated USB controller on 10.
constexpr uint8_t tcp_slot = 0;
constexpr unsigned parallel_slots = 8;
constexpr uint8_t usb_slot = 10;
constexpr uint16_t eeprom_half = 0x8000; // a block call carries at most 65535 bytes
// Iterations per round of fresh connections (see paired_timing.h); an odd number of rounds has
// a middle one.
constexpr std::size_t status_round = 1000;
constexpr std::size_t block_round = 4;
constexpr std::size_t program_round = 2;

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "wire_speed_bench: %s\n", why.c_str());
    std::exit(1);
}

simulator_process &application_sim() {
    static simulator_process sim(vortlink::test::with_hid);
    return sim;
}

simulator_process &boot_loader_sim() {
    static simulator_process sim(vortlink::test::with_hid, {"--boot-loader"});
    return sim;
}

vortlink::test::temp_directory &scratch() {
    static vortlink::test::temp_directory directory;
    return directory;
}

void use_tcp_port(uint16_t port) {
    using namespace vortlink;
    if (open_settings_key(library_settings_key) != status::ok ||
        write_setting_dword("TCP Port", port) != status::ok)
        fail("cannot write the \"TCP Port\" setting");
}

void connect_tcp(uint8_t slot, simulator_process &sim) {
    use_tcp_port(sim.tcp_port());
    if (const int16_t result = tkcmdset_connect(slot, 0, "127.0.0.1"); result != 0)
        fail("tkcmdset_connect: " + std::to_string(result));
}

void open_usb(uint8_t slot, simulator_process &sim) {
    setenv("VORTLINK_HID_SIM", sim.hid_socket().c_str(), 1);
    if (const int16_t result = tkcmdset_init_ex(slot, product, first_serial); result != 0)
        fail("tkcmdset_init_ex: " + std::to_string(result));
}

void read_eeprom_64k(uint8_t slot, std::vector<uint8_t> &into) {
    into.resize(2 * eeprom_half);
    for (uint32_t half = 0; half < 2; ++half)
        if (const int16_t result = tkcmdset_read_eemem_block(
                slot, static_cast<uint16_t>(half * eeprom_half), into.data() + half * eeprom_half,
                eeprom_half);
            result != 0)
            fail("tkcmdset_read_eemem_block: " + std::to_string(result));
}

// ---- The frames the library sent, from its own trace --------------------------------------------

struct frame_pair {
    std::vector<uint8_t> request;
    std::size_t reply_length = 0;
};

std::vector<uint8_t> bracketed_bytes(const std::string &line) {
    std::vector<uint8_t> bytes;
    const std::size_t open = line.find('[');
    const std::size_t close = line.find(']', open);
    std::istringstream hex(line.substr(open + 1, close - open - 1));
    for (std::string pair; hex >> pair;)
        bytes.push_back(static_cast<uint8_t>(std::stoul(pair, nullptr, 16)));
    return bytes;
}

std::vector<frame_pair> read_trace(const std::string &path) {
    std::vector<frame_pair> frames;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.find(" -> ") != std::string::npos)
            frames.push_back({bracketed_bytes(line), 0});
        else if (line.find(" <- ") != std::string::npos && !frames.empty())
            frames.back().reply_length = bracketed_bytes(line).size();
    }
    if (frames.empty())
        fail("no frames in the trace " + path);
    return frames;
}

// Runs `work` once with the library's trace going to a fresh file, and returns its frames.
template <typename Work> std::vector<frame_pair> traced(const std::string &name, Work work) {
    const std::string path = scratch().file(name + ".trace");
    std::remove(path.c_str()); // the trace appends
    setenv("VORTLINK_TRACE", path.c_str(), 1);
    work(path);
    unsetenv("VORTLINK_TRACE");
    return read_trace(path);
}

// ---- Raw round trips: send the request, block in recv until the reply is whole ---------------

void send_all(int fd, const uint8_t *bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t sent = ::send(fd, bytes, count, MSG_NOSIGNAL);
        if (sent <= 0)
            fail("raw send failed");
        bytes += sent;
        count -= static_cast<std::size_t>(sent);
    }
}

void receive_all(int fd, uint8_t *into, std::size_t count) {
    while (count > 0) {
        const ssize_t got = ::recv(fd, into, count, 0);
        if (got <= 0)
            fail("raw receive failed");
        into += got;
        count -= static_cast<std::size_t>(got);
    }
}

class raw_tcp {
  public:
    explicit raw_tcp(uint16_t port) : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in endpoint{};
        endpoint.sin_family = AF_INET;
        endpoint.sin_port = htons(port);
        endpoint.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const int one = 1;
        if (fd_ < 0 ||
            ::connect(fd_, reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint) != 0 ||
            ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
            fail("raw TCP connect failed");
    }
    ~raw_tcp() { ::close(fd_); }
    raw_tcp(const raw_tcp &) = delete;
    raw_tcp &operator=(const raw_tcp &) = delete;

    void replay(const std::vector<frame_pair> &frames) {
        for (const frame_pair &frame : frames) {
            send_all(fd_, frame.request.data(), frame.request.size());
            receive_all(fd_, reply_.data(), frame.reply_length);
        }
    }

  private:
    int fd_;
    std::array<uint8_t, 256> reply_{};
};

// The simulator's HID socket spoken directly: u16 length, type, payload (simulator/hid_wire.h).
class raw_hid {
  public:
    explicit raw_hid(const std::string &socket_path) {
        const std::string key = first_device_key(socket_path);
        fd_ = connect_unix(socket_path);
        request(open_device, std::vector<uint8_t>(key.begin(), key.end()));
        await(open_device | response_flag);
    }
    ~raw_hid() { ::close(fd_); }
    raw_hid(const raw_hid &) = delete;
    raw_hid &operator=(const raw_hid &) = delete;

    // The output report goes out; its write response and the reply's input report come back.
    void replay(const std::vector<frame_pair> &frames) {
        for (const frame_pair &frame : frames) {
            request(write_report, frame.request);
            bool written = false;
            bool replied = false;
            while (!written || !replied) {
                const uint8_t type = next_message();
                written |= type == (write_report | response_flag);
                replied |= type == input_report;
            }
        }
    }

  private:
    static constexpr uint8_t list_devices = 0x01;
    static constexpr uint8_t open_device = 0x02;
    static constexpr uint8_t write_report = 0x07;
    static constexpr uint8_t response_flag = 0x80;
    static constexpr uint8_t input_report = 0x90;

    static int connect_unix(const std::string &path) {
        sockaddr_un endpoint{};
        endpoint.sun_family = AF_UNIX;
        std::snprintf(endpoint.sun_path, sizeof endpoint.sun_path, "%s", path.c_str());
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 ||
            ::connect(fd, reinterpret_cast<const sockaddr *>(&endpoint), sizeof endpoint) != 0)
            fail("raw HID connect failed");
        return fd;
    }

    static std::string first_device_key(const std::string &path) {
        raw_hid lister;
        lister.fd_ = connect_unix(path);
        lister.request(list_devices, {});
        lister.await(list_devices | response_flag);
        const std::vector<uint8_t> &list = lister.payload_;
        if (list.size() < 4 || list[0] != 0 || list[1] == 0 || list.size() < 3u + list[2])
            fail("the simulator lists no USB controller");
        return std::string(list.begin() + 3, list.begin() + 3 + list[2]);
    }

    raw_hid() = default;

    void request(uint8_t type, const std::vector<uint8_t> &payload) {
        const std::size_t length = payload.size() + 1;
        out_.assign({static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length), type});
        out_.insert(out_.end(), payload.begin(), payload.end());
        send_all(fd_, out_.data(), out_.size());
    }

    // The next message's type; its payload is kept in payload_.
    uint8_t next_message() {
        for (;;) {
            if (have_ - used_ >= 2) {
                const std::size_t length = in_[used_] << 8 | in_[used_ + 1];
                if (have_ - used_ >= 2 + length) {
                    const uint8_t type = in_[used_ + 2];
                    payload_.assign(in_.begin() + static_cast<long>(used_ + 3),
                                    in_.begin() + static_cast<long>(used_ + 2 + length));
                    used_ += 2 + length;
                    return type;
                }
            }
            std::memmove(in_.data(), in_.data() + used_, have_ - used_);
            have_ -= used_;
            used_ = 0;
            const ssize_t got = ::recv(fd_, in_.data() + have_, in_.size() - have_, 0);
            if (got <= 0)
                fail("raw HID receive failed");
            have_ += static_cast<std::size_t>(got);
        }
    }

    void await(uint8_t type) {
        while (next_message() != type) {
        }
    }

    int fd_ = -1;
    std::vector<uint8_t> out_;
    std::vector<uint8_t> in_ = std::vector<uint8_t>(16384);
    std::vector<uint8_t> payload_;
    std::size_t have_ = 0;
    std::size_t used_ = 0;
};

std::vector<frame_pair> status_frames(uint8_t slot) {
    return traced("status", [slot](const std::string &) {
        uint16_t word = 0;
        (void)tkcmdset_status(slot, &word);
    });
}

// One status exchange, against the same frames sent raw.
void status_tcp(benchmark::State &state) {
    connect_tcp(tcp_slot, application_sim());
    const std::vector<frame_pair> frames = status_frames(tcp_slot);
    std::unique_ptr<raw_tcp> raw;
    uint16_t word = 0;
    paired_timing().run(
        state, status_round,
        [&] {
            connect_tcp(tcp_slot, application_sim());
            raw = std::make_unique<raw_tcp>(application_sim().tcp_port());
        },
        [&] { (void)tkcmdset_status(tcp_slot, &word); }, [&] { raw->replay(frames); });
}

void status_usb(benchmark::State &state) {
    open_usb(usb_slot, application_sim());
    const std::vector<frame_pair> frames = status_frames(usb_slot);
    std::unique_ptr<raw_hid> raw;
    uint16_t word = 0;
    paired_timing().run(
        state, status_round,
        [&] {
            open_usb(usb_slot, application_sim());
            raw = std::make_unique<raw_hid>(application_sim().hid_socket());
        },
        [&] { (void)tkcmdset_status(usb_slot, &word); }, [&] { raw->replay(frames); });
}

// 64 KiB of EEPROM (596 exchanges), against the same frames sent raw.
const std::vector<frame_pair> &eeprom_frames() {
    static const std::vector<frame_pair> frames = [] {
        connect_tcp(tcp_slot, application_sim());
        return traced("eeprom", [](const std::string &) {
            std::vector<uint8_t> bytes;
            read_eeprom_64k(tcp_slot, bytes);
        });
    }();
    return frames;
}

void eeprom(benchmark::State &state) {
    const std::vector<frame_pair> &frames = eeprom_frames();
    std::unique_ptr<raw_tcp> raw;
    std::vector<uint8_t> bytes;
    paired_timing().run(
        state, block_round,
        [&] {
            connect_tcp(tcp_slot, application_sim());
            raw = std::make_unique<raw_tcp>(application_sim().tcp_port());
        },
        [&] { read_eeprom_64k(tcp_slot, bytes); }, [&] { raw->replay(frames); });
    state.SetLabel(std::to_string(frames.size()) + " exchanges");
}

// Eight slots, each on its own thread and connection, each reading 64 KiB, against one slot
// reading 64 KiB alone.
void eeprom_eight_slots(benchmark::State &state) {
    std::vector<std::vector<uint8_t>> bytes(parallel_slots);
    const auto in_parallel = [&] {
        std::vector<std::thread> readers;
        for (uint8_t slot = 0; slot < parallel_slots; ++slot)
            readers.emplace_back([slot, &bytes] { read_eeprom_64k(slot, bytes[slot]); });
        for (std::thread &reader : readers)
            reader.join();
    };
    paired_timing().run(
        state, block_round,
        [] {
            for (uint8_t slot = 0; slot < parallel_slots; ++slot)
                connect_tcp(slot, application_sim());
        },
        in_parallel, [&] { read_eeprom_64k(tcp_slot, bytes[0]); });
}

// The same with raw connections: how far this machine and simulator scale at all.
void eeprom_eight_raw_connections(benchmark::State &state) {
    const std::vector<frame_pair> &frames = eeprom_frames();
    std::vector<std::unique_ptr<raw_tcp>> connections(parallel_slots);
    const auto in_parallel = [&] {
        std::vector<std::thread> readers;
        for (auto &connection : connections)
            readers.emplace_back([&connection, &frames] { connection->replay(frames); });
        for (std::thread &reader : readers)
            reader.join();
    };
    paired_timing().run(
        state, block_round,
        [&] {
            for (auto &connection : connections)
                connection = std::make_unique<raw_tcp>(application_sim().tcp_port());
        },
        in_parallel, [&] { connections[0]->replay(frames); });
}

// ---- quorrelctl program, process start to exit ---------------------------------------------------

const std::string &firmware_file() {
    static const std::string path = [] {
        // 192 KiB from 0x10000 to 0x3FFFF; the header says the body runs from 0x10100 to the end.
        std::vector<uint8_t> bytes = vortlink::test::known_bytes(0x30000, 13);
        const auto put_u32_be = [&bytes](std::size_t at, uint32_t value) {
            for (int i = 0; i < 4; ++i)
                bytes[at + static_cast<std::size_t>(i)] = static_cast<uint8_t>(value >> (24 - 8 * i));
        };
        put_u32_be(0x4A, 0x10100);
        put_u32_be(0x4E, 0x40000);
        return vortlink::test::srec_cat_convert(scratch().file("firmware.bin"), bytes, 0x10000,
                                                {"-address-length=3", "-obs=16"});
    }();
    return path;
}

void run_quorrelctl(bool usb, const std::string &trace = {}) {
    std::vector<std::string> args = {QUORRELCTL_PATH};
    if (usb)
        args.insert(args.end(), {"--serial", first_serial});
    else
        args.insert(args.end(), {"--tcp", "127.0.0.1"});
    args.insert(args.end(), {"program", firmware_file()});
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    if (usb)
        setenv("VORTLINK_HID_SIM", boot_loader_sim().hid_socket().c_str(), 1);
    else
        use_tcp_port(boot_loader_sim().tcp_port());
    if (!trace.empty())
        setenv("VORTLINK_TRACE", trace.c_str(), 1);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, QUORRELCTL_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    unsetenv("VORTLINK_TRACE");
    int wait_status = 0;
    if (spawned != 0 || waitpid(pid, &wait_status, 0) != pid || !WIFEXITED(wait_status) ||
        WEXITSTATUS(wait_status) != 0)
        fail("quorrelctl program failed");
}

// The whole quorrelctl process, start to exit, against the frames it sent replayed raw.
void program(benchmark::State &state, bool usb) {
    const std::vector<frame_pair> frames = traced(
        usb ? "program-usb" : "program-tcp", [usb](const std::string &path) {
            run_quorrelctl(usb, path);
        });
    // Every library run is a process with a connection of its own; the raw side reconnects
    // every round.
    std::unique_ptr<raw_tcp> raw_over_tcp;
    std::unique_ptr<raw_hid> raw_over_usb;
    paired_timing().run(
        state, program_round,
        [&] {
            if (usb)
                raw_over_usb = std::make_unique<raw_hid>(boot_loader_sim().hid_socket());
            else
                raw_over_tcp = std::make_unique<raw_tcp>(boot_loader_sim().tcp_port());
        },
        [&] { run_quorrelctl(usb); },
        [&] {
            if (usb)
                raw_over_usb->replay(frames);
            else
                raw_over_tcp->replay(frames);
        });
    state.SetLabel(std::to_string(frames.size()) + " exchanges");
}

// ---- A controller that never answers ---------------------------------------------------------------

// The processor time the whole process uses while a reply does not come, as a share of one core
// (library, in per cent); there is no limit to compare with but zero.
void silent_controller(benchmark::State &state) {
    connect_tcp(tcp_slot, application_sim());
    double wall_us = 0;
    double cpu_us = 0;
    const auto process_cpu_us = [] {
        timespec now{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
        return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
    };
    for (auto _ : state) {
        application_sim().inject("drop");
        const auto start = std::chrono::steady_clock::now();
        const double cpu_start = process_cpu_us();
        uint16_t word = 0;
        if (tkcmdset_status(tcp_slot, &word) != TKCMDSET_REPLY_TIMEOUT)
            state.SkipWithError("the dropped request did not time out");
        cpu_us += process_cpu_us() - cpu_start;
        wall_us += std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() -
                                                             start)
                       .count();
    }
    state.counters["library_us"] = wall_us > 0 ? 100.0 * cpu_us / wall_us : 0;
    state.counters["limit_us"] = 0;
    state.counters["ratio"] = 0;
}

// ---- The hidraw backend's writer thread ------------------------------------------------------------

// One output report through the backend (handed to its writer thread, waited for) against the
// same write made directly, on a socketpair standing in for the hidraw node.
void hidraw_write(benchmark::State &state) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        fail("socketpair failed");
    const int device_end = ::dup(ends[0]);
    std::unique_ptr<vortlink::platform::hid_device> device =
        vortlink::platform::make_hidraw_device(ends[0], {});
    std::array<uint8_t, 65> report{};
    std::array<uint8_t, 128> received{};
    const auto take = [&] {
        if (::recv(ends[1], received.data(), received.size(), 0) <= 0)
            fail("the report did not arrive");
    };
    paired_timing().run(
        state,
        [&] {
            if (device->write_report(report.data(), report.size(), 1500) !=
                vortlink::platform::hid_io_result::done)
                fail("the backend's write failed");
            take();
        },
        [&] {
            if (::write(device_end, report.data(), report.size()) !=
                static_cast<ssize_t>(report.size()))
                fail("the direct write failed");
            take();
        });
    device.reset();
    ::close(device_end);
    ::close(ends[1]);
}

} // namespace

BENCHMARK(status_tcp)->Iterations(21 * status_round);
BENCHMARK(status_usb)->Iterations(21 * status_round);
BENCHMARK(eeprom)->Iterations(11 * block_round);
BENCHMARK(eeprom_eight_slots)->Iterations(9 * block_round);
BENCHMARK(eeprom_eight_raw_connections)->Iterations(9 * block_round);
BENCHMARK_CAPTURE(program, tcp, false)->Iterations(5 * program_round);
BENCHMARK_CAPTURE(program, usb, true)->Iterations(5 * program_round);
BENCHMARK(hidraw_write)->MinTime(0.5);
BENCHMARK(silent_controller)->Iterations(2);

BENCHMARK_MAIN();
