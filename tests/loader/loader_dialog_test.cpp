// LoaderDialog against quorrel-sim's simulated USB controllers: start-up texts and settings,
// device stepping, loader detection, the reset countdown, status reports and closing while busy.

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialog/about_dialog.h"
#include "dialog/loader_dialog.h"
#include "dialog/loader_settings.h"
#include "dialog/user_prompts.h"
#include "fields/masked_address_field.h"
#include "support/loader_dialog_fixture.h"
#include "support/simulator_process.h"
#include "vortlink.h"

using namespace vortlink::loader;
using vortlink::test::loader_dialog_fixture;
using vortlink::test::simulator_process;
using vortlink::test::with_hid;

namespace {

class captured_prompts final : public user_prompts {
  public:
    void show_message(QWidget *, const QString &caption, const QString &text) override {
        messages.emplace_back(caption, text);
    }
    QString choose_open_file(QWidget *, const QString &title, const QString &proposed,
                             const QStringList &filters) override {
        chooser_title = title;
        chooser_proposed = proposed;
        chooser_filters = filters;
        return chosen_file;
    }

    void note_status(const QString &, const QString &text) override { notes.append(text); }

    std::vector<std::pair<QString, QString>> messages;
    QStringList notes;
    QString chosen_file;
    QString chooser_title;
    QString chooser_proposed;
    QStringList chooser_filters;
};

double process_cpu_seconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

QString settings_path(const QTemporaryDir &config) {
    return config.filePath("Kestrova/Quorrel/H8 Userloader.conf");
}

void write_settings(const QTemporaryDir &config, const QByteArray &lines) {
    QDir().mkpath(config.filePath("Kestrova/Quorrel"));
    QFile file(settings_path(config));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(lines);
}

QByteArray read_settings(const QTemporaryDir &config) {
    QFile file(settings_path(config));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString identity_text(const char *firmware, const char *serial) {
    return QStringLiteral("Firmware version:\t%1\nHardware version:\t6400-000850 Rev B\n"
                          "Serial number:\t%2")
        .arg(QLatin1String(firmware), QLatin1String(serial));
}

} // namespace

class LoaderDialogTest : public QObject, public loader_dialog_fixture<captured_prompts> {
    Q_OBJECT

  private slots:
    void init() {
        use_private_settings();
        qputenv("VORTLINK_HID_SIM", config->filePath("no-simulator.sock").toLocal8Bit());
    }
    void cleanup() { release(); }

    void start_up_shows_versions_and_writes_setting_defaults() {
        make_dialog();
        const uint16_t loader = GetLoaderFileVersion();
        const uint16_t library = tkcmdset_get_dll_version();
        // One release: the utility and the library it ships with carry the same version.
        QCOMPARE(loader, library);
        QVERIFY(loader != 0);
        QCOMPARE(status_box_text(),
                 QString::asprintf("Version %d.%02d\nDLL Version %d.%02d", loader >> 8,
                                   loader & 0xFF, library >> 8, library & 0xFF));
        QCOMPARE(dialog->windowTitle(), QString("QuorrelLoader"));
        QCOMPARE(edit("application_file_edit")->text(), QString("Quorrel.mot"));
        QCOMPARE(edit("serial_number_edit")->text(), QString("0000000001"));
        QCOMPARE(mac_field().text(), QString("02:4C:51:00:00:00"));
        QCOMPARE(ip_field().text(), QString("192.168.8.100"));
        QCOMPARE(QString::fromStdString(dialog->hardware_part_number()),
                 QString("4310-000552-110"));
        QCOMPARE(QString::fromStdString(dialog->eco_revision()), QString("110"));
        const QByteArray stored = read_settings(*config);
        for (const char *line : {"ApplicationFile=Quorrel.mot\n", "SerialNum=0000000001\n",
                                 "MACAddress=02:4C:51:00:00:00\n", "IPAddress=192.168.8.100\n",
                                 "HardwarePartNum=4310-000552-110\n", "ECORevision=110\n"})
            QVERIFY2(stored.contains(line), line);

        // No device yet: only "Select Device" and the controls the template enables work.
        QCOMPARE(dialog->slot(), no_device_slot);
        QVERIFY(dialog->restart_flag());
        QVERIFY(button("select_device_button")->isEnabled());
        for (const char *id : {"start_loader_button", "start_application_button", "run_diagnostics_button", "program_config_button", "program_lighthead_button", "edit_led_data_button", "lighthead_part_number_edit", "browse_button", "program_application_button"})
            QVERIFY2(!dialog->findChild<QWidget *>(id)->isEnabled(), id);
        QVERIFY(button("program_mfg_button")->isEnabled());
        for (const char *id : {"serial_number_edit", "mac_address_field", "application_file_edit", "ip_address_field"})
            QVERIFY(edit(id)->isReadOnly());
        auto *slew = dialog->findChild<QComboBox *>("slew_rate_list");
        auto *mode = dialog->findChild<QComboBox *>("operating_mode_list");
        QCOMPARE(slew->count(), 4);
        QCOMPARE(slew->itemText(1), QString("MED-SLOW"));
        QCOMPARE(mode->itemText(3), QString("Internal Trigger"));
        QCOMPARE(mode->currentIndex(), -1);
    }

    void about_box_shows_the_release_and_both_version_words() {
        // The release as the build names it, MAJOR.MINOR.PATCH; the words show MAJOR.MM.
        const QStringList release = QStringLiteral(VORTLINK_TEST_RELEASE).split('.');
        QCOMPARE(release.size(), 3);
        const QString word = QString::asprintf("%d.%02d", release[0].toInt(), release[1].toInt());
        AboutDialog about;
        const auto *text = about.findChild<QLabel *>(QStringLiteral("about_text"));
        QVERIFY(text != nullptr);
        QVERIFY2(text->text().startsWith(QStringLiteral("QuorrelLoader Version %1 (release %2)\n")
                                             .arg(word, QStringLiteral(VORTLINK_TEST_RELEASE))),
                 qPrintable(text->text()));
        QVERIFY2(text->text().contains(QStringLiteral("Command-set library Version %1\n").arg(word)),
                 qPrintable(text->text()));
        QCOMPARE(QString::fromLatin1(LoaderReleaseVersion()), QStringLiteral(VORTLINK_TEST_RELEASE));
    }

    void stored_settings_are_read_and_bad_ones_replaced() {
        const QByteArray long_path = QByteArray(260, 'p');
        write_settings(*config, "SerialNum=42\nIPAddress=10.1.002.30\nMACAddress=zz\n"
                                "HardwarePartNum=1234567890abcdefXYZ\nApplicationFile=" +
                                    long_path + "\n");
        make_dialog();
        QCOMPARE(edit("serial_number_edit")->text(), QString("0000000042"));
        QCOMPARE(ip_field().text(), QString("10.1.2.30"));
        QCOMPARE(mac_field().text(), QString("zz"));
        QCOMPARE(QString::fromStdString(dialog->hardware_part_number()),
                 QString("1234567890abcdef"));
        // 260 characters do not fit with their terminating zero: the default replaces them.
        QCOMPARE(edit("application_file_edit")->text(), QString("Quorrel.mot"));
        QVERIFY(read_settings(*config).contains("ApplicationFile=Quorrel.mot\n"));
        // The serial number setting is shown normalised but not rewritten.
        QVERIFY(read_settings(*config).contains("SerialNum=42\n"));
        dialog.reset();

        write_settings(*config, "SerialNum=abc\nApplicationFile=" + QByteArray(259, 'q') + "\n");
        make_dialog();
        QCOMPARE(edit("serial_number_edit")->text(), QString("0000000000"));
        QCOMPARE(edit("application_file_edit")->text(), QString(259, 'q'));
    }

    void settings_calls_report_their_codes() {
        char buffer[setting_buffer_size] = "untouched";
        QCOMPARE(ReadSetting("ApplicationFile", "x", buffer, sizeof buffer),
                 status::settings_not_open);
        QCOMPARE(WriteSetting("ApplicationFile", "x"), status::settings_not_open);
        QCOMPARE(QString(buffer), QString("untouched"));
        QCOMPARE(OpenSettingsKey("Software\\Kestrova\\..\\Escape"), status::settings_open_failed);
        QCOMPARE(OpenSettingsKey(loader_settings_key), status::ok);
        QCOMPARE(WriteSetting("ApplicationFile", "two\nlines"), status::setting_write_failed);
        // A default that cannot be stored leaves the value unreadable.
        QCOMPARE(ReadSetting("Missing", "bad\ndefault", buffer, sizeof buffer),
                 status::setting_write_failed);
        QCOMPARE(QString(buffer), QString("untouched"));
        write_settings(*config, "Number=dword:0000002a\n");
        QCOMPARE(ReadSetting("number", "0", buffer, sizeof buffer), status::ok);
        QCOMPARE(QString(buffer), QString("42"));
    }

    void serial_number_is_normalised_when_it_loses_the_focus() {
        make_dialog();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog.get()));
        edit("serial_number_edit")->setReadOnly(false);
        edit("serial_number_edit")->setText("  123x45");
        edit("serial_number_edit")->setFocus(Qt::OtherFocusReason);
        button("select_device_button")->setFocus(Qt::OtherFocusReason);
        QCOMPARE(edit("serial_number_edit")->text(), QString("0000000123"));
        QVERIFY(read_settings(*config).contains("SerialNum=0000000123\n"));
    }

    void select_device_steps_through_controllers_and_falls_back() {
        start_simulator({"--usb-devices", "2"});
        make_dialog();
        press_select_device();
        QCOMPARE(dialog->slot(), uint8_t{0});
        QCOMPARE(dialog->last_status(), status::ok);
        QCOMPARE(status_box_text(), identity_text("QRL-APP 1.04", "Q0000001"));
        QCOMPARE(edit("serial_number_edit")->text(), QString("Q0000001"));
        QVERIFY(!dialog->loader_flag());
        for (const char *id : {"select_device_button", "start_loader_button", "start_application_button", "run_diagnostics_button", "program_config_button", "program_lighthead_button", "edit_led_data_button", "lighthead_part_number_edit"})
            QVERIFY2(dialog->findChild<QWidget *>(id)->isEnabled(), id);
        for (const char *id : {"serial_number_edit", "mac_address_field", "application_file_edit", "ip_address_field"})
            QVERIFY(edit(id)->isReadOnly());

        press_select_device();
        QCOMPARE(dialog->slot(), uint8_t{1});
        QCOMPARE(status_box_text(), identity_text("QRL-APP 1.04", "Q0000002"));

        // Past the last controller the press falls back to the first one.
        press_select_device();
        QCOMPARE(dialog->slot(), uint8_t{0});
        QCOMPARE(status_box_text(), identity_text("QRL-APP 1.04", "Q0000001"));
        press_select_device();
        QCOMPARE(dialog->slot(), uint8_t{1});

        // Any other control used in between makes the next press start again at slot 0.
        dialog->findChild<QCheckBox *>("limit_48v_check")->click();
        QVERIFY(dialog->restart_flag());
        press_select_device();
        QCOMPARE(dialog->slot(), uint8_t{0});
        QVERIFY(simulator->control("status-word").starts_with("ok"));
    }

    void select_device_without_controllers_says_not_found() {
        make_dialog();
        press_select_device();
        QCOMPARE(status_box_text(), QString("Device not found."));
        QCOMPARE(dialog->slot(), uint8_t{0});
        QVERIFY(dialog->restart_flag());
        QVERIFY(prompts.messages.empty());
        QCOMPARE(prompts.notes, QStringList{"Device not found."});
        // The device buttons follow the slot, although nothing is open there.
        QVERIFY(button("start_loader_button")->isEnabled());

        // Run unattended, the program tells it on standard error, and still saves its picture.
        QProcess loader;
        loader.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        const QString picture = config->filePath("loader.png");
        loader.start(QUORREL_LOADER_PATH, {"--select-on-start", "--screenshot", picture,
                                           "--quit-after-screenshot"});
        QVERIFY(loader.waitForFinished(60000));
        QCOMPARE(loader.exitStatus(), QProcess::NormalExit);
        QCOMPARE(loader.exitCode(), 0);
        const QByteArray errors = loader.readAllStandardError();
        QVERIFY2(errors.contains("QuorrelLoader: Device not found.\n"), errors.constData());
        QCOMPARE(loader.readAllStandardOutput(), picture.toLocal8Bit() + "\n");
        QVERIFY(QFileInfo(picture).size() > 0);
    }

    void loader_firmware_unlocks_the_manufacturing_fields() {
        start_simulator({"--fw-version", "6400-000731 BL1.0"});
        make_dialog();
        press_select_device();
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(dialog->loader_flag());
        QVERIFY(dialog->transfer_buffer_address() != 0);
        for (const char *id : {"serial_number_edit", "mac_address_field", "application_file_edit", "ip_address_field"})
            QVERIFY2(!edit(id)->isReadOnly(), id);
        QVERIFY(button("browse_button")->isEnabled());
        QVERIFY(button("program_application_button")->isEnabled());
        QVERIFY(button("program_mfg_button")->isEnabled());
    }

    void a_prefix_shorter_than_the_part_number_is_not_the_loader() {
        start_simulator({"--fw-version", "6400-00073"});
        make_dialog();
        press_select_device();
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(!dialog->loader_flag());
        QCOMPARE(dialog->transfer_buffer_address(), 0u);
        QVERIFY(edit("serial_number_edit")->isReadOnly());
        QVERIFY(!button("browse_button")->isEnabled());
    }

    void start_loader_and_application_switch_the_firmware() {
        start_simulator();
        make_dialog();
        press_select_device();
        QElapsedTimer timer;
        timer.start();
        button("start_loader_button")->click();
        QVERIFY(timer.elapsed() >= 2000);
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(dialog->restart_flag());
        QVERIFY(status_box_text().startsWith("Firmware version:\t6400-000731"));
        QVERIFY(dialog->loader_flag());

        timer.restart();
        button("start_application_button")->click();
        QVERIFY(timer.elapsed() >= 3000);
        QCOMPARE(dialog->last_status(), status::ok);
        QVERIFY(prompts.messages.empty());
        QVERIFY(!dialog->loader_flag());

        // Feature reports: report 5, then the code big-endian.
        const std::vector<std::vector<uint8_t>> features = simulator->features(1);
        QCOMPARE(features.size(), std::size_t{2});
        QCOMPARE(int(features[0].at(0)), 5);
        QCOMPARE(features[0].at(1) << 8 | features[0].at(2), 1);
        QCOMPARE(features[1].at(1) << 8 | features[1].at(2), 2);
    }

    void reset_countdown_gives_up_on_a_device_that_stays_away() {
        start_simulator();
        make_dialog();
        press_select_device();
        QCOMPARE(dialog->slot(), uint8_t{0});

        QStringList shown;
        auto *status_box = dialog->findChild<QPlainTextEdit *>("status_box");
        connect(status_box, &QPlainTextEdit::textChanged, this,
                [&] { shown.append(status_box->toPlainText()); });
        simulator->inject("unplug 1 0");
        QElapsedTimer timer;
        timer.start();
        const vortlink::loader::status_t result = dialog->ConnectAndIdentify();
        const qint64 elapsed = timer.elapsed();

        QCOMPARE(result, static_cast<vortlink::loader::status_t>(TKCMDSET_NO_DEVICE_MATCHED));
        QVERIFY(elapsed >= 15000);
        QVERIFY(elapsed < 45000);
        QStringList countdown = shown.filter("Waiting for USB reset:  ");
        QVERIFY(countdown.size() >= 25);
        QCOMPARE(countdown.first(), QString("Waiting for USB reset:  10"));
        QCOMPARE(countdown.last(), QString("Waiting for USB reset:  0"));
        int previous = 10;
        for (const QString &line : countdown) {
            const int count = line.mid(24).toInt();
            QVERIFY(count <= previous);
            previous = count;
        }
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QVERIFY(prompts.messages.front().second.startsWith("ERROR (-10201) : "));
        QCOMPARE(status_box_text(), QString("Firmware version unknown"));
        QCOMPARE(dialog->slot(), no_device_slot);
        QVERIFY(dialog->restart_flag());
    }

    void report_status_shows_catalogue_name_and_text() {
        make_dialog();
        dialog->setWindowTitle("Caption of the moment");
        dialog->ReportStatus(TKCMDSET_REPLY_TIMEOUT);
        char name[50];
        char text[200];
        tkcmdset_get_error_name(TKCMDSET_REPLY_TIMEOUT, name, sizeof name);
        tkcmdset_get_error_text(TKCMDSET_REPLY_TIMEOUT, text, sizeof text);
        QVERIFY(QString(name) != "Unknown Error");
        const QString expected = QString("ERROR (-10803) : %1\n%2").arg(name, text);
        QCOMPARE(prompts.messages.size(), std::size_t{1});
        QCOMPARE(prompts.messages.front().first, QString("Caption of the moment"));
        QCOMPARE(prompts.messages.front().second, expected);
        QCOMPARE(status_box_text(), expected);

        dialog->ReportStatus(0);
        QCOMPARE(status_box_text(), QString("No errors reported"));
        QCOMPARE(prompts.messages.size(), std::size_t{1});
    }

    void browse_stores_the_chosen_file() {
        make_dialog();
        prompts.chosen_file = config->filePath("image.mot");
        button("browse_button")->setEnabled(true);
        button("browse_button")->click();
        QCOMPARE(prompts.chooser_title, QString("Open Application S Record File"));
        QCOMPARE(prompts.chooser_proposed, QString("Quorrel.mot"));
        QCOMPARE(prompts.chooser_filters.size(), 3);
        QCOMPARE(edit("application_file_edit")->text(), prompts.chosen_file);
        QCOMPARE(edit("application_file_edit")->cursorPosition(), static_cast<int>(prompts.chosen_file.size()));
        QVERIFY(read_settings(*config).contains(
            "ApplicationFile=" + prompts.chosen_file.toLocal8Bit() + "\n"));
        prompts.chosen_file.clear();
        button("browse_button")->click();
        QCOMPARE(edit("application_file_edit")->text(), config->filePath("image.mot"));
    }

    void waits_block_and_keep_painting() {
        make_dialog();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        int paints = 0;
        painted = &paints;
        auto *status_box = dialog->findChild<QPlainTextEdit *>("status_box");
        status_box->viewport()->installEventFilter(this);
        status_box->viewport()->update();

        QElapsedTimer timer;
        timer.start();
        const double cpu_before = process_cpu_seconds();
        QCOMPARE(dialog->WaitPumping(2000), status::ok);
        const double cpu_used = process_cpu_seconds() - cpu_before;
        QVERIFY(timer.elapsed() >= 2000);
        QVERIFY(timer.elapsed() < 6000);
        qInfo("WaitPumping(2000): %.1f ms of CPU", cpu_used * 1000);
        // A spinning wait would use the whole 2 s.
        QVERIFY(cpu_used < 0.3);
        QVERIFY(paints > 0);
        status_box->viewport()->removeEventFilter(this);
        painted = nullptr;
    }

    void zero_wait_gives_the_window_one_turn() {
        make_dialog();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        int paints = 0;
        painted = &paints;
        auto *status_box = dialog->findChild<QPlainTextEdit *>("status_box");
        status_box->viewport()->installEventFilter(this);
        status_box->viewport()->update();
        // A queued call that queues itself again runs once per turn of the event loop; its
        // context object takes the last one with it.
        QObject context;
        int turns = 0;
        std::function<void()> again = [&] {
            ++turns;
            QMetaObject::invokeMethod(&context, again, Qt::QueuedConnection);
        };
        QMetaObject::invokeMethod(&context, again, Qt::QueuedConnection);

        QCOMPARE(dialog->WaitPumping(0), status::ok);
        QCOMPARE(turns, 1);
        QVERIFY(paints > 0);
        status_box->viewport()->removeEventFilter(this);
        painted = nullptr;
    }

    void slow_exchange_does_not_burn_the_processor() {
        start_simulator();
        make_dialog();
        press_select_device();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        int paints = 0;
        painted = &paints;
        auto *status_box = dialog->findChild<QPlainTextEdit *>("status_box");
        status_box->viewport()->installEventFilter(this);
        // Something asks the window to repaint while the controller is slow to answer.
        QTimer repaint_requests;
        connect(&repaint_requests, &QTimer::timeout, status_box->viewport(),
                qOverload<>(&QWidget::update));
        repaint_requests.start(100);

        simulator->inject("delay 1400");
        uint16_t status_word = 0;
        const double cpu_before = process_cpu_seconds();
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(tkcmdset_status(0, &status_word), int16_t{0});
        QVERIFY(timer.elapsed() >= 1400);
        const double cpu_used = process_cpu_seconds() - cpu_before;
        repaint_requests.stop();
        qInfo("slow exchange: %lld ms, %.1f ms of CPU, %d paints", static_cast<long long>(timer.elapsed()),
              cpu_used * 1000, paints);
        QVERIFY(cpu_used < 0.3);
        QVERIFY(paints >= 3);
        status_box->viewport()->removeEventFilter(this);
        painted = nullptr;
    }

    void quit_request_ends_a_wait_early() {
        make_dialog();
        // Told to every event loop of the thread, as the platform's session end does.
        QTimer::singleShot(100, qApp, [] { QCoreApplication::exit(0); });
        QElapsedTimer timer;
        timer.start();
        QCOMPARE(dialog->WaitPumping(10000), status::quit_requested);
        QVERIFY(timer.elapsed() < 9000);
        QVERIFY(dialog->quit_pending());
        // The quit stays pending: later waits return at once.
        timer.restart();
        QCOMPARE(dialog->WaitPumping(10000), status::quit_requested);
        QVERIFY(timer.elapsed() < 9000);
    }

    void closing_during_an_operation_ends_it_cleanly() {
        start_simulator();
        make_dialog();
        dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(dialog.get()));
        press_select_device();
        QSignalSpy finished(dialog.get(), &QDialog::finished);
        // The close request arrives while "Start Loader" waits for the controller to come back.
        QTimer::singleShot(300, dialog.get(), [this] { dialog->close(); });
        QElapsedTimer timer;
        timer.start();
        button("start_loader_button")->click();
        QVERIFY(timer.elapsed() < 4000);
        QCOMPARE(dialog->last_status(), status::quit_requested);
        QVERIFY(prompts.messages.empty());
        QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 10000);
        QVERIFY(!dialog->isVisible());
    }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && painted != nullptr)
            ++*painted;
        return QObject::eventFilter(watched, event);
    }

  private:
    void press_select_device() { button("select_device_button")->click(); }

    int *painted = nullptr;
};

QTEST_MAIN(LoaderDialogTest)
#include "loader_dialog_test.moc"
