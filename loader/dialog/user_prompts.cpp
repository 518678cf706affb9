#include "dialog/user_prompts.h"

#include <QFileDialog>
#include <QMessageBox>

#include <cstdio>

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

void console_prompts::show_message(QWidget *, const QString &caption, const QString &text) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(caption), qPrintable(text));
}

void console_prompts::note_status(const QString &caption, const QString &text) {
    show_message(nullptr, caption, text);
}

QString console_prompts::choose_open_file(QWidget *, const QString &, const QString &,
                                          const QStringList &) {
    return {};
}

} // namespace vortlink::loader
