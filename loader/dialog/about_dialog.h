#pragma once
// The About box: program and library versions.

#include <QDialog>

namespace vortlink::loader {

class AboutDialog : public QDialog {
    Q_OBJECT
  public:
    explicit AboutDialog(QWidget *parent = nullptr);
};

} // namespace vortlink::loader
