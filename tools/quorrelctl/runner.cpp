#include "runner.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>

#include "core/platform/console.h"
#include "output.h"
#include "vortlink.hpp"

namespace vortlink::ctl {

namespace {

using clock_type = std::chrono::steady_clock;

constexpr int bar_width = 24;
constexpr auto redraw_interval = std::chrono::milliseconds(100);

bool shows_progress(const command &what) { return what.name == "program" || what.name == "diag"; }

// Opens the controller, runs the command, closes the slot. serial receives the controller's
// serial number when asked for (read before the operation; the one it wrote after mfg write).
void run_on_controller(const command &what, session &where, outcome &result, bool read_serial,
                       std::string &serial,
                       const std::function<void(const std::string &)> &identified = {}) {
    std::optional<vortlink::controller> device;
    try {
        device = open_controller(where.choice);
    } catch (const vortlink::error &e) {
        result.status = e.status();
        return;
    }
    where.device = &*device;
    where.slot = device->slot();
    // A lost reply spoils only that read: the unit is asked once more, and after the operation
    // again, so that a production-log line never leaves out the serial of a unit that answered.
    bool serial_known = false;
    const auto ask_serial = [&] {
        for (int attempt = 0; attempt < 2 && !serial_known; ++attempt) {
            try {
                serial = device_text(device->serial_number());
                serial_known = true;
            } catch (const vortlink::error &) {
                // Shown without one for now; the operation says what is wrong.
            }
        }
    };
    if (read_serial) {
        ask_serial();
        if (identified)
            identified(serial);
    }
    what.run(where, result);
    if (!result.serial_written.empty())
        serial = result.serial_written;
    else if (read_serial && result.status == loader::status::ok)
        ask_serial();
    where.device = nullptr;
}

std::string status_name(const outcome &result) {
    switch (result.status) {
    case tool_status::usage:
        return "USAGE";
    case tool_status::file_failed:
        return "FILE_FAILED";
    case tool_status::echo_differs:
        return "ECHO_DIFFERS";
    case tool_status::diagnostics_failed:
        return "DIAGNOSTICS_FAILED";
    default:
        return error_name(result.status);
    }
}

// What a failure says, for standard error and the summary.
std::string failure_message(const outcome &result) {
    if (!result.message.empty())
        return (result.status == tool_status::usage ? "" : "ERROR : ") + result.message;
    return failure_text(result.status);
}

nlohmann::ordered_json record_entry(const command &what, const controller_choice &where,
                                    const std::string &serial, const std::string &started,
                                    const outcome &result, long long milliseconds) {
    nlohmann::ordered_json entry = {{"time", started},
                                    {"transport", transport_name(where)},
                                    {"address", controller_address(where)},
                                    {"serial", serial},
                                    {"operation", what.name}};
    for (const auto &[key, value] : result.record.items())
        entry[key] = value;
    entry["status_code"] = result.status;
    entry["status_name"] = status_name(result);
    if (!result.message.empty())
        entry["message"] = result.message;
    entry["duration_ms"] = milliseconds;
    return entry;
}

bool write_record(const run_settings &settings, const nlohmann::ordered_json &entry) {
    if (settings.log == nullptr)
        return true;
    std::string message;
    if (settings.log->append(entry, message))
        return true;
    std::fprintf(stderr, "ERROR : %s\n", printable_lines(message).c_str());
    return false;
}

int exit_status(const outcome &result) {
    if (result.status == loader::status::ok)
        return 0;
    return result.status == tool_status::usage ? 2 : 1;
}

} // namespace

int usage_failure(const std::string &message) {
    std::fprintf(stderr, "%s\nRun with --help for more information.\n",
                 printable_lines(message).c_str());
    return 2;
}

int run_single(const command &what, const controller_choice &where, const run_settings &settings) {
    const bool terminal = !settings.json && platform::output_redraws_lines();
    session here;
    here.choice = where;
    progress_printer printer(terminal);
    if (!settings.json && what.name == "program")
        here.progress = [&printer](uint32_t percent) { printer.show(percent); };
    if (terminal)
        here.activity = [](const std::string &text) {
            std::printf("\r%s\x1b[K", text.c_str());
            if (text.empty())
                std::printf("\r");
            std::fflush(stdout);
        };

    const std::string started = production_log::utc_now();
    const auto start = clock_type::now();
    outcome result;
    std::string serial;
    run_on_controller(what, here, result, settings.log != nullptr, serial);
    printer.finish();
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(clock_type::now() - start).count();
    const bool recorded =
        write_record(settings, record_entry(what, where, serial, started, result, elapsed));

    // A failed self-test run still has its results to show.
    const bool has_output =
        result.status == loader::status::ok || result.status == tool_status::diagnostics_failed;
    if (has_output) {
        if (settings.json)
            std::cout << json_text(result.data) << '\n';
        else
            std::fputs(printable_lines(result.text).c_str(), stdout);
        std::fflush(stdout);
    }
    if (result.status == tool_status::usage)
        return usage_failure(result.message);
    if (result.status != loader::status::ok)
        std::fprintf(stderr, "%s\n", printable_lines(failure_message(result)).c_str());
    const int code = exit_status(result);
    return code == 0 && !recorded ? 1 : code;
}

namespace {

struct gang_member {
    controller_choice choice;
    std::string label;
    std::string serial;
    int percent = -1;
    std::string activity;
    bool finished = false;
    std::string last_activity_head; // without a terminal, each countdown is told once
    outcome result;
    long long milliseconds = 0;
};

// Everything the gang shows, from any thread.
class gang_display {
  public:
    gang_display(std::vector<gang_member> &members, const command &what, bool json, bool terminal)
        : members_(members), what_(what), json_(json), terminal_(terminal) {
        for (const auto &member : members_)
            label_width_ = std::max(label_width_, display_width(member.label));
        if (terminal_) {
            for (std::size_t i = 0; i < members_.size(); ++i)
                std::printf("\n");
            redraw_locked();
        }
    }

    void progress(std::size_t index, uint32_t percent) {
        std::lock_guard lock(mutex_);
        gang_member &member = members_[index];
        const int previous = member.percent;
        member.percent = static_cast<int>(std::min<uint32_t>(percent, 100));
        if (terminal_)
            return redraw_soon_locked();
        // Without a terminal a line every tenth keeps a log readable.
        if (!json_ && member.percent / 10 != previous / 10)
            std::printf("[%s] %d%%\n", member.label.c_str(), member.percent);
    }

    void activity(std::size_t index, const std::string &text) {
        std::lock_guard lock(mutex_);
        members_[index].activity = text;
        if (terminal_)
            return redraw_soon_locked();
        if (!json_ && !text.empty()) {
            // Only the first line of a countdown: the rest is the same with a smaller number.
            const std::string head = text.substr(0, text.find(':'));
            if (head != members_[index].last_activity_head) {
                std::printf("[%s] %s\n", members_[index].label.c_str(), head.c_str());
                members_[index].last_activity_head = head;
            }
        }
    }

    void finished(std::size_t index, const nlohmann::ordered_json &entry) {
        std::lock_guard lock(mutex_);
        gang_member &member = members_[index];
        member.finished = true;
        if (json_) {
            nlohmann::ordered_json line = entry;
            line.erase("time");
            line["controller"] = controller_label(member.choice);
            line["ok"] = member.result.status == loader::status::ok;
            line["result"] = member.result.data;
            std::cout << json_text(line, -1) << '\n' << std::flush;
            return;
        }
        if (terminal_)
            return redraw_locked();
        print_result_locked(member);
    }

    // After every member finished: the results (on a terminal) and the summary table.
    void close() {
        std::lock_guard lock(mutex_);
        if (json_)
            return;
        if (terminal_) {
            redraw_locked();
            for (const auto &member : members_)
                if (!member.result.text.empty() || member.result.status != loader::status::ok) {
                    std::printf("\n== %s%s ==\n", member.label.c_str(),
                                member.serial.empty() ? "" : (" " + member.serial).c_str());
                    std::fputs(printable_lines(member.result.text).c_str(), stdout);
                    if (member.result.status != loader::status::ok)
                        std::printf("%s\n",
                                    printable_lines(failure_message(member.result)).c_str());
                }
        }
        print_summary_locked();
        std::fflush(stdout);
    }

    void identified(std::size_t index, const std::string &serial) {
        std::lock_guard lock(mutex_);
        members_[index].serial = printable(serial);
        if (terminal_)
            redraw_soon_locked();
    }

  private:
    std::string status_column(const gang_member &member) const {
        if (!member.finished)
            return member.activity.empty() ? what_.name : member.activity;
        if (member.result.status == loader::status::ok)
            return "done";
        return "FAILED: " + (tool_status::is_tool_status(member.result.status)
                                 ? status_name(member.result)
                                 : std::to_string(member.result.status) + " " +
                                       printable(status_name(member.result)));
    }

    void redraw_soon_locked() {
        const auto now = clock_type::now();
        if (now - last_redraw_ < redraw_interval)
            return;
        redraw_locked();
    }

    void redraw_locked() {
        last_redraw_ = clock_type::now();
        std::string screen = "\x1b[" + std::to_string(members_.size()) + "A";
        for (const auto &member : members_) {
            // Appended piece by piece: GCC 12 takes `"literal" + std::string&&` for an
            // overlapping copy at -O2 (-Wrestrict).
            std::string line = "\r\x1b[2K";
            line += pad_right(member.label, label_width_);
            line += "  ";
            line += pad_right(member.serial, 16) + "  ";
            if (member.percent >= 0) {
                const int filled = member.percent * bar_width / 100;
                line += '[';
                line.append(static_cast<std::size_t>(filled), '#');
                line.append(static_cast<std::size_t>(bar_width - filled), ' ');
                line += "] ";
                char percent[8];
                std::snprintf(percent, sizeof percent, "%3d%%  ", member.percent);
                line += percent;
            }
            line += status_column(member);
            screen += line + "\n";
        }
        std::fputs(screen.c_str(), stdout);
        std::fflush(stdout);
    }

    void print_result_locked(const gang_member &member) {
        const std::string prefix = "[" + member.label + "] ";
        std::string text = printable_lines(member.result.text);
        if (member.result.status != loader::status::ok)
            text += printable_lines(failure_message(member.result)) + "\n";
        std::size_t start = 0;
        while (start < text.size()) {
            const std::size_t end = text.find('\n', start);
            const std::string line =
                text.substr(start, end == std::string::npos ? std::string::npos : end - start);
            std::printf("%s%s\n", line.empty() ? ("[" + member.label + "]").c_str() : prefix.c_str(),
                        line.c_str());
            if (end == std::string::npos)
                break;
            start = end + 1;
        }
        std::fflush(stdout);
    }

    void print_summary_locked() {
        std::size_t serial_width = 6;
        for (const auto &member : members_)
            serial_width = std::max(serial_width, display_width(member.serial));
        const std::size_t label_width = std::max<std::size_t>(label_width_, 10);
        std::printf("\n%s  %s  %-6s  %8s  %s\n", pad_right("Controller", label_width).c_str(),
                    pad_right("Serial", serial_width).c_str(), "Result", "Time", "Status");
        std::size_t failed = 0;
        for (const auto &member : members_) {
            const bool ok = member.result.status == loader::status::ok;
            failed += ok ? 0 : 1;
            char seconds[16];
            std::snprintf(seconds, sizeof seconds, "%.1f s",
                          static_cast<double>(member.milliseconds) / 1000.0);
            // The tool's own statuses have names only: their numbers mean nothing to a reader.
            const std::string status =
                tool_status::is_tool_status(member.result.status)
                    ? status_name(member.result)
                    : std::to_string(member.result.status) + " " +
                          printable(status_name(member.result));
            std::printf("%s  %s  %-6s  %8s  %s\n", pad_right(member.label, label_width).c_str(),
                        pad_right(member.serial, serial_width).c_str(), ok ? "ok" : "FAILED",
                        seconds, status.c_str());
        }
        std::printf("%s: %zu of %zu controllers ok", what_.name.c_str(), members_.size() - failed,
                    members_.size());
        if (failed > 0)
            std::printf(", %zu FAILED", failed);
        std::printf("\n");
    }

    std::vector<gang_member> &members_;
    const command &what_;
    const bool json_;
    const bool terminal_;
    std::size_t label_width_ = 0;
    clock_type::time_point last_redraw_{};
    std::mutex mutex_;
};

} // namespace

int run_gang(const command &what, const std::vector<controller_choice> &targets,
             const run_settings &settings) {
    std::vector<gang_member> members(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
        members[i].choice = targets[i];
        // Shown on the screen only; the JSON lines name the controller as given.
        members[i].label = printable(controller_label(targets[i]));
    }
    const bool terminal = !settings.json && platform::output_redraws_lines();
    gang_display display(members, what, settings.json, terminal);
    std::mutex record_mutex;
    bool all_recorded = true;

    std::vector<std::thread> threads;
    threads.reserve(members.size());
    for (std::size_t i = 0; i < members.size(); ++i) {
        threads.emplace_back([&, i] {
            gang_member &member = members[i];
            session here;
            here.choice = member.choice;
            if (shows_progress(what))
                here.progress = [&display, i](uint32_t percent) { display.progress(i, percent); };
            here.activity = [&display, i](const std::string &text) { display.activity(i, text); };
            const std::string started = production_log::utc_now();
            const auto start = clock_type::now();
            std::string serial;
            run_on_controller(what, here, member.result, true, serial,
                              [&display, i](const std::string &text) {
                                  display.identified(i, text);
                              });
            member.milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      clock_type::now() - start)
                                      .count();
            const nlohmann::ordered_json entry = record_entry(
                what, member.choice, serial, started, member.result, member.milliseconds);
            display.identified(i, serial);
            {
                std::lock_guard lock(record_mutex);
                if (!write_record(settings, entry))
                    all_recorded = false;
            }
            display.finished(i, entry);
        });
    }
    for (auto &thread : threads)
        thread.join();
    display.close();

    const bool any_failed = std::any_of(members.begin(), members.end(), [](const auto &member) {
        return member.result.status != loader::status::ok;
    });
    return any_failed || !all_recorded ? 1 : 0;
}

} // namespace vortlink::ctl
