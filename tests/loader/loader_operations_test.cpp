// LoaderDialog's "Run Diagnostics" and "Program Application" against quorrel-sim's simulated USB
// controllers: the log and the failure summary as the user sees them, which self-tests were
// started, the progress texts, the controller's programmed image and the order of the boot
// loader's commands.

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/byte_order.h"
#include "common/crc16.h"
#include "dialog/loader_dialog.h"
#include "dialog/loader_settings.h"
#include "dialog/user_prompts.h"
#include "firmware/firmware_image.h"
#include "firmware/srecord.h"
#include "support/firmware_write_order.h"
#include "support/loader_dialog_fixture.h"
#include "support/simulator_process.h"
#include "support/srec_cat.h"
#include "vortlink.h"

using namespace vortlink::loader;
using vortlink::test::expected_write_order;
using vortlink::test::known_bytes;
using vortlink::test::loader_dialog_fixture;
using vortlink::test::simulator_process;
using vortlink::test::with_hid;

namespace {

constexpr uint8_t run_diagnostics_opcode = 0x03;
constexpr uint8_t special_opcode = 0x05;

class captured_prompts final : public user_prompts {
  public:
    void show_message(QWidget *, const QString &caption, const QString &text) override {
        messages.emplace_back(caption, text);
    }
    QString choose_open_file(QWidget *, const QString &, const QString &,
                             const QStringList &) override {
        return {};
    }

    std::vector<std::pair<QString, QString>> messages;
};

void set_u32_be(uint8_t *bytes, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

std::vector<uint8_t> from_hex(const std::string &hex) {
    std::vector<uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// The summary block of one failure as the message box shows it.
QString failure_block(const char *test, int code) {
    char name[50];
    char text[1050];
    tkcmdset_get_error_name(static_cast<int16_t>(code), name, sizeof name);
    tkcmdset_get_error_text(static_cast<int16_t>(code), text, sizeof text);
    return QString("%1 Test Failed\nERROR (%2) : %3\n%4\n")
        .arg(QLatin1String(test))
        .arg(code)
        .arg(QString::fromUtf8(name), QString::fromUtf8(text));
}

const QString all_passed_log = "Power Supply Test Passed\tExternal RAM Test Passed\n"
                               "Internal Flash Test Passed\tExternal I/O Test Passed\n"
                               "On-board EEPROM Test Passed\tExternal DAC Test Passed\n"
                               "\n********** ALL TESTS PASSED **********";

} // namespace

class LoaderOperationsTest : public QObject, public loader_dialog_fixture<captured_prompts> {
    Q_OBJECT

  private slots:
    void init() { use_private_settings(); }
    void cleanup() { release(); }

    void diagnostics_all_pass() {
        start_selected({});
        watch_status_box();
        button("run_diagnostics_button")->click();

        QCOMPARE(status_box_text(), all_passed_log);
        QVERIFY(prompts.messages.empty());
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(diagnostics_started(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5}));
        // "Working...", then the log after each of the six tests, then the passed line.
        QCOMPARE(shown.first(), QString("Working..."));
        QVERIFY(shown.contains("Power Supply Test Passed\t"));
        QCOMPARE(shown.last(), all_passed_log);
        // The command buttons stay disabled while the tests run, and come back afterwards.
        QVERIFY(!busy_states.isEmpty());
        QVERIFY(!busy_states.contains(true));
        QVERIFY(button("run_diagnostics_button")->isEnabled());
        QVERIFY(button("select_device_button")->isEnabled());
    }

    void diagnostics_one_failure_shows_its_catalogue_texts() {
        start_selected({"--fail-diag", "2=5"});
        dialog->setWindowTitle("Caption of the moment");
        button("run_diagnostics_button")->click();

        QCOMPARE(status_box_text(),
                 QString("Power Supply Test Passed\tExternal RAM Test Passed\n"
                         "Internal Flash Test Failed\tExternal I/O Test Passed\n"
                         "On-board EEPROM Test Passed\tExternal DAC Test Passed\n"));
        QCOMPARE(diagnostics_started(), (std::vector<uint8_t>{0, 1, 2, 3, 4, 5}));
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QCOMPARE(prompts.messages.front().first, QString("Caption of the moment"));
        QCOMPARE(prompts.messages.front().second, failure_block("Internal Flash", 5));
        QVERIFY(prompts.messages.front().second.contains("ERROR (5) : Self-Test Failed\n"));
        // The last status is the last test's, which passed.
        QCOMPARE(dialog->last_status(), status::ok);
    }

    void diagnostics_supply_fault_stops_the_run() {
        start_selected({"--fail-diag", "0=-12", "--fail-diag", "3=5"});
        button("run_diagnostics_button")->click();

        QCOMPARE(status_box_text(), QString("Power Supply Test Failed\n"));
        QCOMPARE(diagnostics_started(), std::vector<uint8_t>{0});
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QCOMPARE(prompts.messages.front().second, failure_block("Power Supply", -12));
        QCOMPARE(dialog->last_status(), status_t{-12});
    }

    void diagnostics_two_failures_in_test_order() {
        start_selected({});
        simulator->inject("fail-diag 1 5 9");
        simulator->inject("fail-diag 1 1 5");
        button("run_diagnostics_button")->click();

        QCOMPARE(status_box_text(),
                 QString("Power Supply Test Passed\tExternal RAM Test Failed\n"
                         "Internal Flash Test Passed\tExternal I/O Test Passed\n"
                         "On-board EEPROM Test Passed\tExternal DAC Test Failed\n"));
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QCOMPARE(prompts.messages.front().second,
                 failure_block("External RAM", 5) + failure_block("External DAC", 9));
        QCOMPARE(dialog->last_status(), status_t{9});

        // A second run starts from empty texts.
        simulator->inject("fail-diag 1 5 0");
        simulator->inject("fail-diag 1 1 0");
        button("run_diagnostics_button")->click();
        QCOMPARE(status_box_text(), all_passed_log);
        QCOMPARE(prompts.messages.size(), std::size_t{1});
    }

    void diagnostics_code_the_catalogue_lacks() {
        start_selected({});
        // The controller's error reply carries a number the catalogue has no entry for.
        simulator->inject("error 77");
        button("run_diagnostics_button")->click();
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QCOMPARE(prompts.messages.front().second,
                 QString("Power Supply Test Failed\nERROR (77) : Unknown Error\n"
                         "No further information\n"));
        QVERIFY(status_box_text().startsWith("Power Supply Test Failed\tExternal RAM "
                                                     "Test Passed\n"));
    }

    void program_controller_image_from_srec_cat() {
        start_selected({"--boot-loader"});
        QVERIFY(dialog->loader_flag());
        QVERIFY(button("program_application_button")->isEnabled());
        // 192 KiB from 0x10000 to 0x3FFFF; its header says the body runs from 0x10100 on.
        std::vector<uint8_t> file_bytes = known_bytes(0x30000, 21);
        set_u32_be(file_bytes.data() + 0x4A, 0x10100);
        set_u32_be(file_bytes.data() + 0x4E, 0x40000);
        const std::string path =
            vortlink::test::srec_cat_convert(config->filePath("controller.bin").toStdString(),
                                             file_bytes, 0x10000, {"-address-length=3", "-obs=31"});
        QVERIFY(!path.empty() && QFileInfo(QString::fromStdString(path)).size() > 0x30000);
        edit("application_file_edit")->setText(QString::fromStdString(path));

        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        int paints = 0;
        painted = &paints;
        status_box()->viewport()->installEventFilter(this);
        watch_status_box();
        simulator->clear_frames();
        button("program_application_button")->click();
        status_box()->viewport()->removeEventFilter(this);
        painted = nullptr;

        QVERIFY2(prompts.messages.empty(),
                 qPrintable(prompts.messages.empty() ? "" : prompts.messages.front().second));
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(status_box_text(), QString("No errors reported"));
        QCOMPARE(dialog->image_lowest_address(), 0x10000u);
        QCOMPARE(dialog->image_highest_address(), 0x3FFFFu);

        // Progress as the user saw it, in order.
        QCOMPARE(shown.first(), QString("Working..."));
        QCOMPARE(shown.at(1), QString("Programming 0% complete"));
        const qsizetype header_step = shown.indexOf("Programming 100% complete, updating header");
        QVERIFY(header_step > 1);
        QCOMPARE(shown.at(header_step - 1), QString("Programming 99% complete"));
        QCOMPARE(shown.last(), QString("No errors reported"));
        QCOMPARE(shown.filter("Programming ").size(), qsizetype{0x30000 / 128});
        // The window repainted while the chunks went out, not only at the end.
        qInfo("status box painted %d times during programming", paints);
        QVERIFY(paints > 10);

        // The controller holds the file with both CRCs filled in.
        std::vector<uint8_t> expected = file_bytes;
        put_u16_be(expected.data() + 0x52,
                   crc16({expected.data() + 0x100, expected.size() - 0x100}));
        put_u16_be(expected.data(), crc16({expected.data() + 2, 134}));
        char crc_reply[64];
        std::snprintf(crc_reply, sizeof crc_reply, "ok 0x10000 0x3ffff 0x%x", crc16(expected));
        QCOMPARE(simulator->control("firmware-crc 1"), std::string(crc_reply));
        const std::string stored = simulator->control("firmware 1 0x10000 196608");
        QVERIFY(stored.starts_with("ok "));
        QVERIFY(from_hex(stored.substr(3)) == expected);

        QCOMPARE(specials_received(), expected_write_order(0x10000, 0x3FFFF));
        QVERIFY(button("program_application_button")->isEnabled());
    }

    void program_ethernet_image_hands_it_over() {
        start_selected({"--boot-loader", "--ethernet-restart", "1000"});
        std::vector<uint8_t> file_bytes = known_bytes(0x9000, 22);
        std::memcpy(file_bytes.data() + ethernet_header::signature_address,
                    ethernet_header::signature, sizeof ethernet_header::signature);
        const std::string path = vortlink::test::srec_cat_convert(
            config->filePath("ethernet.bin").toStdString(), file_bytes, 0, {"-address-length=2"});
        edit("application_file_edit")->setText(QString::fromStdString(path));
        watch_status_box();
        simulator->clear_frames();
        button("program_application_button")->click();

        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(prompts.messages.empty());
        QVERIFY(shown.contains("Sending code to coldfire, please wait"));
        QCOMPARE(shown.last(), QString("No errors reported"));
        std::vector<uint8_t> expected = file_bytes;
        put_u16_be(expected.data() + 0x500, crc16({expected.data() + 0x502, 134}));
        char ethernet_reply[64];
        std::snprintf(ethernet_reply, sizeof ethernet_reply, "ok ready 1 0x4800 0x%x",
                      crc16(expected));
        QCOMPARE(simulator->control("ethernet 1"), std::string(ethernet_reply));
        const std::vector<std::string> specials = specials_received();
        QVERIFY(specials.size() >= 3);
        QCOMPARE(specials.front(), std::string("2065 30000"));
        QCOMPARE(specials.back(), std::string("2068 34800"));
    }

    void program_bad_files_report_before_sending() {
        start_selected({"--boot-loader"});
        simulator->clear_frames();

        edit("application_file_edit")->setText("");
        button("program_application_button")->click();
        QCOMPARE(dialog->last_status(), status::srec_not_open);

        QFile s1_first(config->filePath("s1_first.mot"));
        QVERIFY(s1_first.open(QIODevice::WriteOnly));
        s1_first.write("S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
        s1_first.close();
        edit("application_file_edit")->setText(s1_first.fileName());
        button("program_application_button")->click();
        QCOMPARE(dialog->last_status(), status::srec_no_header);

        QFile misplaced(config->filePath("misplaced.mot"));
        QVERIFY(misplaced.open(QIODevice::WriteOnly));
        misplaced.write("S00600004844521B\nS214018000000102030405060708090A0B0C0D0E0FF2\n"
                        "S9030000FC\n");
        misplaced.close();
        edit("application_file_edit")->setText(misplaced.fileName());
        button("program_application_button")->click();
        QCOMPARE(dialog->last_status(), status::image_not_recognised);
        QCOMPARE(dialog->image_lowest_address(), 0x18000u);

        QCOMPARE(prompts.messages.size(), std::size_t{3});
        QVERIFY(prompts.messages[0].second.startsWith("ERROR (-10307) : "));
        QVERIFY(prompts.messages[1].second.startsWith("ERROR (-10306) : "));
        QVERIFY(prompts.messages[2].second.startsWith("ERROR (-20100) : "));
        QCOMPARE(status_box_text(), prompts.messages[2].second);
        QVERIFY(specials_received().empty());
    }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && painted != nullptr)
            ++*painted;
        return QObject::eventFilter(watched, event);
    }

  private:
    // A dialog with the simulator's first controller selected.
    void start_selected(std::vector<std::string> arguments) {
        start_simulator(std::move(arguments));
        make_dialog();
        button("select_device_button")->click();
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(dialog->slot(), uint8_t{0});
        simulator->clear_frames();
    }

    // Records every text the status box shows, and whether "Run Diagnostics" was usable then.
    void watch_status_box() {
        shown.clear();
        busy_states.clear();
        connect(status_box(), &QPlainTextEdit::textChanged, this, [this] {
            shown.append(status_box()->toPlainText());
            busy_states.append(button("run_diagnostics_button")->isEnabled() || button("select_device_button")->isEnabled());
        });
    }

    std::vector<uint8_t> diagnostics_started() {
        std::vector<uint8_t> tests;
        for (const auto &frame : simulator->usb_frames())
            if (frame.size() >= 3 && frame[1] == run_diagnostics_opcode)
                tests.push_back(frame[2]);
        return tests;
    }

    // The special functions the controller received, as "code param" texts.
    std::vector<std::string> specials_received() {
        std::vector<std::string> specials;
        for (const auto &frame : simulator->usb_frames()) {
            if (frame.size() < 8 || frame[1] != special_opcode)
                continue;
            char text[32];
            std::snprintf(text, sizeof text, "%u %x", get_u16_be(frame.data() + 2),
                          get_u32_be(frame.data() + 4));
            specials.push_back(text);
        }
        return specials;
    }


    QStringList shown;
    QList<bool> busy_states;
    int *painted = nullptr;
};

QTEST_MAIN(LoaderOperationsTest)
#include "loader_operations_test.moc"
