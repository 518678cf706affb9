#include "dialog/loader_app.h"

#include <QApplication>
#include <QByteArray>
#include <QCommandLineParser>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "dialog/loader_dialog.h"
#include "dialog/user_prompts.h"

namespace vortlink::loader {

namespace {

// What --help prints after the options: the manual page is made from it.
const char help_epilogue[] =
    "\n"
    "Exit status:\n"
    "  0                           the dialog was closed\n"
    "  1                           an unknown option, or the picture of --screenshot could not\n"
    "                              be saved\n"
    "\n"
    "Environment:\n"
    "  VORTLINK_HID_SIM=PATH       talk to the simulated USB controllers of the quorrel-sim\n"
    "                              listening on the unix socket PATH instead of hidraw devices\n"
    "  VORTLINK_TRACE=1|FILE       log every frame of every exchange to standard error (1), or\n"
    "                              append it to FILE; unset, empty or 0: off\n"
    "\n"
    "Files:\n"
    "  ~/.config/Kestrova/Quorrel/H8 Userloader.conf\n"
    "                              the utility's settings (under $XDG_CONFIG_HOME when set)\n"
    "  ~/.config/Kestrova/Quorrel/Command Set Toolkit.conf\n"
    "                              the command-set library's settings\n";

bool asks_for_help_or_version(int argc, char **argv) {
    for (int index = 1; index < argc; ++index) {
        const QByteArray argument(argv[index]);
        if (argument == "--")
            break;
        if (argument == "-h" || argument == "--help" || argument == "-?" || argument == "-v" ||
            argument == "--version" || argument == "--help-all")
            return true;
    }
    return false;
}

void name_application() {
    QCoreApplication::setApplicationName(QStringLiteral("QuorrelLoader"));
    QCoreApplication::setApplicationVersion(QString::fromLatin1(LoaderReleaseVersion()));
}

} // namespace

int LoaderApp::run(int argc, char **argv) {
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Production and service utility for the Quorrel LED strobe controller: "
                       "selects a controller on the USB bus,\nidentifies it, switches it between "
                       "boot loader and application, programs its firmware, its manufacturing\n"
                       "and configuration blocks and its lighthead data, and runs its "
                       "self-tests."));
    const QCommandLineOption help_option = parser.addHelpOption();
    const QCommandLineOption version_option = parser.addVersionOption();
    const QCommandLineOption select_on_start(QStringLiteral("select-on-start"),
                                             QStringLiteral("Press \"Select Device\" at start."));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Save a PNG picture of the dialog after start-up and print its path; "
                       "status reports then go to standard error instead of message boxes."),
        QStringLiteral("path"));
    const QCommandLineOption quit_after_screenshot(
        QStringLiteral("quit-after-screenshot"),
        QStringLiteral("Close the dialog once the picture is saved."));
    parser.addOption(select_on_start);
    parser.addOption(screenshot);
    parser.addOption(quit_after_screenshot);

    // Help and version need no display: answer them before a window system is looked for.
    if (asks_for_help_or_version(argc, argv)) {
        QCoreApplication core(argc, argv);
        name_application();
        if (!parser.parse(QCoreApplication::arguments()) || parser.isSet(version_option) ||
            !parser.isSet(help_option))
            parser.process(core);
        std::fputs(qPrintable(parser.helpText()), stdout);
        std::fputs(help_epilogue, stdout);
        return 0;
    }

    QApplication application(argc, argv);
    name_application();
    parser.process(application);

    const bool unattended = parser.isSet(screenshot);
    std::unique_ptr<user_prompts> prompts;
    if (unattended)
        prompts = std::make_unique<console_prompts>();
    else
        prompts = std::make_unique<window_prompts>();

    int result = 0;
    {
        LoaderDialog dialog(*prompts);
        const QString picture_path = parser.value(screenshot);
        const bool select = parser.isSet(select_on_start);
        const bool quit_after = parser.isSet(quit_after_screenshot);
        QTimer::singleShot(0, &dialog, [&] {
            if (select)
                dialog.findChild<QPushButton *>("select_device_button")->click();
            if (!picture_path.isEmpty()) {
                if (dialog.grab().save(picture_path, "PNG")) {
                    std::printf("%s\n", qPrintable(picture_path));
                    std::fflush(stdout);
                } else {
                    std::fprintf(stderr, "could not save %s\n", qPrintable(picture_path));
                    result = 1;
                }
            }
            if (quit_after)
                dialog.done(QDialog::Rejected);
        });
        dialog.exec();
    }
    return result;
}

} // namespace vortlink::loader
