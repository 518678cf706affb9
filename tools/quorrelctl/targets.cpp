#include "targets.h"

#include <set>

#include "production_log.h"
#include "runner.h"
#include "text_input.h"
#include "vortlink.h"

namespace vortlink::ctl {

namespace {

constexpr int max_controllers = TKCMDSET_SLOT_COUNT;
constexpr std::size_t max_host_list_size = 64 * 1024;

// One line of --tcp-list, trimmed: true when it is blank, a comment or one host (taken).
bool take_host_line(std::string line, int number, const std::string &path,
                    std::vector<std::string> &hosts, std::string &message) {
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r'))
        line.pop_back();
    const std::size_t first = line.find_first_not_of(" \t");
    line = first == std::string::npos ? "" : line.substr(first);
    if (line.empty() || line[0] == '#')
        return true;
    if (line.find_first_of(" \t") != std::string::npos) {
        message = "--tcp-list '" + path + "' line " + std::to_string(number) +
                  ": one host a line: " + line;
        return false;
    }
    hosts.push_back(line);
    return true;
}

// Hosts of --tcp-list: one a line; blank lines and lines starting with # are skipped.
bool read_host_list(const std::string &path, std::vector<std::string> &hosts,
                    std::string &message) {
    std::vector<uint8_t> bytes;
    if (!read_regular_file(path, max_host_list_size, bytes, message)) {
        message = "--tcp-list " + message;
        return false;
    }
    std::string line;
    int number = 0;
    for (uint8_t byte : bytes) {
        if (byte == '\n') {
            if (!take_host_line(line, ++number, path, hosts, message))
                return false;
            line.clear();
        } else {
            line += static_cast<char>(byte);
        }
    }
    if (!line.empty() && !take_host_line(line, ++number, path, hosts, message))
        return false;
    // A list that names nobody is a mistake, not a wish for the default controller.
    if (hosts.empty()) {
        message = "--tcp-list '" + path + "' names no host";
        return false;
    }
    return true;
}

bool resolve_tcp_targets(const global_options &global, const std::vector<std::string> &hosts,
                         std::vector<controller_choice> &targets, bool &gang,
                         std::string &message) {
    if (!global.usb.empty() || !global.serial.empty()) {
        message = "--tcp and --tcp-list cannot be combined with --usb or --serial";
        return false;
    }
    std::set<std::string> seen;
    for (const auto &host : hosts)
        if (!seen.insert(host).second) {
            message = "--tcp: " + host + " is named twice";
            return false;
        }
    if (hosts.size() > static_cast<std::size_t>(max_controllers)) {
        message = "--tcp: at most " + std::to_string(max_controllers) + " controllers, got " +
                  std::to_string(hosts.size());
        return false;
    }
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        controller_choice choice;
        choice.kind = controller_choice::transport::tcp;
        choice.host = hosts[i];
        choice.slot = static_cast<uint8_t>(i);
        targets.push_back(choice);
    }
    gang = hosts.size() > 1 || global.tcp_list_given;
    return true;
}

bool resolve_usb_targets(const global_options &global, std::vector<controller_choice> &targets,
                         bool &gang, std::string &message) {
    if (!global.usb.empty() && !global.serial.empty()) {
        message = "--usb and --serial cannot be combined";
        return false;
    }
    if (global.usb == "all") {
        const int count = count_usb_controllers();
        for (int position = 0; position < count; ++position) {
            controller_choice choice;
            choice.usb_position = position;
            targets.push_back(choice);
        }
        gang = true;
        if (targets.empty()) {
            message = "--usb all: no controller connected over USB";
            return false;
        }
        return true;
    }
    controller_choice choice;
    if (!global.usb.empty()) {
        const std::optional<uint64_t> position = parse_unsigned(global.usb, max_controllers - 1);
        if (!position) {
            message = "--usb: a position from 0 to 49, or all; got '" + global.usb + "'";
            return false;
        }
        choice.usb_position = static_cast<int>(*position);
    }
    choice.serial = global.serial;
    targets.push_back(choice);
    gang = false;
    return true;
}

// The controllers the global options name: one, or a gang.
bool resolve_targets(const global_options &global, std::vector<controller_choice> &targets,
                     bool &gang, std::string &message) {
    std::vector<std::string> hosts = global.tcp;
    if (global.tcp_list_given) {
        std::vector<std::string> listed;
        if (!read_host_list(global.tcp_list, listed, message))
            return false;
        hosts.insert(hosts.end(), listed.begin(), listed.end());
    }
    if (!hosts.empty())
        return resolve_tcp_targets(global, hosts, targets, gang, message);
    return resolve_usb_targets(global, targets, gang, message);
}

} // namespace

int run_on_controllers(const global_options &global, const command_preparer &prepare) {
    std::vector<controller_choice> targets;
    bool gang = false;
    std::string message;
    if (!resolve_targets(global, targets, gang, message))
        return usage_failure(message);
    command chosen;
    if (!prepare(targets, chosen, message))
        return usage_failure(message);
    if (gang && !chosen.single_only.empty())
        return usage_failure(chosen.name + " cannot run on several controllers at once: " +
                             chosen.single_only);

    production_log log;
    run_settings settings;
    settings.json = global.json;
    if (global.log_given) {
        if (!log.open(global.log, message))
            return usage_failure(message);
        settings.log = &log;
    }
    return gang ? run_gang(chosen, targets, settings)
                : run_single(chosen, targets.front(), settings);
}

} // namespace vortlink::ctl
