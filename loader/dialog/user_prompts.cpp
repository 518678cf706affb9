#include "dialog/user_prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include <cstdio>

#include "common/printable_text.h"

namespace vortlink::loader {

void window_prompts::show_message(QWidget *owner, const QString &caption, const QString &text) {
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner);
    box.exec();
}

QString window_prompts::choose_open_file(QWidget *owner, const QString &title,
                                         const QString &proposed, const QStringList &filters) {
    QFileDialog chooser(owner, title, proposed);
    chooser.setFileMode(QFileDialog::ExistingFile);
    chooser.setAcceptMode(QFileDialog::AcceptOpen);
    chooser.setNameFilters(filters);
    if (!filters.isEmpty())
        chooser.selectNameFilter(filters.front());
    if (!proposed.isEmpty())
        chooser.selectFile(proposed);
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return {};
    return chooser.selectedFiles().front();
}

namespace {

// The message carries catalogue texts and controller strings: shown escaped, never obeyed. The
// dialog's own line ends ("\r\n") become the terminal's.
QByteArray console_text(const QString &text) {
    const QByteArray bytes = text.toLocal8Bit().replace("\r\n", "\n");
    QByteArray shown(static_cast<qsizetype>(VORTLINK_PRINTABLE_SIZE(bytes.size())), '\0');
    shown.resize(static_cast<qsizetype>(
        vortlink_printable_text(bytes.constData(), static_cast<size_t>(bytes.size()), 1,
                                shown.data(), static_cast<size_t>(shown.size()))));
    return shown;
}

} // namespace

void console_prompts::show_message(QWidget *, const QString &caption, const QString &text) {
    std::fprintf(stderr, "%s: %s\n", console_text(caption).constData(),
                 console_text(text).constData());
}

void console_prompts::note_status(const QString &caption, const QString &text) {
    show_message(nullptr, caption, text);
}

QString console_prompts::choose_open_file(QWidget *, const QString &, const QString &,
                                          const QStringList &) {
    return {};
}

} // namespace vortlink::loader
