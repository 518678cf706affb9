#pragma once
// The lighthead data editor: LED group 0 of the lighthead record in eleven fields, taken over
// with range checks on "OK". It edits its own copy only; the main dialog loads it from the
// lighthead and stores it into the record it programs.

#include <QDialog>
#include <QString>

#include <array>
#include <memory>

#include "blocks/lighthead_values.h"
#include "vortlink.h"

class QLineEdit;

namespace Ui {
class LightheadDataDialog;
}

namespace vortlink::loader {

class user_prompts;

class LightheadDataDialog : public QDialog {
    Q_OBJECT
  public:
    // prompts shows the refusals of "OK"; it must outlive the editor.
    explicit LightheadDataDialog(user_prompts &prompts, QWidget *parent = nullptr);
    ~LightheadDataDialog() override;

    void set_defaults();
    void load_record(const LightheadData &record);
    void store_record(LightheadData &record) const;
    // Shows the values and lets the user edit them until "OK" takes them or "Cancel".
    void show_modal();

    const lighthead_values &values() const { return values_; }
    QLineEdit *field(lighthead_row row) const;
    QString programming_text() const;

  public slots:
    void accept() override;

  private:
    void show_values();

    user_prompts &prompts_;
    std::unique_ptr<Ui::LightheadDataDialog> ui_;
    lighthead_values values_;
    std::array<QLineEdit *, lighthead_rows> fields_{};
};

} // namespace vortlink::loader
