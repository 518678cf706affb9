// A seeded campaign of random operations against quorrel-sim, over TCP and the simulated USB
// bus, with random faults injected through the control port and client processes killed at
// random moments. After every operation the invariants are checked against the simulator's own
// state: what a call reports as done is what the controller holds, no call outlives its bound,
// the same operation retried without a fault succeeds, and the slot answers in step afterwards.
//
//   fault_campaign [--seed N] [--operations M]
//
// Prints one line per fault kind (tried, held, broke) and `campaign: N operations, F faults,
// V violations`; exits 1 on a violation, with the seed and step that reproduce it. quorrel-sim is
// the one named by QUORREL_SIM, else the one beside this program in the build tree.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "vortlink.h"

namespace {

namespace fs = std::filesystem;
using clock_type = std::chrono::steady_clock;

constexpr uint8_t tcp_slot = 0;
constexpr unsigned usb_devices = 3; // controllers 2 and 3 are on the USB bus only
constexpr uint32_t reply_timeout_ms = 1500;
constexpr uint32_t lock_wait_ms = 2000;
constexpr uint16_t user_eeprom_start = 0x800; // above the factory and lighthead blocks
constexpr uint16_t user_eeprom_end = 0xF000;

[[noreturn]] void fail_setup(const std::string &why) {
    std::fprintf(stderr, "fault_campaign: %s\n", why.c_str());
    std::exit(2);
}

// ---- the simulator and its control port -------------------------------------------------------

class simulator {
  public:
    explicit simulator(const fs::path &directory) {
        const char *configured = std::getenv("QUORREL_SIM");
        const fs::path program =
            configured != nullptr && configured[0] != '\0'
                ? fs::path(configured)
                : fs::read_symlink("/proc/self/exe").parent_path() / "../simulator/quorrel-sim";
        if (access(program.c_str(), X_OK) != 0)
            fail_setup("no quorrel-sim at " + program.string() + " (set QUORREL_SIM)");
        bus_ = (directory / "bus").string();
        int out[2];
        if (pipe(out) != 0)
            fail_setup("pipe failed");
        pid_ = fork();
        if (pid_ == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            const std::string devices = std::to_string(usb_devices);
            execl(program.c_str(), program.c_str(), "--tcp-port", "0", "--hid-socket", bus_.c_str(),
                  "--usb-devices", devices.c_str(), "--restart-delay", "200", "--ethernet-restart",
                  "0", static_cast<char *>(nullptr));
            _exit(127);
        }
        close(out[1]);
        FILE *lines = fdopen(out[0], "r");
        char line[512];
        while (std::fgets(line, sizeof line, lines) != nullptr) {
            std::sscanf(line, "tcp-port %hu", &tcp_port_);
            std::sscanf(line, "control-port %hu", &control_port_);
            if (std::strncmp(line, "ready", 5) == 0)
                break;
        }
        std::fclose(lines);
        if (tcp_port_ == 0 || control_port_ == 0)
            fail_setup("quorrel-sim did not start");
        control_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(control_port_);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(control_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            fail_setup("no control connection");
    }
    ~simulator() {
        close(control_);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }

    uint16_t tcp_port() const { return tcp_port_; }
    const std::string &bus() const { return bus_; }

    // One control line and its reply line ("ok ..." or "error ...").
    std::string control(const std::string &line) {
        const std::string sent = line + "\n";
        if (send(control_, sent.data(), sent.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(sent.size()))
            fail_setup("control port gone");
        std::string reply;
        char c = 0;
        while (recv(control_, &c, 1, 0) == 1 && c != '\n')
            reply += c;
        return reply;
    }
    std::vector<uint8_t> eeprom(unsigned device, uint16_t address, uint16_t count) {
        const std::string reply = control("eeprom " + std::to_string(device) + " " +
                                          std::to_string(address) + " " + std::to_string(count));
        std::vector<uint8_t> bytes;
        for (std::size_t i = 3; i + 1 < reply.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(std::stoul(reply.substr(i, 2), nullptr, 16)));
        return bytes;
    }

  private:
    pid_t pid_ = -1;
    int control_ = -1;
    uint16_t tcp_port_ = 0;
    uint16_t control_port_ = 0;
    std::string bus_;
};

// ---- the campaign -----------------------------------------------------------------------------

enum roads : unsigned { over_tcp = 1, over_usb = 2, over_both = 3 };

struct fault_kind {
    const char *name;
    unsigned roads; // the transports whose replies it acts on
    std::string (*command)(unsigned device, std::mt19937_64 &random);
    uint32_t tried = 0, held = 0, broke = 0;
};

std::string device_prefix(unsigned device) {
    return "device " + std::to_string(device) + " ";
}

std::vector<fault_kind> fault_kinds() {
    using random_t = std::mt19937_64;
    return {
        {"drop", over_both, [](unsigned, random_t &) -> std::string { return "drop"; }},
        {"delay", over_both, [](unsigned, random_t &) -> std::string { return "delay 1700"; }},
        {"corrupt-crc", over_tcp,
         [](unsigned, random_t &) -> std::string { return "corrupt-crc"; }},
        {"wrong-opcode", over_both,
         [](unsigned, random_t &) -> std::string { return "opcode 0x42"; }},
        {"wrong-report-id", over_usb,
         [](unsigned, random_t &) -> std::string { return "report-id 7"; }},
        {"error-reply", over_both,
         [](unsigned, random_t &r) -> std::string {
             return "error " + std::to_string(1 + r() % 200);
         }},
        {"split", over_tcp,
         [](unsigned, random_t &r) -> std::string {
             return "split " + std::to_string(1 + r() % 6) + " " + std::to_string(r() % 40);
         }},
        {"truncate", over_tcp,
         [](unsigned, random_t &r) -> std::string {
             return "truncate " + std::to_string(r() % 6);
         }},
        {"stray", over_tcp, [](unsigned, random_t &) -> std::string { return "stray 00022a"; }},
        {"close", over_tcp, [](unsigned, random_t &) -> std::string { return "close"; }},
        {"unplug", over_usb,
         [](unsigned device, random_t &r) -> std::string {
             return "unplug " + std::to_string(device) + " " + std::to_string(50 + r() % 300);
         }},
        {"restart", over_usb,
         [](unsigned device, random_t &) -> std::string {
             return "restart " + std::to_string(device) + " application";
         }},
        {"stall", over_usb,
         [](unsigned device, random_t &r) -> std::string {
             return "stall " + std::to_string(device) + " " + std::to_string(100 + r() % 400);
         }},
        {"client-kill", over_tcp, nullptr},
    };
}

struct outcome {
    int16_t status = 0;
    std::string problem; // an invariant the operation broke, empty when none
};

class campaign {
  public:
    campaign(uint64_t seed, simulator &sim) : seed_(seed), random_(seed), sim_(sim) {}

    // One step: an operation on a random road, perhaps with a fault; then the retry and the
    // in-step check. Returns the violation, if any.
    std::string step(fault_kind *fault) {
        const unsigned roads = fault != nullptr ? fault->roads : over_both;
        const bool usb = roads == over_both ? random_() % 2 == 0 : roads == over_usb;
        const unsigned device = usb ? 2 + random_() % (usb_devices - 1) : 1;
        const uint8_t slot = usb ? static_cast<uint8_t>(device) : tcp_slot;
        if (usb && !usb_open_[device])
            if (std::string problem = reopen(slot, device); !problem.empty())
                return problem;

        const unsigned operation = random_() % 4;
        if (fault != nullptr) {
            if (fault->command == nullptr)
                kill_a_client();
            else
                sim_.control(device_prefix(device) + fault->command(device, random_));
        }
        const outcome faulted = run(operation, slot, device);
        sim_.control(device_prefix(device) + "clear-faults");
        if (!faulted.problem.empty())
            return faulted.problem;
        if (faulted.status == 0 && fault == nullptr)
            return check_in_step(slot, device);

        // The same operation again, without a fault, must succeed (a slot whose device went or
        // whose connection closed is opened again first, as an application would).
        std::string problem = recover(slot, device, usb);
        if (!problem.empty())
            return problem;
        const outcome retried = run(operation, slot, device);
        if (!retried.problem.empty())
            return "retry: " + retried.problem;
        if (retried.status != 0)
            return "retry failed with " + std::to_string(retried.status);
        return check_in_step(slot, device);
    }

    void setup() {
        if (tkcmdset_connect(tcp_slot, 0, "127.0.0.1") != 0)
            fail_setup("no TCP connection to quorrel-sim");
    }

  private:
    uint32_t bound_ms(unsigned exchanges) const {
        // Each exchange: the lock wait, then two reply waits; before them at most one resync.
        return exchanges * (lock_wait_ms + 2 * reply_timeout_ms) + reply_timeout_ms + 1000;
    }

    outcome timed(unsigned exchanges, const std::function<int16_t()> &call) {
        const auto start = clock_type::now();
        outcome result{call(), {}};
        const auto took =
            std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start)
                .count();
        if (took > bound_ms(exchanges))
            result.problem = "a call took " + std::to_string(took) + " ms, beyond its bound of " +
                             std::to_string(bound_ms(exchanges)) + " ms";
        return result;
    }

    outcome run(unsigned operation, uint8_t slot, unsigned device) {
        switch (operation) {
        case 0:
            return eeprom_write(slot, device);
        case 1:
            return eeprom_read(slot, device);
        case 2:
            return status_word(slot, device);
        default:
            return diagnostics(slot, device);
        }
    }

    outcome eeprom_write(uint8_t slot, unsigned device) {
        const auto length = static_cast<uint16_t>(1 + random_() % 300);
        const auto address = static_cast<uint16_t>(
            user_eeprom_start + random_() % (user_eeprom_end - user_eeprom_start - length));
        std::vector<uint8_t> data(length);
        for (uint8_t &byte : data)
            byte = static_cast<uint8_t>(random_());
        outcome result = timed(length / 104 + 1, [&] {
            return tkcmdset_write_eemem_block(slot, address, data.data(), length);
        });
        if (result.problem.empty() && result.status == 0 &&
            sim_.eeprom(device, address, length) != data)
            result.problem = "EEPROM write reported done, but the controller holds other bytes";
        return result;
    }

    outcome eeprom_read(uint8_t slot, unsigned device) {
        const auto length = static_cast<uint16_t>(1 + random_() % 300);
        const auto address = static_cast<uint16_t>(random_() % (0x10000 - length));
        std::vector<uint8_t> data(length);
        outcome result = timed(length / 104 + 1, [&] {
            return tkcmdset_read_eemem_block(slot, address, data.data(), length);
        });
        if (result.problem.empty() && result.status == 0 &&
            sim_.eeprom(device, address, length) != data)
            result.problem = "EEPROM read reported done, but gave other bytes than the controller";
        return result;
    }

    outcome status_word(uint8_t slot, unsigned device) {
        const auto word = static_cast<uint16_t>(random_());
        sim_.control(device_prefix(device) + "status-word " + std::to_string(word));
        uint16_t read = 0;
        outcome result = timed(1, [&] { return tkcmdset_status(slot, &read); });
        if (result.problem.empty() && result.status == 0 && read != word)
            result.problem = "status reported done with another word than the controller's";
        return result;
    }

    outcome diagnostics(uint8_t slot, unsigned device) {
        const auto test = static_cast<uint8_t>(random_() % 6);
        sim_.control("fail-diag " + std::to_string(device) + " " + std::to_string(test) + " 0");
        outcome result = timed(1, [&] { return tkcmdset_run_diags(slot, test); });
        return result;
    }

    // After a successful call the slot answers the next request with its own reply.
    std::string check_in_step(uint8_t slot, unsigned device) {
        const outcome result = status_word(slot, device);
        if (!result.problem.empty())
            return "in step: " + result.problem;
        if (result.status != 0)
            return "the slot is out of step after a successful call: status " +
                   std::to_string(result.status);
        return {};
    }

    std::string reopen(uint8_t slot, unsigned device) {
        // A controller that left the bus comes back within its unplug or restart time.
        const std::string serial = "Q000000" + std::to_string(device);
        const auto deadline = clock_type::now() + std::chrono::seconds(5);
        while (tkcmdset_init_ex(slot, "Kv Quorrel Controller", serial.c_str()) != 0) {
            if (clock_type::now() > deadline)
                return "controller " + std::to_string(device) + " cannot be opened again";
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        usb_open_[device] = true;
        return {};
    }

    std::string recover(uint8_t slot, unsigned device, bool usb) {
        if (!usb) {
            uint16_t word = 0;
            // A closed connection shows on the next exchange; then the slot connects again.
            if (tkcmdset_status(slot, &word) == TKCMDSET_SOCKET_FAILURE &&
                tkcmdset_connect(slot, 0, "127.0.0.1") != 0)
                return "TCP connection cannot be made again";
            return {};
        }
        uint16_t word = 0;
        const int16_t probe = tkcmdset_status(slot, &word);
        if (probe == TKCMDSET_NO_USB_DEVICE || probe == TKCMDSET_READ_NOT_STARTED ||
            probe == TKCMDSET_WRITE_NOT_STARTED || probe == TKCMDSET_FLUSH_FAILED)
            return reopen(slot, device);
        return {};
    }

    // A client process that runs commands on the TCP slot is killed at a random moment, maybe
    // while it holds the slot's lock; the campaign's own next call must still get through.
    void kill_a_client() {
        const auto after = std::chrono::milliseconds(random_() % 30);
        const pid_t child = fork();
        if (child == 0) {
            if (tkcmdset_connect(tcp_slot, 0, "127.0.0.1") != 0)
                _exit(1);
            uint8_t data[200];
            for (;;)
                (void)tkcmdset_read_eemem_block(tcp_slot, 0, data, sizeof data);
        }
        std::this_thread::sleep_for(after);
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }

    uint64_t seed_;
    std::mt19937_64 random_;
    simulator &sim_;
    std::map<unsigned, bool> usb_open_;
};

} // namespace

int main(int argc, char **argv) {
    // The library maps its shared state when it is loaded: a campaign of its own starts again
    // with the name of its own in place, so that its slot locks are nobody else's.
    if (std::getenv("VORTLINK_SHARED_NAME") == nullptr) {
        const std::string shared_name = "/vortlink-campaign-" + std::to_string(getpid());
        setenv("VORTLINK_SHARED_NAME", shared_name.c_str(), 1);
        execv("/proc/self/exe", argv);
        fail_setup("cannot start again with a shared state of its own");
    }
    uint64_t seed = 1;
    uint64_t operations = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if ((option == "--seed" || option == "--operations") && i + 1 < argc) {
            char *end = nullptr;
            const unsigned long long value = std::strtoull(argv[++i], &end, 10);
            if (*end != '\0')
                fail_setup("not a number: " + std::string(argv[i]));
            (option == "--seed" ? seed : operations) = value;
        } else {
            std::fprintf(stderr, "usage: fault_campaign [--seed N] [--operations M]\n");
            return 2;
        }
    }

    // Settings, shared state and the bus socket of the campaign's own.
    char directory_template[] = "/tmp/fault_campaign.XXXXXX";
    const char *directory = mkdtemp(directory_template);
    if (directory == nullptr)
        fail_setup("no temporary directory");
    setenv("XDG_CONFIG_HOME", directory, 1);
    int status = 0;
    {
        simulator sim(directory);
        setenv("VORTLINK_HID_SIM", sim.bus().c_str(), 1);
        const fs::path settings = fs::path(directory) / "Kestrova/Quorrel";
        fs::create_directories(settings);
        if (FILE *file = std::fopen((settings / "Command Set Toolkit.conf").c_str(), "w")) {
            std::fprintf(file, "TCP Port=dword:%08x\n", sim.tcp_port());
            std::fclose(file);
        }
        campaign run(seed, sim);
        run.setup();

        std::vector<fault_kind> kinds = fault_kinds();
        std::mt19937_64 chooser(seed ^ 0x9E3779B97F4A7C15ull);
        uint64_t faults = 0;
        uint64_t violations = 0;
        for (uint64_t step = 0; step < operations; ++step) {
            fault_kind *fault = chooser() % 2 == 0 ? &kinds[chooser() % kinds.size()] : nullptr;
            const std::string problem = run.step(fault);
            if (fault != nullptr) {
                ++faults;
                ++fault->tried;
                ++(problem.empty() ? fault->held : fault->broke);
            }
            if (!problem.empty()) {
                ++violations;
                std::printf("violation at step %llu (fault %s): %s\n"
                            "  reproduce: fault_campaign --seed %llu --operations %llu\n",
                            static_cast<unsigned long long>(step),
                            fault != nullptr ? fault->name : "none", problem.c_str(),
                            static_cast<unsigned long long>(seed),
                            static_cast<unsigned long long>(step + 1));
                break;
            }
        }
        std::printf("%-16s %7s %7s %7s\n", "fault", "tried", "held", "broke");
        for (const fault_kind &kind : kinds)
            std::printf("%-16s %7u %7u %7u\n", kind.name, kind.tried, kind.held, kind.broke);
        std::printf("campaign: %llu operations, %llu faults, %llu violations\n",
                    static_cast<unsigned long long>(operations),
                    static_cast<unsigned long long>(faults),
                    static_cast<unsigned long long>(violations));
        status = violations == 0 ? 0 : 1;
    }
    fs::remove_all(directory);
    return status;
}
