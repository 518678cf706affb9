// quorrelctl: drives Quorrel controllers from scripts, production lines and over SSH. Exit
// status 0 on success, 1 when a controller or the library reports a failure, 2 for a usage error.

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <string>
#include <vector>

#include "core/platform/console.h"
#include "core/platform/environment.h"
#include "runner.h"
#include "subcommands.h"

namespace vortlink::ctl {
namespace {

// After the options in --help; the manual page is made from it.
const char help_footer[] =
    "Exit status:\n"
    "  0  success\n"
    "  1  the controller or the library reported a failure (\"ERROR (code) : name\" and the\n"
    "     catalogue's explanation on standard error), a self-test failed, an echo came back\n"
    "     changed or a file could not be read or written\n"
    "  2  a usage error\n"
    "\n"
    "Environment:\n"
    "  VORTLINK_TRACE=1|FILE  log every frame of every exchange to standard error (1), or\n"
    "                         append it to FILE; unset, empty or 0: off (--trace sets 1)\n"
    "  VORTLINK_HID_SIM=PATH  talk to the simulated USB controllers of the quorrel-sim\n"
    "                         listening on the unix socket PATH instead of hidraw devices\n"
    "\n"
    "Files:\n"
    "  ~/.config/Kestrova/Quorrel/Command Set Toolkit.conf\n"
    "                         the library's settings (\"TCP Port\", ErrorCodesFile); under\n"
    "                         $XDG_CONFIG_HOME when set\n"
    "  ~/.config/Kestrova/Quorrel/H8 Userloader.conf\n"
    "                         QuorrelLoader's settings, where mfg write takes its defaults";

void add_global_options(CLI::App &app, global_options &global) {
    auto *usb = app.add_option("--usb", global.usb,
                               "the N-th connected USB controller (0-49), or all of them")
                    ->type_name("N|all");
    auto *serial =
        app.add_option("--serial", global.serial, "the USB controller with this serial number")
            ->type_name("SERIAL");
    auto *tcp = app.add_option("--tcp", global.tcp,
                               "the controller at HOST (port: the \"TCP Port\" setting); "
                               "repeat for several")
                    ->type_name("HOST");
    auto *tcp_list =
        app.add_option("--tcp-list", global.tcp_list, "controllers at the hosts in FILE, one a line")
            ->type_name("FILE");
    usb->excludes(serial)->excludes(tcp)->excludes(tcp_list);
    serial->excludes(tcp)->excludes(tcp_list);
    app.add_flag("--json", global.json, "machine-readable output (one object a line for several)");
    app.add_flag("--trace", global.trace, "log every frame to standard error");
    app.add_option("--log", global.log,
                   "append one JSON line per controller and operation to FILE")
        ->type_name("FILE");
}

int run(int argc, char **argv) {
    CLI::App app{"quorrelctl - drives Quorrel LED strobe controllers over USB or TCP"};
    app.require_subcommand(1);
    app.set_version_flag("--version", std::string("quorrelctl ") + QUORRELCTL_VERSION,
                         "print the version and exit");
    // Global options are taken after the command too: "quorrelctl status --json".
    app.fallthrough();
    global_options global;
    add_global_options(app, global);
    std::vector<std::pair<CLI::App *, command_handler>> handlers;
    for (const subcommand &entry : subcommands()) {
        CLI::App *parser = app.add_subcommand(entry.name, entry.help);
        handlers.emplace_back(parser, entry.add(*parser));
    }

    if (const std::string unknown = unknown_command_message(app, argc, argv); !unknown.empty())
        return usage_failure(unknown);
    // Set last, so that the subcommands' help does not repeat it.
    app.footer(help_footer);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : 2;
    }

    global.tcp_list_given = app.get_option("--tcp-list")->count() > 0;
    global.log_given = app.get_option("--log")->count() > 0;
    if (global.log_given && global.log.empty())
        return usage_failure("--log: a file name, not an empty text");

    // Before the first library call: the library looks at the variable on each exchange.
    if (global.trace)
        (void)platform::set_environment_variable("VORTLINK_TRACE", "1");
    for (const auto &[parser, handler] : handlers)
        if (parser->parsed())
            return handler(global);
    return 2;
}

} // namespace
} // namespace vortlink::ctl

int main(int argc, char **argv) {
    vortlink::platform::prepare_console();
    return vortlink::ctl::run(argc, argv);
}
