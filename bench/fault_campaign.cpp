// A seeded campaign of random operations against quorrel-sim, over TCP and the simulated USB
// bus, with random faults injected through the control port and client processes killed at
// random moments. The operations are the library's EEPROM block, status and diagnostics calls,
// and quorrelctl's firmware programming and manufacturing, configuration and lighthead writes,
// on one controller or a gang of all of them, each run writing the production log. After every
// operation the invariants are checked against the simulator's own state: what a call reports as
// done is what the controller holds (EEPROM bytes, flash CRC), every production-log line tells
// the truth about its unit, no call outlives its bound, the same operation retried without a
// fault succeeds, and the slot answers in step afterwards.
//
//   fault_campaign [--seed N] [--operations M]
//
// Prints one line per fault kind (tried, held, broke) and `campaign: N operations, F faults,
// V violations`; exits 1 on a violation, with the seed and step that reproduce it. quorrel-sim is
// the one named by QUORREL_SIM, else the one beside this program in the build tree; quorrelctl
// likewise (QUORRELCTL).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "blocks/config_block.h"
#include "blocks/mfg_block.h"
#include "firmware/firmware_image.h"
#include "core/eeprom_blocks.h"
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
// Every programming sends an image of this size, so the flash's programmed part stays the same.
constexpr uint32_t image_base = 0x10000;
constexpr std::size_t image_size = 0x900; // 18 chunks of 128 bytes
constexpr uint32_t image_body_offset = 0x100;

[[noreturn]] void fail_setup(const std::string &why) {
    std::fprintf(stderr, "fault_campaign: %s\n", why.c_str());
    std::exit(2);
}

// A program named by the environment, else the one at its place in the build tree.
fs::path build_tree_program(const char *variable, const char *place) {
    const char *configured = std::getenv(variable);
    const fs::path program = configured != nullptr && configured[0] != '\0'
                                 ? fs::path(configured)
                                 : fs::read_symlink("/proc/self/exe").parent_path() / place;
    if (access(program.c_str(), X_OK) != 0)
        fail_setup("no " + program.filename().string() + " at " + program.string() + " (set " +
                   variable + ")");
    return program;
}

// The serial number quorrel-sim gives a controller on the USB bus.
std::string usb_serial(unsigned device) {
    return "Q000000" + std::to_string(device);
}

// ---- the simulator and its control port -------------------------------------------------------

class simulator {
  public:
    explicit simulator(const fs::path &directory) {
        const fs::path program = build_tree_program("QUORREL_SIM", "../simulator/quorrel-sim");
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
    int16_t status = 0;    // the call's status, or quorrelctl's exit status
    std::string problem; // an invariant the operation broke, empty when none
};

// ---- what quorrelctl is given ------------------------------------------------------------------

// A controller image of random bytes whose header says the body runs from base + 0x100 to its
// end; the boot loader fills in the header's CRCs.
std::vector<uint8_t> random_image(std::mt19937_64 &random) {
    namespace header = vortlink::loader::controller_header;
    std::vector<uint8_t> image(image_size);
    for (uint8_t &byte : image)
        byte = static_cast<uint8_t>(random());
    const uint32_t body_start = image_base + image_body_offset, body_end = image_base + image_size;
    for (int i = 0; i < 4; ++i) {
        image[header::body_start_offset + i] = static_cast<uint8_t>(body_start >> (24 - 8 * i));
        image[header::body_end_offset + i] = static_cast<uint8_t>(body_end >> (24 - 8 * i));
    }
    return image;
}

// What the simulator's firmware-crc answers once the image is in: the programmed chunks, and the
// CRC-16 of the image with its header CRCs filled in as the boot loader does.
std::string flash_after(std::vector<uint8_t> image, uint16_t &crc) {
    namespace header = vortlink::loader::controller_header;
    const std::span<const uint8_t> bytes(image);
    const uint16_t body = vortlink::crc16(bytes.subspan(image_body_offset));
    image[header::body_crc_offset] = static_cast<uint8_t>(body >> 8);
    image[header::body_crc_offset + 1] = static_cast<uint8_t>(body);
    const uint16_t covered =
        vortlink::crc16(bytes.subspan(header::covered_offset, header::covered_length));
    image[header::crc_offset] = static_cast<uint8_t>(covered >> 8);
    image[header::crc_offset + 1] = static_cast<uint8_t>(covered);
    crc = vortlink::crc16(image);
    char text[64];
    std::snprintf(text, sizeof text, "ok 0x%x 0x%zx 0x%x", image_base, image_base + image_size - 1,
                  crc);
    return text;
}

// The image as Motorola S-records: a header, S2 records of 16 bytes, and the S8 end record.
void write_srecords(const fs::path &path, const std::vector<uint8_t> &image) {
    std::ofstream file(path, std::ios::trunc);
    const auto record = [&](char type, uint32_t address, const uint8_t *data, std::size_t count) {
        const int address_bytes = type == '0' ? 2 : 3;
        std::vector<uint8_t> bytes = {static_cast<uint8_t>(count + address_bytes + 1)};
        for (int shift = 8 * (address_bytes - 1); shift >= 0; shift -= 8)
            bytes.push_back(static_cast<uint8_t>(address >> shift));
        bytes.insert(bytes.end(), data, data + count);
        unsigned sum = 0;
        char hex[4];
        file << 'S' << type;
        for (uint8_t byte : bytes) {
            sum += byte;
            std::snprintf(hex, sizeof hex, "%02X", byte);
            file << hex;
        }
        std::snprintf(hex, sizeof hex, "%02X", ~sum & 0xFFu);
        file << hex << "\n";
    };
    const std::string name = "campaign";
    record('0', 0, reinterpret_cast<const uint8_t *>(name.data()), name.size());
    for (std::size_t at = 0; at < image.size(); at += 16)
        record('2', image_base + static_cast<uint32_t>(at), image.data() + at,
               std::min<std::size_t>(16, image.size() - at));
    record('8', image_base, nullptr, 0);
}

// ---- the campaign -----------------------------------------------------------------------------

class campaign {
  public:
    campaign(uint64_t seed, simulator &sim, const fs::path &directory, std::string planted)
        : seed_(seed), random_(seed), sim_(sim),
          quorrelctl_(build_tree_program("QUORRELCTL", "../tools/quorrelctl/quorrelctl")),
          log_(directory / "production.jsonl"), image_path_(directory / "image.s19"),
          planted_(std::move(planted)) {}

    // One step: an operation on a random road, perhaps with a fault; then the retry and the
    // in-step check. Returns the violation, if any.
    std::string step(fault_kind *fault) {
        // An operation that can take one of the fault's roads, on a road both allow.
        const unsigned fault_roads = fault != nullptr ? fault->roads : over_both;
        std::vector<const operation *> fitting;
        for (const operation &candidate : operations)
            if ((candidate.roads & fault_roads) != 0)
                fitting.insert(fitting.end(), candidate.weight, &candidate);
        const operation &chosen = *fitting[random_() % fitting.size()];
        ++performed_[chosen.name];
        const unsigned roads = chosen.roads & fault_roads;
        const bool usb = roads == over_both ? random_() % 2 == 0 : roads == over_usb;
        const unsigned device = usb ? 2 + random_() % (usb_devices - 1) : 1;
        const uint8_t slot = usb ? static_cast<uint8_t>(device) : tcp_slot;
        if (usb && !usb_open_[device])
            if (std::string problem = reopen(slot, device); !problem.empty())
                return problem;

        if (fault != nullptr) {
            if (fault->command == nullptr)
                kill_a_client();
            else
                sim_.control(device_prefix(device) + fault->command(device, random_));
        }
        fault_pending_ = fault != nullptr;
        const outcome faulted = (this->*chosen.run)(slot, device, usb);
        fault_pending_ = false;
        sim_.control(device_prefix(device) + "clear-faults");
        if (!faulted.problem.empty())
            return std::string(chosen.name) + ": " + faulted.problem;
        if (faulted.status == 0 && fault == nullptr)
            return check_in_step(slot, device);

        // The same operation again, without a fault, must succeed (a slot whose device went or
        // whose connection closed is opened again first, as an application would).
        std::string problem = recover(slot, device, usb);
        if (!problem.empty())
            return problem;
        const outcome retried = (this->*chosen.run)(slot, device, usb);
        if (!retried.problem.empty())
            return std::string(chosen.name) + " retried: " + retried.problem;
        if (retried.status != 0)
            return std::string(chosen.name) + " retried failed with " +
                   std::to_string(retried.status);
        return check_in_step(slot, device);
    }

    // How often each operation ran, in one line.
    std::string operations_line() const {
        std::string line = "operations:";
        for (const operation &kind : operations) {
            const auto found = performed_.find(kind.name);
            line += std::string(&kind == operations ? " " : ", ") + kind.name + " " +
                    std::to_string(found != performed_.end() ? found->second : 0);
        }
        return line;
    }

    void setup() {
        if (tkcmdset_connect(tcp_slot, 0, "127.0.0.1") != 0)
            fail_setup("no TCP connection to quorrel-sim");
    }

  private:
    struct operation {
        const char *name;
        unsigned roads;
        // How often it is chosen: a quorrelctl run costs a process and several exchanges, a
        // programming two restarts as well.
        unsigned weight;
        outcome (campaign::*run)(uint8_t slot, unsigned device, bool usb);
    };
    static const operation operations[9];

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

    // A block transfer between a random EEPROM range and the slot, in chunks of 104 bytes at
    // least; afterwards the range the controller holds must be what was written or read.
    outcome eeprom_transfer(uint8_t slot, unsigned device, bool writes) {
        const auto length = static_cast<uint16_t>(1 + random_() % 300);
        const uint16_t low = writes ? user_eeprom_start : 0;
        const uint32_t high = writes ? user_eeprom_end : 0x10000;
        const auto address = static_cast<uint16_t>(low + random_() % (high - low - length));
        std::vector<uint8_t> data(length);
        if (writes)
            for (uint8_t &byte : data)
                byte = static_cast<uint8_t>(random_());
        outcome result = timed(length / 104 + 1, [&] {
            return writes ? tkcmdset_write_eemem_block(slot, address, data.data(), length)
                          : tkcmdset_read_eemem_block(slot, address, data.data(), length);
        });
        if (writes && planted_ == "eeprom")
            data[0] ^= 1;
        if (result.problem.empty() && result.status == 0 &&
            sim_.eeprom(device, address, length) != data)
            result.problem = writes ? "reported done, but the controller holds other bytes"
                                    : "reported done, but gave other bytes than the controller";
        return result;
    }
    outcome eeprom_write(uint8_t slot, unsigned device, bool) {
        return eeprom_transfer(slot, device, true);
    }
    outcome eeprom_read(uint8_t slot, unsigned device, bool) {
        return eeprom_transfer(slot, device, false);
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
    outcome status_operation(uint8_t slot, unsigned device, bool) {
        return status_word(slot, device);
    }

    outcome diagnostics(uint8_t slot, unsigned device, bool) {
        const auto test = static_cast<uint8_t>(random_() % 6);
        sim_.control("fail-diag " + std::to_string(device) + " " + std::to_string(test) + " 0");
        return timed(1, [&] { return tkcmdset_run_diags(slot, test); });
    }

    // ---- through quorrelctl, as a production station runs it ----

    // What the tool is told about the controller, and the serial number it will log for it:
    // over USB the device's string, over TCP the manufacturing block's.
    std::vector<std::string> addressing(unsigned device, bool usb) {
        if (usb)
            return {"--serial", usb_serial(device)};
        return {"--tcp", "127.0.0.1"};
    }
    std::string logged_serial(unsigned device, bool usb) {
        if (usb)
            return usb_serial(device);
        uint8_t block[vortlink::loader::mfg_block_size] = {};
        const std::vector<uint8_t> held = sim_.eeprom(device, 0, sizeof block);
        std::copy_n(held.begin(), std::min(held.size(), sizeof block), block);
        return vortlink::loader::read_mfg_block(block).serial_number;
    }

    // Runs quorrelctl with the production log within the bound of its exchanges; status is its
    // exit status. What the controllers hold is then checked with holds, and the lines the run
    // appended to the log against that: one line per controller when the run succeeded, each
    // naming a controller it addressed and the operation, and status 0 only for a controller
    // that holds what was asked.
    outcome tool_run(std::vector<std::string> arguments, unsigned exchanges,
                     const std::map<unsigned, std::string> &units, const char *operation_name,
                     const std::function<bool(unsigned device)> &holds,
                     std::optional<uint16_t> image_crc = std::nullopt, bool gang = false) {
        arguments.insert(arguments.begin(), {quorrelctl_.string(), "--log", log_.string()});
        std::vector<char *> argv;
        for (std::string &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        outcome result = timed(exchanges, [&]() -> int16_t {
            pid_t child = -1;
            if (posix_spawn(&child, argv[0], &quiet, nullptr, argv.data(), environ) != 0)
                fail_setup("cannot start " + quorrelctl_.string());
            int status = 0;
            waitpid(child, &status, 0);
            return static_cast<int16_t>(WIFEXITED(status) ? WEXITSTATUS(status)
                                                          : 128 + WTERMSIG(status));
        });
        posix_spawn_file_actions_destroy(&quiet);

        std::vector<std::string> lines;
        std::ifstream file(log_);
        file.seekg(static_cast<std::streamoff>(log_read_));
        for (std::string text; std::getline(file, text);) {
            log_read_ += text.size() + 1;
            lines.push_back(text);
        }
        // `--usb all` takes the controllers on the bus: one a fault took off it is not a member.
        std::map<unsigned, std::string> members = units;
        if (gang && fault_pending_)
            std::erase_if(members, [&](const auto &unit) {
                return std::none_of(lines.begin(), lines.end(), [&](const std::string &text) {
                    return text.find("\"" + unit.second + "\"") != std::string::npos;
                });
            });
        std::set<std::string> holding;
        for (const auto &[device, serial] : members) {
            if (holds(device))
                holding.insert(serial);
            else if (result.status == 0 && result.problem.empty())
                result.problem = "reported done, but " + serial + " holds something else";
        }
        if (result.problem.empty())
            result.problem =
                check_log_lines(lines, result.status, members, operation_name, holding, image_crc);
        return result;
    }

    std::string check_log_lines(const std::vector<std::string> &lines, int exit_status,
                                const std::map<unsigned, std::string> &units,
                                const char *operation_name, const std::set<std::string> &holding,
                                std::optional<uint16_t> image_crc) {
        std::set<std::string> addressed, succeeded;
        for (const auto &unit : units)
            addressed.insert(planted_ == "log" ? unit.second + "?" : unit.second);
        for (const std::string &text : lines) {
            const nlohmann::json line = nlohmann::json::parse(text, nullptr, false);
            if (!line.is_object() || !line.contains("serial") || !line.contains("status_code"))
                return "the production log has a line that is no record: " + text;
            const std::string serial = line.value("serial", "");
            if (line.value("operation", "") != operation_name ||
                (!serial.empty() && addressed.count(serial) == 0))
                return "the production log names another unit or operation: " + text;
            if (line["status_code"] != 0)
                continue;
            // quorrelctl asks again for a serial number a fault spoilt: a success names its unit.
            const std::string &unit = serial;
            if (unit.empty())
                return "the production log records a success without its unit: " + text;
            succeeded.insert(unit);
            if (holding.count(unit) == 0)
                return "the production log records a success that " + unit + " does not hold";
            if (image_crc && line.value("image_crc16", -1) != *image_crc)
                return "the production log records another image CRC than the flash holds";
        }
        if (exit_status == 0 && (lines.size() != units.size() || succeeded != addressed))
            return "a run that succeeded logged " + std::to_string(lines.size()) + " lines for " +
                   std::to_string(units.size()) + " units";
        return {};
    }

    // The EEPROM block at address as the controller holds it.
    template <std::size_t size> void held_block(unsigned device, uint16_t address,
                                                uint8_t (&block)[size]) {
        const std::vector<uint8_t> held = sim_.eeprom(device, address, size);
        std::fill(std::begin(block), std::end(block), uint8_t{0});
        std::copy_n(held.begin(), std::min(held.size(), size), block);
    }

    // The boot loader takes images: the controller restarts into it, and afterwards back into
    // its application; the campaign's slot opens it again each time.
    outcome program(uint8_t slot, unsigned device, bool) {
        if (std::string problem = restart(slot, device, "loader"); !problem.empty())
            return {1, problem};
        const std::vector<uint8_t> image = random_image(random_);
        write_srecords(image_path_, image);
        uint16_t crc = 0;
        const std::string flash = flash_after(image, crc);
        outcome result = tool_run({"--serial", usb_serial(device), "program", image_path_.string()},
                                  3 * image_size / 128 + 4, {{device, usb_serial(device)}},
                                  "program",
                                  [&](unsigned unit) {
                                      return sim_.control("firmware-crc " +
                                                          std::to_string(unit)) == flash;
                                  },
                                  crc);
        if (std::string problem = restart(slot, device, "application");
            result.problem.empty() && !problem.empty())
            result.problem = problem;
        return result;
    }

    outcome mfg_write(uint8_t, unsigned device, bool usb) {
        const std::string part = "HW-" + std::to_string(random_() % 1000000);
        const std::string eco = std::to_string(random_() % 10000);
        const uint32_t ip = 10u << 24 | static_cast<uint32_t>(random_() & 0xFFFFFF);
        const std::string ip_text = std::to_string(ip >> 24) + "." +
                                    std::to_string(ip >> 16 & 0xFF) + "." +
                                    std::to_string(ip >> 8 & 0xFF) + "." + std::to_string(ip & 0xFF);
        std::vector<std::string> arguments = addressing(device, usb);
        arguments.insert(arguments.end(),
                         {"mfg", "write", "--part", part, "--eco", eco, "--ip", ip_text});
        return tool_run(arguments, 6, {{device, logged_serial(device, usb)}}, "mfg write",
                        [&](unsigned unit) {
                            uint8_t block[vortlink::loader::mfg_block_size];
                            held_block(unit, vortlink::loader::mfg_block_address, block);
                            const auto fields = vortlink::loader::read_mfg_block(block);
                            return vortlink::loader::IsValidMfgBlock(block) &&
                                   fields.hardware_part_number == part &&
                                   fields.eco_revision == eco && fields.ip == ip;
                        });
    }

    // The configuration block's pulse width and delay, on one controller or on all of them.
    outcome configure(const std::vector<std::string> &where,
                      const std::map<unsigned, std::string> &units, bool gang) {
        const std::string width = std::to_string(random_() % 2000000);
        const std::string delay = std::to_string(random_() % 65536);
        std::vector<std::string> arguments = where;
        arguments.insert(arguments.end(), {"config", "write", "--width", width, "--delay", delay});
        return tool_run(
            arguments, 4 * static_cast<unsigned>(units.size()), units, "config write",
            [&](unsigned unit) {
                            uint8_t block[vortlink::loader::config_block_size];
                            held_block(unit, vortlink::loader::config_block_address, block);
                            vortlink::loader::config_fields fields;
                            vortlink::loader::read_config_block(block, fields);
                            return vortlink::loader::IsValidConfigBlock(block) &&
                                   fields.width == width && fields.delay == delay;
            },
            std::nullopt, gang);
    }
    outcome config_write(uint8_t, unsigned device, bool usb) {
        return configure(addressing(device, usb), {{device, logged_serial(device, usb)}}, false);
    }
    outcome gang_config_write(uint8_t, unsigned, bool) {
        std::map<unsigned, std::string> units;
        for (unsigned device = 1; device <= usb_devices; ++device)
            units[device] = usb_serial(device);
        return configure({"--usb", "all"}, units, true);
    }

    outcome lighthead_write(uint8_t, unsigned device, bool usb) {
        const std::string part = "LH-" + std::to_string(random_() % 1000000);
        std::vector<std::string> arguments = addressing(device, usb);
        arguments.insert(arguments.end(), {"lighthead", "write", "--part", part});
        return tool_run(arguments, 4, {{device, logged_serial(device, usb)}}, "lighthead write",
                        [&](unsigned unit) {
                            uint8_t block[vortlink::lighthead_layout::size];
                            held_block(unit, vortlink::lighthead_layout::address, block);
                            return vortlink::check_record(block,
                                                          vortlink::lighthead_layout::identifier) &&
                                   std::search(std::begin(block), std::end(block), part.begin(),
                                               part.end()) != std::end(block);
                        });
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

    std::string restart(uint8_t slot, unsigned device, const char *firmware) {
        sim_.control("restart " + std::to_string(device) + " " + firmware);
        usb_open_[device] = false;
        return reopen(slot, device);
    }

    std::string reopen(uint8_t slot, unsigned device) {
        // A controller that left the bus comes back within its unplug or restart time.
        const std::string serial = usb_serial(device);
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
    fs::path quorrelctl_;
    fs::path log_;
    std::size_t log_read_ = 0; // how much of the log was checked
    fs::path image_path_;
    // A wrong expectation the checks must catch: "eeprom" (a written byte expected otherwise)
    // or "log" (a logged success expected of another unit).
    std::string planted_;
    std::map<std::string, unsigned> performed_;
    bool fault_pending_ = false; // the operation running now has a fault injected
};

const campaign::operation campaign::operations[] = {
    {"EEPROM write", over_both, 4, &campaign::eeprom_write},
    {"EEPROM read", over_both, 4, &campaign::eeprom_read},
    {"status", over_both, 4, &campaign::status_operation},
    {"diagnostics", over_both, 4, &campaign::diagnostics},
    {"program", over_usb, 1, &campaign::program},
    {"mfg write", over_both, 1, &campaign::mfg_write},
    {"config write", over_both, 1, &campaign::config_write},
    {"lighthead write", over_both, 1, &campaign::lighthead_write},
    {"gang config write", over_usb, 1, &campaign::gang_config_write},
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
    std::string planted; // --plant-violation KIND, which only shows that the checks can fail
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--plant-violation" && i + 1 < argc) {
            planted = argv[++i];
        } else if ((option == "--seed" || option == "--operations") && i + 1 < argc) {
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
        campaign run(seed, sim, directory, planted);
        run.setup();

        std::vector<fault_kind> kinds = fault_kinds();
        std::mt19937_64 chooser(seed ^ 0x9E3779B97F4A7C15ull);
        uint64_t faults = 0;
        uint64_t violations = 0;
        uint64_t performed = 0;
        for (uint64_t step = 0; step < operations; ++step, ++performed) {
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
                ++performed;
                break;
            }
        }
        std::printf("%-16s %7s %7s %7s\n", "fault", "tried", "held", "broke");
        for (const fault_kind &kind : kinds)
            std::printf("%-16s %7u %7u %7u\n", kind.name, kind.tried, kind.held, kind.broke);
        std::printf("%s\n", run.operations_line().c_str());
        std::printf("campaign: %llu operations, %llu faults, %llu violations\n",
                    static_cast<unsigned long long>(performed),
                    static_cast<unsigned long long>(faults),
                    static_cast<unsigned long long>(violations));
        status = violations == 0 ? 0 : 1;
    }
    fs::remove_all(directory);
    return status;
}
