// QuorrelLoader's manufacturing and configuration blocks and its lighthead data editor, against
// quorrel-sim's simulated USB controllers: what the dialog programs is what the controller's
// EEPROM holds and what the next identification shows.

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "blocks/config_block.h"
#include "blocks/mfg_block.h"
#include "common/crc16.h"
#include "dialog/data_operations.h"
#include "dialog/loader_dialog.h"
#include "dialog/loader_settings.h"
#include "dialog/user_prompts.h"
#include "fields/masked_address_field.h"
#include "lighthead/lighthead_data_dialog.h"
#include "support/loader_dialog_fixture.h"
#include "support/simulator_process.h"
#include "vortlink.h"

using namespace vortlink::loader;
using vortlink::test::loader_dialog_fixture;
using vortlink::test::simulator_process;
using vortlink::test::with_hid;

namespace {

// A fixed-width text field of the lighthead record: it may fill the field without a terminator.
template <std::size_t width> QString field_text(const char (&field)[width]) {
    return QString::fromLatin1(field, static_cast<qsizetype>(strnlen(field, width)));
}

class captured_prompts final : public user_prompts {
  public:
    void show_message(QWidget *, const QString &, const QString &text) override {
        messages.push_back(text);
    }
    QString choose_open_file(QWidget *, const QString &, const QString &,
                             const QStringList &) override {
        return {};
    }
    std::vector<QString> messages;
};

std::tm local_date_now() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

} // namespace

class LoaderBlocksTest : public QObject, public loader_dialog_fixture<captured_prompts> {
    Q_OBJECT

  private slots:
    void init() { use_private_settings(); }
    void cleanup() { release(); }

    void manufacturing_data_is_programmed_and_shown_again() {
        start_simulator({"--boot-loader", "--serial", "9876543210123456789"});
        make_dialog();
        select_device();
        QVERIFY(dialog->loader_flag());
        // The controller's serial number is shown whole, and its first 16 characters written.
        QCOMPARE(edit("serial_number_edit")->text(), QString("9876543210123456789"));
        button("program_mfg_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        uint8_t block[mfg_block_size] = {};
        QCOMPARE(tkcmdset_read_eemem_block(dialog->slot(), 0, block, sizeof block), int16_t{0});
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block + 6), 16),
                 QByteArray("9876543210123456"));
        // Typing stops at ten characters, even once some of the long text was taken away.
        edit("serial_number_edit")->setCursorPosition(19);
        QTest::keyClick(edit("serial_number_edit"), Qt::Key_Backspace);
        QTest::keyClicks(edit("serial_number_edit"), "12");
        QCOMPARE(edit("serial_number_edit")->text(), QString("987654321012345678"));
        edit("serial_number_edit")->selectAll();
        QTest::keyClicks(edit("serial_number_edit"), "123456789012");
        QCOMPARE(edit("serial_number_edit")->text(), QString("1234567890"));
        QVERIFY(mac_field().set_text("02:4C:51:AB:CD:EF"));
        QVERIFY(ip_field().set_text("10.20.30.40"));
        check_box("limit_48v_check")->setChecked(true);
        button("program_mfg_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(status_box_text(), QString("No errors reported"));
        QVERIFY(prompts.messages.empty());

        QCOMPARE(tkcmdset_read_eemem_block(dialog->slot(), 0, block, sizeof block), int16_t{0});
        QVERIFY(IsValidMfgBlock(block));
        const mfg_fields stored = read_mfg_block(block);
        QCOMPARE(QString::fromStdString(stored.serial_number), QString("1234567890"));
        QCOMPARE(stored.mac, (std::array<uint8_t, 6>{0x02, 0x4C, 0x51, 0xAB, 0xCD, 0xEF}));
        QCOMPARE(stored.ip, 0x0A141E28u);
        QVERIFY(stored.limit_48v);
        QCOMPARE(QString::fromStdString(stored.hardware_part_number), QString("4310-000552-110"));
        QCOMPARE(QString::fromStdString(stored.eco_revision), QString("110"));
        QCOMPARE(QByteArray(reinterpret_cast<const char *>(block + 22)),
                 QByteArray::fromStdString(mfg_date_code(local_date_now())));

        // Another identification shows the block, whatever the fields showed meanwhile.
        QVERIFY(mac_field().set_text("02:4C:51:00:00:00"));
        QVERIFY(ip_field().set_text("1.2.3.4"));
        check_box("limit_48v_check")->setChecked(false);
        select_device();
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(mac_field().text(), QString("02:4C:51:AB:CD:EF"));
        QCOMPARE(ip_field().text(), QString("10.20.30.40"));
        QVERIFY(check_box("limit_48v_check")->isChecked());
    }

    void configuration_data_is_programmed_and_shown_again() {
        start_simulator();
        make_dialog();
        select_device();
        radio("trigger_2_radio")->click();
        radio("edge_falling_radio")->click();
        check_box("differential_1_check")->setChecked(true);
        check_box("differential_2_check")->setChecked(false);
        edit("pulse_width_edit")->setText("250");
        edit("pulse_delay_edit")->setText("70000");
        edit("pulse_current_edit")->setText("2.5");
        edit("supply_overhead_edit")->setText("12");
        edit("led_temperature_edit")->setText("300");
        list("operating_mode_list")->setCurrentIndex(2);
        list("slew_rate_list")->setCurrentIndex(3);
        button("program_config_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(prompts.messages.empty());

        uint8_t block[config_block_size] = {};
        QCOMPARE(tkcmdset_read_eemem_block(dialog->slot(), 512, block, sizeof block), int16_t{0});
        QVERIFY(IsValidConfigBlock(block));
        for (int channel = 0; channel < 4; ++channel) {
            const uint8_t *record = block + 96 + 40 * channel;
            QCOMPARE(record[0], uint8_t{2});
            QCOMPARE(record[1], uint8_t{0});
            QCOMPARE(record[2], uint8_t{5});
            QCOMPARE(record[3], uint8_t{3});
            QCOMPARE(record[6] << 8 | record[7], 4464);
            QCOMPARE(QByteArray(reinterpret_cast<const char *>(record + 8), 4),
                     QByteArray::fromHex("40200000"));
            QCOMPARE(block[14 + channel], uint8_t{44});
        }
        QCOMPARE(block[22], uint8_t{1});

        // Scrambled fields come back as programmed on the next identification.
        radio("trigger_none_radio")->click();
        radio("edge_rising_radio")->click();
        check_box("differential_1_check")->setChecked(false);
        check_box("differential_2_check")->setChecked(true);
        for (const char *id : {"pulse_width_edit", "pulse_delay_edit", "pulse_current_edit", "supply_overhead_edit", "led_temperature_edit"})
            edit(id)->setText("9");
        list("operating_mode_list")->setCurrentIndex(0);
        list("slew_rate_list")->setCurrentIndex(-1);
        select_device();
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(radio("trigger_2_radio")->isChecked());
        QVERIFY(!radio("trigger_none_radio")->isChecked() && !radio("trigger_1_radio")->isChecked());
        QVERIFY(radio("edge_falling_radio")->isChecked());
        QVERIFY(check_box("differential_1_check")->isChecked());
        QVERIFY(!check_box("differential_2_check")->isChecked());
        QCOMPARE(edit("pulse_width_edit")->text(), QString("250"));
        QCOMPARE(edit("pulse_delay_edit")->text(), QString("4464"));
        QCOMPARE(edit("pulse_current_edit")->text(), QString(" 2.50"));
        QCOMPARE(edit("supply_overhead_edit")->text(), QString("12.00"));
        QCOMPARE(edit("led_temperature_edit")->text(), QString("44"));
        QCOMPARE(list("operating_mode_list")->currentIndex(), 2);
        QCOMPARE(list("slew_rate_list")->currentIndex(), 3);
    }

    void factory_configuration_is_shown_at_identification() {
        start_simulator();
        make_dialog();
        select_device();
        QVERIFY(radio("trigger_none_radio")->isChecked());
        QVERIFY(radio("edge_rising_radio")->isChecked());
        QCOMPARE(edit("pulse_width_edit")->text(), QString("100"));
        QCOMPARE(edit("pulse_delay_edit")->text(), QString("0"));
        QCOMPARE(edit("pulse_current_edit")->text(), QString(" 1.00"));
        QCOMPARE(edit("supply_overhead_edit")->text(), QString(" 5.00"));
        QCOMPARE(edit("led_temperature_edit")->text(), QString("25"));
        QCOMPARE(list("operating_mode_list")->currentIndex(), 0);
        QCOMPARE(list("slew_rate_list")->currentIndex(), 0);
        QVERIFY(!check_box("differential_1_check")->isChecked());
    }

    void an_invalid_configuration_block_shows_the_defaults() {
        start_simulator({"--erased"});
        make_dialog();
        radio("trigger_1_radio")->click();
        radio("edge_falling_radio")->click();
        check_box("differential_2_check")->setChecked(true);
        // Fields the defaults leave alone keep their whole text, however long.
        const QString temperature = "61" + QString(58, '0');
        edit("led_temperature_edit")->setText(temperature);
        list("slew_rate_list")->setCurrentIndex(2);
        list("operating_mode_list")->setCurrentIndex(3);
        for (const char *id : {"pulse_width_edit", "pulse_delay_edit", "pulse_current_edit", "supply_overhead_edit"})
            edit(id)->setText("7");
        select_device();
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(radio("trigger_none_radio")->isChecked());
        QVERIFY(!radio("trigger_1_radio")->isChecked());
        QVERIFY(radio("edge_rising_radio")->isChecked());
        QCOMPARE(edit("pulse_width_edit")->text(), QString("100"));
        QCOMPARE(edit("pulse_delay_edit")->text(), QString("0"));
        QCOMPARE(edit("pulse_current_edit")->text(), QString("1.0"));
        QCOMPARE(edit("supply_overhead_edit")->text(), QString("5.0"));
        QCOMPARE(list("operating_mode_list")->currentIndex(), 0);
        QVERIFY(check_box("differential_2_check")->isChecked());
        QCOMPARE(edit("led_temperature_edit")->text(), temperature);
        QCOMPARE(list("slew_rate_list")->currentIndex(), 2);
        // The erased lighthead record is reported at once; the block itself is no error.
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QVERIFY(prompts.messages.front().startsWith("ERROR (-10206) : "));
    }

    void unknown_and_listless_mode_codes_on_reading() {
        start_simulator();
        make_dialog();
        select_device();
        config_fields fields;
        fields.trigger_input = trigger_choice::input_1;
        fields.mode_position = operating_mode_without_entry;
        uint8_t block[config_block_size];
        build_config_block(fields, block);
        QCOMPARE(block[98], uint8_t{18});
        write_config_block(block);
        list("operating_mode_list")->setCurrentIndex(3);
        QCOMPARE(ReadConfigBlock(*dialog), status::ok);
        QCOMPARE(list("operating_mode_list")->currentIndex(), -1);
        QCOMPARE(list("slew_rate_list")->currentIndex(), -1);
        QVERIFY(radio("trigger_1_radio")->isChecked());

        block[98] = 3;
        const uint16_t crc = crc16(std::span<const uint8_t>(block + 2, config_block_size - 2));
        block[0] = static_cast<uint8_t>(crc >> 8);
        block[1] = static_cast<uint8_t>(crc);
        write_config_block(block);
        list("operating_mode_list")->setCurrentIndex(2);
        QCOMPARE(ReadConfigBlock(*dialog), status::ok);
        QCOMPARE(list("operating_mode_list")->currentIndex(), 2);

        // No trigger input bit the dialog knows: none of the three radios stays selected.
        block[96] = 4;
        const uint16_t resealed = crc16(std::span<const uint8_t>(block + 2, config_block_size - 2));
        block[0] = static_cast<uint8_t>(resealed >> 8);
        block[1] = static_cast<uint8_t>(resealed);
        write_config_block(block);
        QCOMPARE(ReadConfigBlock(*dialog), status::ok);
        QVERIFY(!radio("trigger_none_radio")->isChecked() && !radio("trigger_1_radio")->isChecked() &&
                !radio("trigger_2_radio")->isChecked());
    }

    void a_trigger_input_rules_out_timing_bypass() {
        start_simulator();
        make_dialog();
        select_device();
        choose_mode(1);
        QCOMPARE(list("operating_mode_list")->currentIndex(), 1);
        QVERIFY(radio("trigger_none_radio")->isChecked());
        radio("trigger_1_radio")->click();
        QCOMPARE(list("operating_mode_list")->currentIndex(), -1);
        // Going back to no trigger input finds no mode to restore.
        radio("trigger_none_radio")->click();
        QCOMPARE(list("operating_mode_list")->currentIndex(), -1);
        choose_mode(1);
        QCOMPARE(list("operating_mode_list")->currentIndex(), 1);
        radio("trigger_2_radio")->click();
        QCOMPARE(list("operating_mode_list")->currentIndex(), -1);
        choose_mode(1);
        QCOMPARE(list("operating_mode_list")->currentIndex(), -1);
        choose_mode(2);
        QCOMPARE(list("operating_mode_list")->currentIndex(), 2);
        radio("trigger_1_radio")->click();
        QCOMPARE(list("operating_mode_list")->currentIndex(), 2);

        list("operating_mode_list")->setCurrentIndex(-1);
        list("slew_rate_list")->setCurrentIndex(-1);
        button("program_config_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        uint8_t block[config_block_size] = {};
        QCOMPARE(tkcmdset_read_eemem_block(dialog->slot(), 512, block, sizeof block), int16_t{0});
        QCOMPARE(block[96 + 2], uint8_t{0});
        QCOMPARE(block[96 + 3], uint8_t{0xFF});
        QCOMPARE(block[216 + 2], uint8_t{0});
    }

    void program_failure_is_reported() {
        start_simulator();
        make_dialog();
        select_device();
        simulator->inject("error -5");
        button("program_config_button")->click();
        QCOMPARE(dialog->last_status(), status_t{-5});
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QVERIFY(prompts.messages.front().startsWith("ERROR (-5) : "));
        QVERIFY(status_box_text().startsWith("ERROR (-5) : "));
    }

    void editor_shows_the_lighthead_record() {
        start_simulator();
        make_dialog();
        select_device();
        QCOMPARE(edit("lighthead_serial_edit")->text(), QString("4400123"));
        QCOMPARE(edit("lighthead_part_number_edit")->text(), QString("LH-4400-01"));
        QStringList shown;
        QString programming_text;
        QString title;
        while_editor_open([&](LightheadDataDialog &editor) {
            title = editor.windowTitle();
            for (int row = 0; row < lighthead_rows; ++row)
                shown.append(editor.field(static_cast<lighthead_row>(row))->text());
            programming_text = editor.programming_text();
            cancel(editor);
        });
        button("edit_led_data_button")->click();
        QCOMPARE(title, QString("Dialog"));
        QCOMPARE(shown, QStringList(
                            {"2.5", "12", "0.4", "2.9", "125", "4", "6", "0.8", "1", "10", "0.5"}));
        QCOMPARE(programming_text, QString("Lighthead last programmed on 10-Apr-2026 9:30"));
        QVERIFY(prompts.messages.empty());
        QCOMPARE(status_box_text(), QString("No errors reported"));
        QCOMPARE(dialog->lighthead_editor().values().max_pulse_current, 10.0F);
    }

    void editor_refuses_out_of_range_fields_and_keeps_the_focus_there() {
        start_simulator();
        make_dialog();
        select_device();
        bool refused_visible = false;
        QLineEdit *focused = nullptr;
        QString selected;
        while_editor_open([&](LightheadDataDialog &editor) {
            editor.field(lighthead_row::max_cont_current)->setText("0.6");
            ok(editor);
            refused_visible = editor.isVisible();
            focused = qobject_cast<QLineEdit *>(editor.focusWidget());
            selected = focused != nullptr ? focused->selectedText() : QString();
            cancel(editor);
        });
        button("edit_led_data_button")->click();
        LightheadDataDialog &editor = dialog->lighthead_editor();
        QVERIFY(refused_visible);
        QCOMPARE(focused, editor.field(lighthead_row::max_cont_current));
        QCOMPARE(selected, QString("0.6"));
        QCOMPARE(prompts.messages,
                 std::vector<QString>{"Please enter a number between 0 and 0.5."});
        QCOMPARE(editor.values().max_cont_current, 0.5F);

        // Five strings are taken before the current that no longer fits them is refused.
        prompts.messages.clear();
        while_editor_open([&](LightheadDataDialog &open) {
            open.field(lighthead_row::string_count)->setText("5");
            open.field(lighthead_row::default_current)->setText("20");
            open.field(lighthead_row::tau)->setText("3");
            ok(open);
            refused_visible = open.isVisible();
            focused = qobject_cast<QLineEdit *>(open.focusWidget());
            open.field(lighthead_row::tau)->setText("abc");
            ok(open);
            cancel(open);
        });
        button("edit_led_data_button")->click();
        QVERIFY(refused_visible);
        QCOMPARE(focused, editor.field(lighthead_row::default_current));
        QCOMPARE(prompts.messages, (std::vector<QString>{"Please enter a number between 0 and 10.",
                                                         "Please enter a number."}));
        QCOMPARE(editor.values().string_count, 5);
        QCOMPARE(editor.values().tau, 3.0F);
        QCOMPARE(editor.values().default_current, 1.0F);
    }

    void cancel_keeps_the_values_and_program_sends_them() {
        start_simulator();
        make_dialog();
        select_device();
        while_editor_open([&](LightheadDataDialog &editor) {
            editor.field(lighthead_row::leds_per_string)->setText("15");
            editor.field(lighthead_row::led_rth)->setText("3.5");
            editor.field(lighthead_row::max_cont_current)->setText("0.5");
            ok(editor);
        });
        button("edit_led_data_button")->click();
        QVERIFY(prompts.messages.empty());
        while_editor_open([&](LightheadDataDialog &editor) {
            editor.field(lighthead_row::leds_per_string)->setText("2");
            editor.field(lighthead_row::tau)->setText("30");
            cancel(editor);
        });
        button("edit_led_data_button")->click();
        QCOMPARE(dialog->lighthead_editor().values().leds_per_string, 15);
        QCOMPARE(dialog->lighthead_editor().values().tau, 12.0F);

        // Groups 1 to 3 are programmed as zeros whatever the lighthead held.
        LightheadData before{};
        QCOMPARE(tkcmdset_get_lighthead_data(dialog->slot(), &before), int16_t{0});
        before.led[2].tau = 5.0F;
        QCOMPARE(tkcmdset_set_lighthead_data(dialog->slot(), &before), int16_t{0});

        edit("lighthead_part_number_edit")->setText("PART-0123456789-XYZ");
        button("program_lighthead_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(status_box_text(), QString("No errors reported"));
        LightheadData stored{};
        QCOMPARE(tkcmdset_get_lighthead_data(dialog->slot(), &stored), int16_t{0});
        QCOMPARE(field_text(stored.part_number), QString("PART-0123456789"));
        QCOMPARE(stored.led[0].leds_per_string, 15);
        QCOMPARE(stored.led[0].led_rth, 3.5F);
        QCOMPARE(stored.led[0].tau, 12.0F);
        QCOMPARE(stored.led[0].string_count, 4);
        QCOMPARE(stored.led[0].max_cont_current, 0.5F);
        QCOMPARE(stored.led[2].tau, 0.0F);
        const QString programmed =
            QStringLiteral("Lighthead last programmed on ") + field_text(stored.programmed_on);
        QVERIFY(field_text(stored.programmed_on) != QString("10-Apr-2026 9:30"));
        QCOMPARE(dialog->lighthead_editor().programming_text(), programmed);
        QCOMPARE(edit("lighthead_part_number_edit")->text(), QString("PART-0123456789"));

        // Selecting the device again shows what the lighthead now holds.
        dialog->lighthead_editor().set_defaults();
        edit("lighthead_part_number_edit")->clear();
        select_device();
        QCOMPARE(edit("lighthead_part_number_edit")->text(), QString("PART-0123456789"));
        QCOMPARE(dialog->lighthead_editor().values().leds_per_string, 15);
        QCOMPARE(dialog->lighthead_editor().values().led_rth, 3.5F);
        QStringList shown_text;
        while_editor_open([&](LightheadDataDialog &editor) {
            shown_text.append(editor.programming_text());
            shown_text.append(editor.field(lighthead_row::leds_per_string)->text());
            cancel(editor);
        });
        button("edit_led_data_button")->click();
        QCOMPARE(shown_text, QStringList({programmed, "15"}));
    }

    void a_record_outside_the_ranges_opens_without_complaint() {
        start_simulator();
        make_dialog();
        select_device();
        LightheadData record{};
        QCOMPARE(tkcmdset_get_lighthead_data(dialog->slot(), &record), int16_t{0});
        record.led[0].string_count = 12;
        QCOMPARE(tkcmdset_set_lighthead_data(dialog->slot(), &record), int16_t{0});
        select_device();
        QString shown;
        std::vector<QString> messages_before_ok;
        while_editor_open([&](LightheadDataDialog &editor) {
            shown = editor.field(lighthead_row::string_count)->text();
            messages_before_ok = prompts.messages;
            ok(editor);
            cancel(editor);
        });
        button("edit_led_data_button")->click();
        QCOMPARE(shown, QString("12"));
        QVERIFY(messages_before_ok.empty());
        QCOMPARE(prompts.messages,
                 std::vector<QString>{"Please enter an integer between 1 and 10."});
    }

    void a_lighthead_without_serial_number_is_unknown() {
        start_simulator({"--no-lighthead"});
        make_dialog();
        select_device();
        QCOMPARE(edit("lighthead_serial_edit")->text(), QString("Unknown"));
        QCOMPARE(edit("lighthead_part_number_edit")->text(), QString());
        // The erased record is reported and the editor starts from the defaults.
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QVERIFY(prompts.messages.front().startsWith("ERROR (-10206) : "));
        QString programming_text;
        while_editor_open([&](LightheadDataDialog &editor) {
            programming_text = editor.programming_text();
            cancel(editor);
        });
        button("edit_led_data_button")->click();
        QCOMPARE(programming_text, QString("Lighthead not programmed"));
        QCOMPARE(dialog->lighthead_editor().values().vf_offset, 3.5F);

        // Without a serial number the part number is emptied before it is taken: the record is
        // programmed with an empty one, and reading it back still shows "Unknown".
        edit("lighthead_part_number_edit")->setText("IGNORED");
        button("program_lighthead_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(edit("lighthead_serial_edit")->text(), QString("Unknown"));
        QCOMPARE(edit("lighthead_part_number_edit")->text(), QString());
        LightheadData stored{};
        QCOMPARE(tkcmdset_get_lighthead_data(dialog->slot(), &stored), int16_t{0});
        QCOMPARE(field_text(stored.part_number), QString());
        QCOMPARE(stored.led[0].vf_offset, 3.5F);
        QCOMPARE(dialog->lighthead_editor().programming_text(),
                 QString("Lighthead last programmed on ") + field_text(stored.programmed_on));
    }

  private:
    // Each identification opens the first controller again.
    void select_device() {
        dialog->OnSystemCommand(0);
        button("select_device_button")->click();
        QCOMPARE(dialog->slot(), uint8_t{0});
    }
    void write_config_block(const uint8_t (&block)[config_block_size]) {
        QCOMPARE(tkcmdset_write_eemem_block(dialog->slot(), 512, block, config_block_size),
                 int16_t{0});
    }
    void choose_mode(int position) {
        list("operating_mode_list")->setCurrentIndex(position);
        emit list("operating_mode_list")->activated(position);
    }
    // Runs action once the editor is open; an editor the action leaves open is cancelled, so a
    // failing check never leaves the test waiting on a modal dialog.
    void while_editor_open(std::function<void(LightheadDataDialog &)> action) {
        auto *poll = new QTimer(dialog.get());
        poll->setInterval(10);
        connect(poll, &QTimer::timeout, dialog.get(), [this, poll, action = std::move(action)] {
            LightheadDataDialog &editor = dialog->lighthead_editor();
            if (!editor.isVisible())
                return;
            poll->stop();
            poll->deleteLater();
            const auto close = qScopeGuard([&editor] {
                if (editor.isVisible())
                    editor.reject();
            });
            action(editor);
        });
        poll->start();
    }
    static void ok(LightheadDataDialog &editor) {
        editor.findChild<QPushButton *>("ok_button")->click();
    }
    static void cancel(LightheadDataDialog &editor) {
        editor.findChild<QPushButton *>("cancel_button")->click();
    }

};

QTEST_MAIN(LoaderBlocksTest)
#include "loader_blocks_test.moc"
