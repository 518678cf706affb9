#include "dialog/about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>

#include "dialog/loader_dialog.h"
#include "vortlink.h"

namespace vortlink::loader {

AboutDialog::AboutDialog(QWidget *parent) : QDialog(parent) {
    setObjectName(QStringLiteral("about_dialog"));
    setWindowTitle(QStringLiteral("About QuorrelLoader"));

    auto *icon = new QLabel(this);
    icon->setPixmap(QIcon(QStringLiteral(":/quorrel_loader/quorrel_loader.png")).pixmap(48, 48));

    const uint16_t loader_version = GetLoaderFileVersion();
    const uint16_t library_version = tkcmdset_get_dll_version();
    auto *text = new QLabel(
        QString::asprintf("QuorrelLoader Version %d.%02d (release %s)\n"
                          "Command-set library Version %d.%02d\n\n"
                          "Production and service utility for the Quorrel LED strobe controller.",
                          loader_version >> 8, loader_version & 0xFF, LoaderReleaseVersion(),
                          library_version >> 8, library_version & 0xFF),
        this);
    text->setObjectName(QStringLiteral("about_text"));

    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto *row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(buttons);
}

} // namespace vortlink::loader
