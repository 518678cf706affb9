#include "dialog/loader_app.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <memory>

#include "dialog/loader_dialog.h"
#include "dialog/user_prompts.h"

namespace vortlink::loader {

int LoaderApp::run(int argc, char **argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("QuorrelLoader"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Quorrel controller loader"));
    parser.addHelpOption();
    const QCommandLineOption select_on_start(QStringLiteral("select-on-start"),
                                             QStringLiteral("Press \"Select Device\" at start."));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QStringLiteral("Save a PNG picture of the dialog after start-up."), QStringLiteral("path"));
    const QCommandLineOption quit_after_screenshot(
        QStringLiteral("quit-after-screenshot"),
        QStringLiteral("Close the dialog once the picture is saved."));
    parser.addOption(select_on_start);
    parser.addOption(screenshot);
    parser.addOption(quit_after_screenshot);
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
                static_cast<QPushButton *>(dialog.control(1000))->click();
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
