#include "lighthead/lighthead_data_dialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "dialog/user_prompts.h"
#include "ui_lighthead_data_dialog.h"

namespace vortlink::loader {

LightheadDataDialog::LightheadDataDialog(user_prompts &prompts, QWidget *parent)
    : QDialog(parent), prompts_(prompts), ui_(std::make_unique<Ui::LightheadDataDialog>()) {
    ui_->setupUi(this);
    fields_ = {ui_->field_led_rth,         ui_->field_tau,
               ui_->field_vf_slope,        ui_->field_vf_offset,
               ui_->field_tj_max,          ui_->field_string_count,
               ui_->field_leds_per_string, ui_->field_heatsink_rth,
               ui_->field_default_current, ui_->field_max_pulse_current,
               ui_->field_max_cont_current};
    connect(ui_->ok_button, &QPushButton::clicked, this, &LightheadDataDialog::accept);
    connect(ui_->cancel_button, &QPushButton::clicked, this, &LightheadDataDialog::reject);
    show_values();
}

LightheadDataDialog::~LightheadDataDialog() = default;

void LightheadDataDialog::set_defaults() {
    vortlink::loader::set_defaults(values_);
    show_values();
}

void LightheadDataDialog::load_record(const LightheadData &record) {
    vortlink::loader::load_record(values_, record);
    show_values();
}

void LightheadDataDialog::store_record(LightheadData &record) const {
    vortlink::loader::store_record(values_, record);
}

QLineEdit *LightheadDataDialog::field(lighthead_row row) const {
    return fields_[static_cast<int>(row)];
}

QString LightheadDataDialog::programming_text() const {
    return ui_->programming_text->text();
}

void LightheadDataDialog::show_values() {
    for (int row = 0; row < lighthead_rows; ++row)
        fields_[row]->setText(
            QString::fromStdString(row_text(values_, static_cast<lighthead_row>(row))));
    ui_->programming_text->setText(QString::fromLatin1(values_.programming_text));
}

void LightheadDataDialog::show_modal() {
    show_values();
    fields_[0]->setFocus(Qt::OtherFocusReason);
    fields_[0]->selectAll();
    (void)exec();
}

void LightheadDataDialog::accept() {
    std::array<std::string, lighthead_rows> texts;
    for (int row = 0; row < lighthead_rows; ++row)
        texts[row] = fields_[row]->text().toStdString();
    if (const std::optional<lighthead_refusal> refusal = take_over_rows(values_, texts)) {
        prompts_.show_message(this, QStringLiteral("QuorrelLoader"),
                              QString::fromStdString(refusal->message));
        QLineEdit *refused = field(refusal->row);
        refused->setFocus(Qt::OtherFocusReason);
        refused->selectAll();
        return;
    }
    QDialog::accept();
}

} // namespace vortlink::loader
