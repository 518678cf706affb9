#include "dialog/data_operations.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>

#include <cstring>
#include <ctime>

#include "blocks/config_block.h"
#include "core/platform/local_time.h"
#include "dialog/loader_dialog.h"
#include "fields/masked_address_field.h"
#include "lighthead/lighthead_data_dialog.h"
#include "ui_loader_dialog.h"
#include "vortlink.h"

namespace vortlink::loader {

namespace {

// A number field is read from its first 49 characters, more than any number the blocks store
// needs; a field that only keeps what it shows keeps its whole text.
constexpr qsizetype converted_text_limit = 49;
constexpr qsizetype whole_text = -1;
constexpr std::size_t record_part_number_length = 15;

std::string field_text(const QLineEdit *field, qsizetype limit = converted_text_limit) {
    return field->text().left(limit).toStdString();
}

std::tm local_date_now() {
    std::tm local{};
    (void)platform::local_time(std::time(nullptr), local);
    return local;
}

// Radio buttons of an exclusive group cannot all be cleared while the group is exclusive.
void clear_group(QButtonGroup *group) {
    group->setExclusive(false);
    for (QAbstractButton *button : group->buttons())
        button->setChecked(false);
    group->setExclusive(true);
}

} // namespace

void LoaderDialog::connect_data_operations() {
    lighthead_editor_ = new LightheadDataDialog(prompts_, this);
    connect(ui_->program_mfg_button, &QPushButton::clicked, this, &LoaderDialog::OnProgramMfgData);
    connect(ui_->program_config_button, &QPushButton::clicked, this, &LoaderDialog::OnProgramConfigData);
    connect(ui_->edit_led_data_button, &QPushButton::clicked, this, &LoaderDialog::OnEditLedData);
    connect(ui_->program_lighthead_button, &QPushButton::clicked, this, &LoaderDialog::OnProgramLighthead);
    for (QRadioButton *trigger_input : {ui_->trigger_none_radio, ui_->trigger_1_radio, ui_->trigger_2_radio})
        connect(trigger_input, &QRadioButton::clicked, this, &LoaderDialog::OnTriggerOrModeChanged);
    connect(ui_->operating_mode_list, &QComboBox::activated, this, &LoaderDialog::OnTriggerOrModeChanged);
}

namespace {

trigger_choice shown_trigger_input(const Ui::LoaderDialog &ui) {
    if (ui.trigger_none_radio->isChecked())
        return trigger_choice::none;
    if (ui.trigger_1_radio->isChecked())
        return trigger_choice::input_1;
    if (ui.trigger_2_radio->isChecked())
        return trigger_choice::input_2;
    return trigger_choice::unselected;
}

config_fields shown_config_fields(const Ui::LoaderDialog &ui,
                                  qsizetype text_limit = converted_text_limit) {
    config_fields fields;
    fields.trigger_input = shown_trigger_input(ui);
    fields.rising = ui.edge_rising_radio->isChecked();
    fields.differential_1 = ui.differential_1_check->isChecked();
    fields.differential_2 = ui.differential_2_check->isChecked();
    fields.width = field_text(ui.pulse_width_edit, text_limit);
    fields.delay = field_text(ui.pulse_delay_edit, text_limit);
    fields.current = field_text(ui.pulse_current_edit, text_limit);
    fields.supply_overhead = field_text(ui.supply_overhead_edit, text_limit);
    fields.initial_led_temperature = field_text(ui.led_temperature_edit, text_limit);
    fields.mode_position = ui.operating_mode_list->currentIndex();
    fields.slew_position = ui.slew_rate_list->currentIndex();
    return fields;
}

void select_position(QComboBox *list, int position) {
    list->setCurrentIndex(position >= 0 && position < list->count() ? position : -1);
}

void show_config_fields(Ui::LoaderDialog &ui, const config_fields &fields) {
    clear_group(ui.trigger_input_buttons);
    switch (fields.trigger_input) {
    case trigger_choice::none:
        ui.trigger_none_radio->setChecked(true);
        break;
    case trigger_choice::input_1:
        ui.trigger_1_radio->setChecked(true);
        break;
    case trigger_choice::input_2:
        ui.trigger_2_radio->setChecked(true);
        break;
    case trigger_choice::unselected:
        break;
    }
    (fields.rising ? ui.edge_rising_radio : ui.edge_falling_radio)->setChecked(true);
    ui.differential_1_check->setChecked(fields.differential_1);
    ui.differential_2_check->setChecked(fields.differential_2);
    ui.pulse_width_edit->setText(QString::fromStdString(fields.width));
    ui.pulse_delay_edit->setText(QString::fromStdString(fields.delay));
    ui.pulse_current_edit->setText(QString::fromStdString(fields.current));
    ui.supply_overhead_edit->setText(QString::fromStdString(fields.supply_overhead));
    ui.led_temperature_edit->setText(QString::fromStdString(fields.initial_led_temperature));
    select_position(ui.operating_mode_list, fields.mode_position);
    select_position(ui.slew_rate_list, fields.slew_position);
}

} // namespace

status_t ReadConfigBlock(LoaderDialog &dialog) {
    Ui::LoaderDialog &ui = *dialog.ui_;
    dialog.last_status_ = status::ok;
    uint8_t block[config_block_size] = {};
    const status_t result =
        tkcmdset_read_eemem_block(dialog.slot_, config_block_address, block, sizeof block);
    if (result != status::ok)
        return result;
    // What the block does not set is shown again as it was.
    config_fields fields = shown_config_fields(ui, whole_text);
    if (IsValidConfigBlock(block))
        read_config_block(block, fields);
    else
        show_config_defaults(fields);
    show_config_fields(ui, fields);
    return status::ok;
}

void LoaderDialog::OnProgramMfgData() {
    ++operation_depth_;
    const auto finish = qScopeGuard([this] { end_operation(); });
    SetBusy(true);
    mfg_fields fields;
    fields.serial_number = field_text(ui_->serial_number_edit);
    uint8_t mac[TKCMDSET_MAC_SIZE] = {};
    (void)ui_->mac_address_field->get_bytes(mac);
    std::memcpy(fields.mac.data(), mac, sizeof mac);
    (void)ui_->ip_address_field->get_value(fields.ip);
    fields.hardware_part_number = hardware_part_number_;
    fields.eco_revision = eco_revision_;
    fields.limit_48v = ui_->limit_48v_check->isChecked();
    uint8_t block[mfg_block_size];
    build_mfg_block(fields, local_date_now(), block);
    last_status_ = tkcmdset_write_eemem_block(slot_, mfg_block_address, block, sizeof block);
    ReportStatus(last_status_);
    SetBusy(false);
}

void LoaderDialog::OnProgramConfigData() {
    ++operation_depth_;
    const auto finish = qScopeGuard([this] { end_operation(); });
    SetBusy(true);
    uint8_t block[config_block_size];
    build_config_block(shown_config_fields(*ui_), block);
    last_status_ = tkcmdset_write_eemem_block(slot_, config_block_address, block, sizeof block);
    ReportStatus(last_status_);
    SetBusy(false);
}

void LoaderDialog::OnTriggerOrModeChanged() {
    const int position =
        mode_after_trigger_change(shown_trigger_input(*ui_), ui_->operating_mode_list->currentIndex());
    select_position(ui_->operating_mode_list, position);
}

bool read_lighthead(LoaderDialog &dialog) {
    Ui::LoaderDialog &ui = *dialog.ui_;
    uint32_t serial = 0;
    dialog.last_status_ = tkcmdset_special(dialog.slot_, TKCMDSET_SPECIAL_LIGHTHEAD_SERIAL, 0, &serial);
    if (dialog.last_status_ != status::ok) {
        ui.lighthead_part_number_edit->clear();
        ui.lighthead_serial_edit->setText(QStringLiteral("Unknown"));
        return dialog.lighthead_loaded;
    }
    if (!dialog.lighthead_loaded) {
        LightheadData record{};
        dialog.last_status_ = tkcmdset_get_lighthead_data(dialog.slot_, &record);
        if (dialog.last_status_ != status::ok) {
            dialog.ReportStatus(dialog.last_status_);
            ui.lighthead_part_number_edit->clear();
            dialog.lighthead_editor_->set_defaults();
        } else {
            ui.lighthead_part_number_edit->setText(QString::fromLatin1(
                record.part_number,
                static_cast<qsizetype>(strnlen(record.part_number, sizeof record.part_number))));
            dialog.lighthead_editor_->load_record(record);
        }
        dialog.lighthead_loaded = true;
    }
    if (serial != 0) {
        ui.lighthead_serial_edit->setText(QString::number(static_cast<int32_t>(serial)));
    } else {
        ui.lighthead_part_number_edit->clear();
        ui.lighthead_serial_edit->setText(QStringLiteral("Unknown"));
    }
    return dialog.lighthead_loaded;
}

void LoaderDialog::OnEditLedData() {
    ++operation_depth_;
    const auto finish = qScopeGuard([this] { end_operation(); });
    SetBusy(true);
    if (read_lighthead(*this))
        lighthead_editor_->show_modal();
    ReportStatus(last_status_);
    SetBusy(false);
}

void LoaderDialog::OnProgramLighthead() {
    ++operation_depth_;
    const auto finish = qScopeGuard([this] { end_operation(); });
    SetBusy(true);
    LightheadData record{};
    if (read_lighthead(*this)) {
        lighthead_editor_->store_record(record);
        const QByteArray part_number =
            ui_->lighthead_part_number_edit->text().toLatin1().left(record_part_number_length);
        std::memcpy(record.part_number, part_number.constData(),
                    static_cast<std::size_t>(part_number.size()));
        last_status_ = tkcmdset_set_lighthead_data(slot_, &record);
    }
    if (last_status_ == status::ok) {
        lighthead_loaded = false;
        (void)read_lighthead(*this);
    }
    ReportStatus(last_status_);
    SetBusy(false);
}

} // namespace vortlink::loader
