// A production station's throughput against quorrel-sim's timing model: quorrelctl programs a
// 192 KiB image, runs the self-tests and writes the manufacturing block, first on one unit,
// then on a gang of eight at once. Each figure stands beside its lower bound, the model's own
// wire and flash time for exactly the exchanges that were made (the simulator counts them).
// Figures are reported, never judged.
//
//   station_bench [--wire usb-fs|ethernet] [--rounds N]
//
// quorrel-sim and quorrelctl are taken from the build tree, or from QUORREL_SIM and QUORRELCTL.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/settings.h"
#include "support/simulator_process.h"
#include "support/temp_directory.h"
#include "tool_run.h"
#include "support/srec_cat.h"

namespace {

using vortlink::test::simulator_process;

constexpr std::size_t gang_size = 8;
constexpr uint32_t image_base = 0x10000;
constexpr std::size_t image_size = 0x30000;
const std::vector<std::string> model_options = {"--flash-write-us", "500", "--erase-ms", "20"};

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "station_bench: %s\n", why.c_str());
    std::exit(1);
}

std::string quorrelctl() {
    const char *chosen = std::getenv("QUORRELCTL");
    return chosen != nullptr && *chosen != '\0' ? chosen : QUORRELCTL_PATH;
}

// 192 KiB from 0x10000; the header says the body runs from 0x10100 to the end.
std::string image_file(const vortlink::test::temp_directory &dir) {
    std::vector<uint8_t> bytes = vortlink::test::known_bytes(image_size, 26);
    const uint32_t fields[] = {image_base + 0x100, image_base + image_size};
    for (int field = 0; field < 2; ++field)
        for (int i = 0; i < 4; ++i)
            bytes[0x4A + 4 * field + i] = static_cast<uint8_t>(fields[field] >> (24 - 8 * i));
    const std::string path = vortlink::test::srec_cat_convert(
        dir.file("station.bin"), bytes, image_base, {"-address-length=3", "-obs=16"});
    if (path.empty())
        fail("srec_cat could not make the image");
    return path;
}

// One controller as the simulator's control port reaches it.
struct unit {
    simulator_process *sim;
    unsigned device;

    // Microseconds of wire and flash time the model charged it so far, and its replies.
    std::pair<double, uint64_t> charged() const {
        unsigned long long exchanges = 0, wire = 0, flash = 0;
        const std::string reply = sim->control("wire " + std::to_string(device));
        if (std::sscanf(reply.c_str(), "ok %llu %llu %llu", &exchanges, &wire, &flash) != 3)
            fail("the simulator did not tell its timing: " + reply);
        return {static_cast<double>(wire + flash), exchanges};
    }
};

struct measured {
    double ms = 0;
    double bound_ms = 0; // the slowest unit's bound
    uint64_t exchanges = 0; // of that unit
};

// Runs quorrelctl with the arguments on the units and times it against their bounds.
measured run_on(const std::vector<unit> &units, std::vector<std::string> args) {
    std::vector<std::pair<double, uint64_t>> before;
    for (const unit &each : units)
        before.push_back(each.charged());
    measured result;
    result.ms = vortlink::bench::timed_run(quorrelctl(), args);
    if (result.ms < 0) {
        std::string line;
        for (const std::string &arg : args)
            line += " " + arg;
        fail("quorrelctl" + line + " failed");
    }
    for (std::size_t i = 0; i < units.size(); ++i) {
        const auto after = units[i].charged();
        const double bound = (after.first - before[i].first) / 1000.0;
        if (bound >= result.bound_ms) {
            result.bound_ms = bound;
            result.exchanges = after.second - before[i].second;
        }
    }
    return result;
}

struct operation {
    const char *name;
    std::vector<std::string> args;
};

struct station_rows {
    std::vector<measured> one, gang;
};

// The three operations on one unit, then on the gang, `rounds` times; the round whose one-unit
// total is the median is kept.
station_rows run_station(const std::vector<std::string> &one_target,
                         const std::vector<std::string> &gang_target,
                         const std::vector<unit> &one, const std::vector<unit> &gang,
                         const std::vector<operation> &operations, int rounds) {
    std::vector<station_rows> all;
    for (int round = 0; round < rounds; ++round) {
        station_rows rows;
        for (const operation &step : operations) {
            std::vector<std::string> args = one_target;
            args.insert(args.end(), step.args.begin(), step.args.end());
            rows.one.push_back(run_on(one, args));
        }
        for (const operation &step : operations) {
            std::vector<std::string> args = gang_target;
            args.insert(args.end(), step.args.begin(), step.args.end());
            rows.gang.push_back(run_on(gang, args));
        }
        all.push_back(std::move(rows));
    }
    const auto total = [](const std::vector<measured> &rows) {
        double sum = 0;
        for (const measured &row : rows)
            sum += row.ms;
        return sum;
    };
    std::sort(all.begin(), all.end(), [&](const station_rows &a, const station_rows &b) {
        return total(a.one) < total(b.one);
    });
    return all[all.size() / 2];
}

measured sum_of(const std::vector<measured> &rows) {
    measured sum;
    for (const measured &row : rows) {
        sum.ms += row.ms;
        sum.bound_ms += row.bound_ms;
        sum.exchanges += row.exchanges;
    }
    return sum;
}

void print_row(const std::string &what, std::size_t units, const measured &row) {
    std::printf("| %-26s | %5zu | %9.2f s | %9.2f s | %5.2f | %9llu |\n", what.c_str(), units,
                row.ms / 1000, row.bound_ms / 1000, row.ms / row.bound_ms,
                static_cast<unsigned long long>(row.exchanges));
}

std::string loopback_host(std::size_t index) { return "127.0.0." + std::to_string(index + 1); }

} // namespace

int main(int argc, char **argv) {
    std::string wire = "usb-fs";
    int rounds = 1;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--wire") == 0)
            wire = argv[i + 1];
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::max(1, std::atoi(argv[i + 1]));
    }
    if ((wire != "usb-fs" && wire != "ethernet") || argc % 2 == 0)
        fail("usage: station_bench [--wire usb-fs|ethernet] [--rounds N]");
    const bool usb = wire == "usb-fs";

    // Everything it makes lives in a directory of its own, wherever it was started.
    char base[] = "/tmp/station-bench-XXXXXX";
    if (::mkdtemp(base) == nullptr || ::chdir(base) != 0)
        fail(std::string("cannot make a working directory: ") + std::strerror(errno));
    int status = 0;
    {
        vortlink::test::temp_directory dir;
        setenv("HOME", dir.path().c_str(), 1);
        setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
        setenv("VORTLINK_SHARED_NAME", ("/vortlink-station-" + std::to_string(getpid())).c_str(),
               1);
        unsetenv("VORTLINK_TRACE");
        const std::string image = image_file(dir);
        const std::string log = dir.file("production.log");

        std::vector<std::string> sim_args = {"--boot-loader", "--wire", wire};
        sim_args.insert(sim_args.end(), model_options.begin(), model_options.end());
        std::vector<std::unique_ptr<simulator_process>> sims;
        std::vector<unit> gang;
        std::vector<std::string> one_target, gang_target;
        if (usb) {
            std::vector<std::string> args = sim_args;
            args.insert(args.end(), {"--usb-devices", std::to_string(gang_size)});
            sims.push_back(
                std::make_unique<simulator_process>(vortlink::test::with_hid, args));
            setenv("VORTLINK_HID_SIM", sims[0]->hid_socket().c_str(), 1);
            for (unsigned device = 1; device <= gang_size; ++device)
                gang.push_back({sims[0].get(), device});
            one_target = {"--usb", "0"};
            gang_target = {"--usb", "all"};
        } else {
            // One controller per address, all on the port of the "TCP Port" setting.
            unsetenv("VORTLINK_HID_SIM");
            sims.push_back(std::make_unique<simulator_process>(sim_args));
            const std::string port = std::to_string(sims[0]->tcp_port());
            for (std::size_t i = 1; i < gang_size; ++i) {
                std::vector<std::string> args = sim_args;
                args.insert(args.end(), {"--tcp-port", port, "--bind", loopback_host(i)});
                sims.push_back(std::make_unique<simulator_process>(args));
            }
            using namespace vortlink;
            if (open_settings_key(library_settings_key) != status::ok ||
                write_setting_dword("TCP Port", sims[0]->tcp_port()) != status::ok)
                fail("cannot write the \"TCP Port\" setting");
            for (std::size_t i = 0; i < gang_size; ++i) {
                gang.push_back({sims[i].get(), 1});
                gang_target.insert(gang_target.end(), {"--tcp", loopback_host(i)});
            }
            one_target = {"--tcp", loopback_host(0)};
        }
        one_target.insert(one_target.end(), {"--log", log});
        gang_target.insert(gang_target.end(), {"--log", log});
        const std::vector<operation> operations = {
            {"program 192 KiB", {"program", image}},
            {"diag", {"diag"}},
            {"mfg write", {"mfg", "write", "--part", "6400-000851", "--eco", "C"}},
        };
        const station_rows rows =
            run_station(one_target, gang_target, {gang.front()}, gang, operations, rounds);

        std::string model = "--wire " + wire;
        for (const std::string &option : model_options)
            model += " " + option;
        std::printf("Station over %s (quorrel-sim %s), %d round%s, the median kept\n",
                    usb ? "simulated USB" : "TCP", model.c_str(), rounds, rounds == 1 ? "" : "s");
        std::printf("| %-26s | %5s | %11s | %11s | %5s | %9s |\n", "Operation", "Units", "Time",
                    "Bound", "Ratio", "Exchanges");
        std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(28, '-').c_str(),
                    std::string(7, '-').c_str(), std::string(13, '-').c_str(),
                    std::string(13, '-').c_str(), std::string(7, '-').c_str(),
                    std::string(11, '-').c_str());
        for (std::size_t units : {std::size_t{1}, gang_size}) {
            const std::vector<measured> &set = units == 1 ? rows.one : rows.gang;
            for (std::size_t i = 0; i < operations.size(); ++i)
                print_row(operations[i].name, units, set[i]);
            print_row("station (all three)", units, sum_of(set));
        }
        const measured one = sum_of(rows.one), eight = sum_of(rows.gang);
        std::printf("station: 1 unit %.2f s (bound %.2f s, ratio %.2f), 8 units %.2f s (ratio to "
                    "one unit %.2f), %.0f units per hour\n",
                    one.ms / 1000, one.bound_ms / 1000, one.ms / one.bound_ms, eight.ms / 1000,
                    eight.ms / one.ms, gang_size * 3600.0 / (eight.ms / 1000));
        std::fflush(stdout);
        for (auto &sim : sims)
            if (sim->stop() != 0)
                status = 1;
    }
    std::filesystem::remove_all(base);
    return status;
}
