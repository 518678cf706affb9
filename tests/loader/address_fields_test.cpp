// The masked address fields driven by key events, as the user types into them.

#include <QApplication>
#include <QClipboard>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QSignalSpy>
#include <QTest>

#include "fields/address_text.h"
#include "fields/masked_address_field.h"

using vortlink::loader::fields::IpAddressField;
using vortlink::loader::fields::MacAddressField;
namespace fields = vortlink::loader::fields;

namespace {
void type_keys(QWidget *widget, const char *keys) {
    QTest::keyClicks(widget, QString::fromLatin1(keys));
}
} // namespace

class AddressFieldsTest : public QObject {
    Q_OBJECT

  private slots:
    void init() {
        ip = std::make_unique<IpAddressField>();
        mac = std::make_unique<MacAddressField>();
        ip->show();
        mac->show();
    }
    void cleanup() {
        ip.reset();
        mac.reset();
    }

    void ip_text_is_normalised_and_octets_carry() {
        QVERIFY(ip->set_text("10.1.002.30"));
        QCOMPARE(ip->text(), QString("10.1.2.30"));
        ip->set_text("");
        QCOMPARE(ip->text(), QString("0.0.0.0"));
        ip->set_text("1.2");
        QCOMPARE(ip->text(), QString("1.2.0.0"));

        uint32_t carried = 0;
        uint32_t plain = 0;
        ip->setText("10.0.0.256");
        ip->get_value(carried);
        ip->setText("10.0.1.0");
        ip->get_value(plain);
        QCOMPARE(carried, plain);
        QCOMPARE(plain, 0x0A000100u);

        ip->set_value(0xC0A80864u);
        QCOMPARE(ip->text(), QString("192.168.8.100"));
        ip->setText("1.x.3.4");
        ip->get_value(plain);
        QCOMPARE(plain, 0x01000000u);
    }

    void ip_separator_normalises_and_selects_the_next_octet() {
        ip->setText("10.0.0.256");
        ip->setCursorPosition(9);
        QTest::keyClick(ip.get(), '.');
        QCOMPARE(ip->text(), QString("10.0.1.0"));
        QCOMPARE(ip->selectedText(), QString("10"));
        QCOMPARE(ip->selectionStart(), 0);

        ip->setText("192.168.8.100");
        ip->setCursorPosition(1);
        QTest::keyClick(ip.get(), '.');
        QCOMPARE(ip->selectedText(), QString("168"));
        QCOMPARE(ip->selectionStart(), 4);
        QTest::keyClick(ip.get(), '.');
        QCOMPARE(ip->selectedText(), QString("8"));
        // Digits then replace the selected octet.
        type_keys(ip.get(), "42");
        QCOMPARE(ip->text(), QString("192.168.42.100"));
    }

    void ip_takes_digits_and_backspace_only() {
        ip->setText("1.2.3.4");
        ip->setCursorPosition(7);
        type_keys(ip.get(), "a-/ ");
        QTest::keyClick(ip.get(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(ip->text(), QString("1.2.3.4"));
        type_keys(ip.get(), "56");
        QCOMPARE(ip->text(), QString("1.2.3.456"));
        QTest::keyClick(ip.get(), Qt::Key_Backspace);
        QCOMPARE(ip->text(), QString("1.2.3.45"));
        QTest::keyClick(ip.get(), Qt::Key_Home);
        QTest::keyClick(ip.get(), Qt::Key_Delete);
        QCOMPARE(ip->text(), QString(".2.3.45"));
    }

    void ip_read_only_still_steps_through_octets() {
        ip->set_text("10.20.30.40");
        ip->setReadOnly(true);
        ip->setCursorPosition(0);
        type_keys(ip.get(), "7");
        QCOMPARE(ip->text(), QString("10.20.30.40"));
        QTest::keyClick(ip.get(), '.');
        QCOMPARE(ip->selectedText(), QString("20"));
    }

    void mac_typing_builds_the_separators_and_stops_when_full() {
        mac->setText("");
        type_keys(mac.get(), "0a1b2c3d4e5f");
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 17);
        type_keys(mac.get(), "9");
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 17);
    }

    void mac_typing_overwrites_and_ignores_other_characters() {
        mac->setText("00:11:22:33:44:55");
        mac->setCursorPosition(3);
        type_keys(mac.get(), "ab");
        QCOMPARE(mac->text(), QString("00:AB:22:33:44:55"));
        QCOMPARE(mac->cursorPosition(), 5);
        type_keys(mac.get(), "g-");
        QCOMPARE(mac->text(), QString("00:AB:22:33:44:55"));
        QCOMPARE(mac->cursorPosition(), 5);
        type_keys(mac.get(), ":");
        QCOMPARE(mac->cursorPosition(), 6);
        // Typing on a separator writes the separator and then the digit.
        mac->setCursorPosition(2);
        type_keys(mac.get(), "f");
        QCOMPARE(mac->text(), QString("00:FB:22:33:44:55"));
        QCOMPARE(mac->cursorPosition(), 4);
        // A selection is not replaced: only its start counts.
        mac->setSelection(6, 5);
        type_keys(mac.get(), "1");
        QCOMPARE(mac->text(), QString("00:FB:12:33:44:55"));
        QCOMPARE(mac->cursorPosition(), 7);
    }

    void mac_backspace_zeroes_digits_and_steps_over_separators() {
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setCursorPosition(0);
        QTest::keyClick(mac.get(), Qt::Key_Backspace);
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 0);
        mac->setCursorPosition(3);
        QTest::keyClick(mac.get(), Qt::Key_Backspace);
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 2);
        QTest::keyClick(mac.get(), Qt::Key_Backspace);
        QCOMPARE(mac->text(), QString("00:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 1);
        mac->setSelection(3, 4);
        QTest::keyClick(mac.get(), Qt::Key_Backspace);
        QCOMPARE(mac->text(), QString("00:00:0C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 3);
    }

    void mac_delete_zeroes_and_moves_on() {
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setCursorPosition(1);
        QTest::keyClick(mac.get(), Qt::Key_Delete);
        QCOMPARE(mac->text(), QString("00:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 2);
        QTest::keyClick(mac.get(), Qt::Key_Delete);
        QCOMPARE(mac->text(), QString("00:1B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 3);
        // A typed full stop shares Delete's character code.
        type_keys(mac.get(), ".");
        QCOMPARE(mac->text(), QString("00:0B:2C:3D:4E:5F"));
        mac->setCursorPosition(17);
        QTest::keyClick(mac.get(), Qt::Key_Delete);
        QCOMPARE(mac->text(), QString("00:0B:2C:3D:4E:5F"));
        QCOMPARE(mac->cursorPosition(), 17);
        mac->setSelection(9, 8);
        QTest::keyClick(mac.get(), Qt::Key_Delete);
        QCOMPARE(mac->text(), QString("00:0B:2C:00:00:00"));
        QCOMPARE(mac->cursorPosition(), 9);
        QTest::keyClick(mac.get(), Qt::Key_Insert);
        QCOMPARE(mac->text(), QString("00:0B:2C:00:00:00"));
    }

    void mac_cut_clears_without_touching_the_clipboard() {
        QApplication::clipboard()->setText("keep me");
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setSelection(6, 2);
        QTest::keyClick(mac.get(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(mac->text(), QString("0A:1B:00:3D:4E:5F"));
        QCOMPARE(mac->selectionStart(), 6);
        QCOMPARE(mac->selectedText(), QString("00"));
        // Separators inside the selection are put back.
        mac->setSelection(4, 4);
        QTest::keyClick(mac.get(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(mac->text(), QString("0A:10:00:3D:4E:5F"));
        mac->selectAll();
        QTest::keyClick(mac.get(), Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(mac->text(), QString(""));
        QCOMPARE(QApplication::clipboard()->text(), QString("keep me"));
        // A selection to the end shortens the text.
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setSelection(11, 6);
        mac->clear_request();
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D"));
    }

    void mac_copy_and_paste() {
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setSelection(0, 5);
        QTest::keyClick(mac.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QString("0A:1B"));

        QApplication::clipboard()->setText(" aa-bb-cc-dd-ee-f\n");
        mac->setSelection(3, 2);
        QTest::keyClick(mac.get(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(mac->text(), QString("AA:BB:CC:DD:EE:0F"));
        QCOMPARE(mac->selectionStart(), 3);
        QCOMPARE(mac->selectedText(), QString("BB"));

        QApplication::clipboard()->setText("0123456789ab");
        mac->paste_request();
        QCOMPARE(mac->text(), QString("01:23:45:67:89:AB"));

        for (const char *refused : {"hello", "01:23:45:67:89", "01:23-45:67:89:ab",
                                    "01:23:45:67:89:ab:cd", "123:45:67:89:ab:cd"}) {
            QApplication::clipboard()->setText(refused);
            mac->paste_request();
            QCOMPARE(mac->text(), QString("01:23:45:67:89:AB"));
        }
    }

    void mac_read_only_keeps_its_text_but_copies() {
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setReadOnly(true);
        mac->setCursorPosition(0);
        type_keys(mac.get(), "9");
        QTest::keyClick(mac.get(), Qt::Key_Delete);
        QTest::keyClick(mac.get(), Qt::Key_Backspace);
        mac->selectAll();
        QTest::keyClick(mac.get(), Qt::Key_X, Qt::ControlModifier);
        QApplication::clipboard()->setText("11:22:33:44:55:66");
        QTest::keyClick(mac.get(), Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D:4E:5F"));
        QTest::keyClick(mac.get(), Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QString("0A:1B:2C:3D:4E:5F"));
    }

    void mac_bytes_round_trip_and_partial_reads() {
        const uint8_t shown[6] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F};
        QVERIFY(mac->set_bytes(shown));
        QCOMPARE(mac->text(), QString("0A:1B:2C:3D:4E:5F"));

        uint8_t read[6] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
        QVERIFY(mac->set_text("1:2:3"));
        QCOMPARE(mac->text(), QString("1:2:3"));
        mac->get_bytes(read);
        const uint8_t partial[6] = {0x01, 0x02, 0x03, 0xEE, 0xEE, 0xEE};
        QVERIFY(std::equal(std::begin(read), std::end(read), std::begin(partial)));

        mac->set_text("1FF:a:B:zz:1:2");
        mac->get_bytes(read);
        const uint8_t stopped[6] = {0xFF, 0x0A, 0x0B, 0xEE, 0xEE, 0xEE};
        QVERIFY(std::equal(std::begin(read), std::end(read), std::begin(stopped)));
    }

    // Text that arrives whole, from an input method or a key that types several characters,
    // goes through the same rules as typed characters, one by one.
    void text_arriving_whole_goes_through_the_mask_data() {
        QTest::addColumn<bool>("into_mac");
        QTest::addColumn<bool>("from_input_method");
        QTest::addColumn<bool>("read_only");
        QTest::addColumn<QString>("arriving");
        QTest::addColumn<QString>("expected");
        // The IP field shows 10.0.0.1 with the caret after "10", the MAC field
        // 0A:1B:2C:3D:4E:5F with the caret at its start.
        QTest::newRow("ip, committed letters") << false << true << false << "abc" << "10.0.0.1";
        QTest::newRow("ip, key of several") << false << false << false << "zz-!" << "10.0.0.1";
        QTest::newRow("ip, digits among letters")
            << false << true << false << "5x6" << "1056.0.0.1";
        QTest::newRow("ip, read-only") << false << true << true << "56" << "10.0.0.1";
        // Its low 8 bits are a control character, but the key types a letter.
        QTest::newRow("ip, key of a letter beyond Latin-1")
            << false << false << false << QString(QChar(0x0110)) << "10.0.0.1";
        QTest::newRow("mac, committed letters")
            << true << true << false << "zz-!" << "0A:1B:2C:3D:4E:5F";
        QTest::newRow("mac, key of several")
            << true << false << false << "xyz" << "0A:1B:2C:3D:4E:5F";
        QTest::newRow("mac, digits among letters")
            << true << true << false << "fzf9" << "FF:9B:2C:3D:4E:5F";
        QTest::newRow("mac, read-only") << true << true << true << "ff" << "0A:1B:2C:3D:4E:5F";
    }
    void text_arriving_whole_goes_through_the_mask() {
        QFETCH(bool, into_mac);
        QFETCH(bool, from_input_method);
        QFETCH(bool, read_only);
        QFETCH(QString, arriving);
        QFETCH(QString, expected);
        ip->setText("10.0.0.1");
        ip->setCursorPosition(2);
        mac->setText("0A:1B:2C:3D:4E:5F");
        mac->setCursorPosition(0);
        QLineEdit *field = into_mac ? static_cast<QLineEdit *>(mac.get()) : ip.get();
        field->setReadOnly(read_only);
        if (from_input_method) {
            QInputMethodEvent commit;
            commit.setCommitString(arriving);
            QApplication::sendEvent(field, &commit);
        } else {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, arriving);
            QApplication::sendEvent(field, &key);
        }
        QCOMPARE(field->text(), expected);
    }

    void engine_edge_cases_without_a_widget() {
        // Octets wrap in 32 bits and a negative group counts as its two's complement.
        QCOMPARE(fields::ip_text_to_value("0.0.0.4294967295"), 0xFFFFFFFFu);
        QCOMPARE(fields::ip_text_to_value(" 1. 2.3.4"), 0x01020304u);
        QCOMPARE(fields::ip_text_to_value("1 .2.3.4"), 0x01000000u);
        QCOMPARE(fields::ip_select_next_octet("1.2.3.4", 99).start, std::size_t{0});

        fields::edit_state state{"", 0, 0};
        QVERIFY(!fields::mac_delete(state));
        QVERIFY(!fields::mac_clear(state));
        state = {"0A:1B:2C:3D:4E:5F", 17, 17};
        QVERIFY(!fields::mac_type_character(state, 'A'));
        // A field showing a text longer than the mask stays safe to edit.
        state = {"0A:1B:2C:3D:4E:5F:77", 18, 20};
        QVERIFY(fields::mac_type_character(state, '\b'));
        QCOMPARE(QString::fromStdString(state.text), QString("0A:1B:2C:3D:4E:5F:77"));
        state = {"0A:1B:2C:3D:4E:5F:77", 16, 19};
        QVERIFY(fields::mac_clear(state));
        QCOMPARE(QString::fromStdString(state.text), QString("0A:1B:2C:3D:4E:50:77"));
    }

  private:
    std::unique_ptr<IpAddressField> ip;
    std::unique_ptr<MacAddressField> mac;
};

QTEST_MAIN(AddressFieldsTest)
#include "address_fields_test.moc"
