#include "dialog/loader_dialog.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QIcon>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>

#include "diagnostics/diagnostics_run.h"
#include "dialog/about_dialog.h"
#include "dialog/data_operations.h"
#include "dialog/loader_settings.h"
#include "dialog/user_prompts.h"
#include "fields/masked_address_field.h"
#include "firmware/programming.h"
#include "firmware/srecord.h"
#include "identity/controller_identity.h"
#include "ui_loader_dialog.h"
#include "vortlink.h"

// Resources of a static library are registered by hand (outside any namespace).
static void register_loader_resources() {
    Q_INIT_RESOURCE(quorrel_loader);
}

namespace vortlink::loader {

namespace {

constexpr int about_command = 16;
constexpr int status_tab_stop_dialog_units = 60;
constexpr std::size_t image_buffer_size = 262144;
// The application file is taken as far as its setting could store it.
constexpr qsizetype application_path_length = setting_buffer_size;
// The serial number field takes at most this many typed characters.
constexpr int serial_number_typed_length = 10;

// Set while a ConnectAndIdentify runs anywhere in the process, so that one entered again from
// a wait returns at once.
constinit bool identify_running = false;

// The one S-record file the process may have open, as the firmware files have always been read.
SRecordFile &application_file() {
    static SRecordFile file;
    return file;
}

uint32_t tick_ms() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// Leading blanks skipped, digits up to the first other character, saturating; no digits is 0.
uint32_t parse_serial_number(const QString &text) {
    const QByteArray bytes = text.toLatin1();
    qsizetype at = 0;
    while (at < bytes.size() && (bytes[at] == ' ' || bytes[at] == '\t'))
        ++at;
    uint64_t value = 0;
    for (; at < bytes.size() && bytes[at] >= '0' && bytes[at] <= '9'; ++at)
        value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(bytes[at] - '0'), UINT32_MAX);
    return static_cast<uint32_t>(value);
}

QString format_serial_number(uint32_t value) {
    return QString::asprintf("%010u", value);
}

QString setting_text(const char *name, const char *default_text) {
    char buffer[setting_buffer_size];
    std::strncpy(buffer, default_text, sizeof buffer - 1);
    buffer[sizeof buffer - 1] = '\0';
    (void)ReadSetting(name, default_text, buffer, sizeof buffer);
    return QString::fromLocal8Bit(buffer);
}

QString shown_text(const QString &text) {
    QString shown = text;
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    return shown;
}

// The template names its controls after their kind; labels, group boxes and the widgets Qt
// builds inside a control carry other names and send no notifications of their own.
bool is_template_control(const QWidget &widget) {
    static const QRegularExpression kinds(
        QStringLiteral("_(button|edit|field|check|radio|list)$|^status_box$"));
    return kinds.match(widget.objectName()).hasMatch();
}

} // namespace

// Packed as the library packs its own: major version in the high byte, minor in the low byte.
uint16_t GetLoaderFileVersion() {
    return static_cast<uint16_t>((QUORREL_LOADER_VERSION_MAJOR & 0xFF) << 8 |
                                 (QUORREL_LOADER_VERSION_MINOR & 0xFF));
}

const char *LoaderReleaseVersion() {
    return QUORREL_LOADER_VERSION_TEXT;
}

// Counts a handler as running, and closes the window after the last one when a close was
// requested meanwhile.
class LoaderDialog::operation_scope {
  public:
    explicit operation_scope(LoaderDialog &dialog) : dialog_(dialog) { ++dialog_.operation_depth_; }
    ~operation_scope() { dialog_.end_operation(); }
    operation_scope(const operation_scope &) = delete;
    operation_scope &operator=(const operation_scope &) = delete;

  private:
    LoaderDialog &dialog_;
};

class LoaderDialog::quiet_focus_scope {
  public:
    explicit quiet_focus_scope(LoaderDialog &dialog) : dialog_(dialog) {
        ++dialog_.quiet_focus_depth_;
    }
    ~quiet_focus_scope() { --dialog_.quiet_focus_depth_; }
    quiet_focus_scope(const quiet_focus_scope &) = delete;
    quiet_focus_scope &operator=(const quiet_focus_scope &) = delete;

  private:
    LoaderDialog &dialog_;
};

namespace {
int pump_window_events(void *context) {
    auto *dialog = static_cast<LoaderDialog *>(context);
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return dialog->quit_pending() ? 1 : 0;
}
} // namespace

LoaderDialog::LoaderDialog(user_prompts &prompts, QWidget *parent)
    : QDialog(parent), prompts_(prompts), ui_(std::make_unique<Ui::LoaderDialog>()),
      image_buffer_(image_buffer_size, 0) {
    register_loader_resources();
    ui_->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    route_notifications();
    connect_data_operations();
    initialise();
    tkcmdset_set_message_pump(pump_window_events, this);
}

LoaderDialog::~LoaderDialog() {
    tkcmdset_set_message_pump(nullptr, nullptr);
    // Controls still report focus changes while they are torn down.
    for (QWidget *widget : findChildren<QWidget *>())
        widget->removeEventFilter(this);
}

void LoaderDialog::route_notifications() {
    // Any notification of another control makes the next "Select Device" start at the first
    // controller again. These connections come before the handlers', so the flag is set first.
    for (QWidget *widget : findChildren<QWidget *>()) {
        if (widget->window() != this || !is_template_control(*widget) ||
            widget == ui_->select_device_button)
            continue;
        widget->installEventFilter(this);
        if (auto *button = qobject_cast<QAbstractButton *>(widget))
            connect(button, &QAbstractButton::clicked, this, [this] { restart_flag_ = true; });
        if (auto *list = qobject_cast<QComboBox *>(widget))
            connect(list, &QComboBox::activated, this, [this] { restart_flag_ = true; });
    }
    connect(ui_->select_device_button, &QPushButton::clicked, this, &LoaderDialog::OnSelectDevice);
    connect(ui_->start_loader_button, &QPushButton::clicked, this, &LoaderDialog::OnStartLoader);
    connect(ui_->start_application_button, &QPushButton::clicked, this,
            &LoaderDialog::OnStartApplication);
    connect(ui_->browse_button, &QPushButton::clicked, this, &LoaderDialog::OnBrowse);
    connect(ui_->run_diagnostics_button, &QPushButton::clicked, this,
            &LoaderDialog::OnRunDiagnostics);
    connect(ui_->program_application_button, &QPushButton::clicked, this,
            &LoaderDialog::OnProgramApplication);

    auto *about = new QShortcut(QKeySequence::HelpContents, this);
    connect(about, &QShortcut::activated, this, [this] { OnSystemCommand(about_command); });
}

bool LoaderDialog::eventFilter(QObject *watched, QEvent *event) {
    if (event->type() == QEvent::FocusIn && quiet_focus_depth_ == 0) {
        // Focus that returns with the window, or after a popup, was not given by the user.
        const Qt::FocusReason reason = static_cast<QFocusEvent *>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason &&
            reason != Qt::OtherFocusReason)
            restart_flag_ = true;
    }
    if (event->type() == QEvent::FocusOut && watched == ui_->serial_number_edit)
        OnSerialNumberKillFocus();
    return QDialog::eventFilter(watched, event);
}

void LoaderDialog::initialise() {
    quiet_focus_scope quiet(*this);
    setWindowIcon(QIcon(QStringLiteral(":/quorrel_loader/quorrel_loader.png")));
    lighthead_loaded = false;

    (void)OpenSettingsKey(loader_settings_key);

    ui_->application_file_edit->setText(setting_text("ApplicationFile", "Quorrel.mot"));
    ui_->application_file_edit->setCursorPosition(
        static_cast<int>(ui_->application_file_edit->text().size()));

    ui_->serial_number_edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QStringLiteral("[0-9]*")), ui_->serial_number_edit));
    // What the user takes away never makes room for more than the typed limit again.
    connect(ui_->serial_number_edit, &QLineEdit::textEdited, this, [this](const QString &text) {
        ui_->serial_number_edit->setMaxLength(
            std::max(serial_number_typed_length, static_cast<int>(text.size())));
    });
    show_serial_number(
        format_serial_number(parse_serial_number(setting_text("SerialNum", "0000000001"))));

    ui_->mac_address_field->set_text(setting_text("MACAddress", "02:4C:51:00:00:00"));
    ui_->ip_address_field->set_text(setting_text("IPAddress", "192.168.8.100"));

    hardware_part_number_ =
        setting_text("HardwarePartNum", "4310-000552-110").left(16).toStdString();
    eco_revision_ = setting_text("ECORevision", "110").left(4).toStdString();

    transfer_buffer_address_ = 0;
    image_lowest_address_ = 0;
    image_highest_address_ = 0;
    restart_flag_ = true;
    std::fill(image_buffer_.begin(), image_buffer_.end(), uint8_t{0});

    SetBusy(true);
    ui_->select_device_button->setEnabled(true);

    const uint16_t loader_version = GetLoaderFileVersion();
    const uint16_t library_version = tkcmdset_get_dll_version();
    set_status_box(QString::asprintf("Version %d.%02d\r\nDLL Version %d.%02d", loader_version >> 8,
                                     loader_version & 0xFF, library_version >> 8,
                                     library_version & 0xFF));

    // Dialog units follow the font; the labels of the identity lines must still fit before the
    // stop, and this font may be wider than the one the stop was chosen for.
    const QFontMetrics metrics(ui_->status_box->font());
    const double tab_stop = metrics.averageCharWidth() * status_tab_stop_dialog_units / 4.0;
    const double widest_label = metrics.horizontalAdvance(QStringLiteral("Hardware version: ")) +
                                metrics.averageCharWidth();
    ui_->status_box->setTabStopDistance(std::max(tab_stop, widest_label));

    ui_->slew_rate_list->addItems({"SLOW", "MED-SLOW", "MED-FAST", "FAST"});
    ui_->operating_mode_list->addItems({"Pulsed", "Timing Bypass", "Repeat", "Internal Trigger"});
    ui_->slew_rate_list->setCurrentIndex(-1);
    ui_->operating_mode_list->setCurrentIndex(-1);
    ui_->select_device_button->setFocus(Qt::OtherFocusReason);
}

void LoaderDialog::note_status(const QString &text) {
    set_status_box(text);
    prompts_.note_status(windowTitle(), text);
}

void LoaderDialog::show_serial_number(const QString &text) {
    // The length limit is for typing: a longer serial number the controller reports is shown,
    // and later written, whole. QLineEdit would cut any text to its limit.
    ui_->serial_number_edit->setMaxLength(
        std::max(serial_number_typed_length, static_cast<int>(text.size())));
    ui_->serial_number_edit->setText(text);
}

void LoaderDialog::set_status_box(const QString &text) {
    ui_->status_box->setPlainText(shown_text(text));
}

void LoaderDialog::SetBusy(bool busy) {
    quiet_focus_scope quiet(*this);
    const bool enable = !busy;
    if (loader_flag_) {
        ui_->program_application_button->setEnabled(enable);
        ui_->program_mfg_button->setEnabled(enable);
    }
    const bool device_enable = slot_ != no_device_slot && enable;
    for (QWidget *device_control : {static_cast<QWidget *>(ui_->start_loader_button),
                                    static_cast<QWidget *>(ui_->start_application_button),
                                    static_cast<QWidget *>(ui_->run_diagnostics_button),
                                    static_cast<QWidget *>(ui_->program_config_button),
                                    static_cast<QWidget *>(ui_->program_lighthead_button),
                                    static_cast<QWidget *>(ui_->edit_led_data_button),
                                    static_cast<QWidget *>(ui_->lighthead_part_number_edit)})
        device_control->setEnabled(device_enable);
    ui_->select_device_button->setEnabled(enable);
    if (busy)
        set_status_box(QStringLiteral("Working..."));
}

void LoaderDialog::ReportStatus(status_t status) {
    if (status == status::ok) {
        set_status_box(QStringLiteral("No errors reported"));
        return;
    }
    char name[50] = {};
    char text[200] = {};
    tkcmdset_get_error_name(status, name, sizeof name);
    tkcmdset_get_error_text(status, text, sizeof text);
    const QString message = QString::asprintf("ERROR (%d) : %s\r\n%s", status, name, text);
    // Once the window is closing, a message box would only be dismissed at once.
    if (!quit_pending_)
        prompts_.show_message(this, windowTitle(), shown_text(message));
    set_status_box(message);
}

status_t LoaderDialog::WaitPumping(uint32_t milliseconds) {
    if (quit_pending_) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return status::quit_requested;
    }
    // A zero wait lets the window repaint once and returns at once, as the library's own pump
    // does between request and reply.
    if (milliseconds == 0) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        return quit_pending_ ? status::quit_requested : status::ok;
    }
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.setTimerType(Qt::PreciseTimer);
    connect(&deadline, &QTimer::timeout, &loop, [&loop] { loop.exit(0); });
    deadline.start(static_cast<int>(std::min<uint32_t>(milliseconds, INT32_MAX)));
    wait_loops_.push_back(&loop);
    loop.exec();
    wait_loops_.erase(std::find(wait_loops_.begin(), wait_loops_.end(), &loop));
    // The loop also ends early when the application is told to quit.
    if (deadline.isActive())
        quit_pending_ = true;
    return quit_pending_ ? status::quit_requested : status::ok;
}

void LoaderDialog::request_quit() {
    quit_pending_ = true;
    for (QEventLoop *loop : wait_loops_)
        loop->exit(1);
}

void LoaderDialog::end_operation() {
    if (--operation_depth_ == 0 && quit_pending_)
        QTimer::singleShot(0, this, [this] { QDialog::reject(); });
}

void LoaderDialog::reject() {
    if (operation_depth_ > 0) {
        request_quit();
        return;
    }
    QDialog::reject();
}

void LoaderDialog::OnSelectDevice() {
    operation_scope operation(*this);
    SetBusy(true);
    (void)tkcmdset_shutdown(slot_);
    slot_ = restart_flag_ ? 0 : static_cast<uint8_t>(slot_ + 1);
    restart_flag_ = false;
    loader_flag_ = false;

    status_t result = tkcmdset_init_ex(slot_, TKCMDSET_PRODUCT_NAME, nullptr);
    if (result != status::ok) {
        slot_ = 0;
        result = tkcmdset_init_ex(0, TKCMDSET_PRODUCT_NAME, nullptr);
        if (result != status::ok)
            restart_flag_ = true;
    }
    if (result == status::ok)
        ConnectAndIdentify();
    else
        note_status(QStringLiteral("Device not found."));
    SetBusy(false);
}

void LoaderDialog::set_manufacturing_fields_editable(bool editable) {
    quiet_focus_scope quiet(*this);
    ui_->serial_number_edit->setReadOnly(!editable);
    ui_->mac_address_field->setReadOnly(!editable);
    ui_->ip_address_field->setReadOnly(!editable);
    ui_->application_file_edit->setReadOnly(!editable);
    ui_->browse_button->setEnabled(editable);
}

status_t LoaderDialog::ConnectAndIdentify() {
    loader_flag_ = false;
    char firmware_version[TKCMDSET_IDENTITY_TEXT_SIZE] = "Unknown";
    char hardware_version[TKCMDSET_IDENTITY_TEXT_SIZE] = "Unknown";
    char serial_number[TKCMDSET_IDENTITY_TEXT_SIZE] = "Unknown";

    if (identify_running)
        return last_status_;
    identify_running = true;
    last_status_ = status::ok;

    status_t &result = last_status_;
    bool identified = false;
    do {
        reopen_hooks reopen;
        reopen.countdown = [this](int count) {
            set_status_box(QString::asprintf("Waiting for USB reset:  %d", count));
        };
        reopen.wait = [this](uint32_t milliseconds) { return WaitPumping(milliseconds); };
        reopen.tick = tick_ms;
        if ((result = reopen_after_reset(slot_, reopen)) != status::ok)
            break;

        (void)WaitPumping(200);
        lighthead_loaded = false;
        (void)read_lighthead(*this);

        if ((result = tkcmdset_fw_version(slot_, firmware_version)) != status::ok)
            break;
        if ((result = ReadConfigBlock(*this)) != status::ok)
            break;
        if (runs_boot_loader(firmware_version)) {
            loader_flag_ = true;
            set_manufacturing_fields_editable(true);
            if ((result = tkcmdset_special(slot_, TKCMDSET_SPECIAL_TRANSFER_BUFFER, 0,
                                           &transfer_buffer_address_)) != status::ok)
                break;
        } else {
            set_manufacturing_fields_editable(false);
        }
        if ((result = tkcmdset_hw_version(slot_, hardware_version)) != status::ok)
            break;
        if ((result = tkcmdset_serial_number(slot_, serial_number)) != status::ok)
            break;
        std::optional<mfg_fields> mfg;
        if ((result = read_mfg_fields(slot_, mfg)) != status::ok)
            break;
        if (mfg) {
            uint8_t mac[TKCMDSET_MAC_SIZE];
            std::copy(mfg->mac.begin(), mfg->mac.end(), mac);
            ui_->mac_address_field->set_bytes(mac);
            ui_->ip_address_field->set_value(mfg->ip);
            ui_->limit_48v_check->setChecked(mfg->limit_48v);
        }
        set_status_box(QString::asprintf(
            "Firmware version:\t%s\r\nHardware version:\t%s\r\nSerial number:\t%s",
            firmware_version, hardware_version, serial_number));
        show_serial_number(QString::fromLatin1(serial_number));
        identified = true;
    } while (false);

    if (!identified) {
        ReportStatus(result);
        set_status_box(QStringLiteral("Firmware version unknown"));
        slot_ = no_device_slot;
        restart_flag_ = true;
    }
    ui_->select_device_button->setEnabled(true);
    identify_running = false;
    return last_status_;
}

void LoaderDialog::switch_firmware(uint16_t feature, uint32_t settle_ms) {
    operation_scope operation(*this);
    SetBusy(true);
    (void)tkcmdset_set_feature(slot_, feature);
    (void)WaitPumping(settle_ms);
    ConnectAndIdentify();
    SetBusy(false);
    restart_flag_ = true;
}

void LoaderDialog::OnStartLoader() {
    switch_firmware(TKCMDSET_FEATURE_START_LOADER, loader_settle_ms);
}

void LoaderDialog::OnStartApplication() {
    switch_firmware(TKCMDSET_FEATURE_START_APPLICATION, application_settle_ms);
}

void LoaderDialog::OnBrowse() {
    operation_scope operation(*this);
    // Qt's filter syntax separates the patterns of one filter with blanks.
    const QStringList filters = {QStringLiteral("S Record Files (*.mot *.s19)"),
                                 QStringLiteral("Text Files (*.txt)"),
                                 QStringLiteral("All Files (*)")};
    const QString path = prompts_.choose_open_file(
        this, QStringLiteral("Open Application S Record File"),
        ui_->application_file_edit->text().left(application_path_length), filters);
    const QByteArray stored = path.toLocal8Bit();
    if (path.isEmpty() || stored.size() >= static_cast<qsizetype>(setting_buffer_size))
        return;
    (void)WriteSetting("ApplicationFile", stored.constData());
    ui_->application_file_edit->setText(path);
    ui_->application_file_edit->setCursorPosition(static_cast<int>(path.size()));
}

void LoaderDialog::OnSerialNumberKillFocus() {
    const QString text =
        format_serial_number(parse_serial_number(ui_->serial_number_edit->text().left(19)));
    show_serial_number(text);
    (void)WriteSetting("SerialNum", text.toLatin1().constData());
}

void LoaderDialog::OnProgramApplication() {
    operation_scope operation(*this);
    SetBusy(true);
    programming_hooks hooks;
    hooks.progress = [this](const programming_progress &progress) {
        set_status_box(QString::fromLatin1(progress.text));
    };
    // Each chunk's wait lets the window repaint the progress and stay responsive.
    hooks.wait = [this](uint32_t milliseconds) { return WaitPumping(milliseconds); };
    hooks.tick = tick_ms;
    library_link link(slot_);
    firmware_programmer programmer(link, transfer_buffer_address_, std::move(hooks));

    const QByteArray path =
        ui_->application_file_edit->text().left(application_path_length).toLocal8Bit();
    const image_span image(image_buffer_.data(), image_area_size);
    SRecordFile &file = application_file();
    status_t result = file.OpenSRecordFile(path.constData());
    if (result == status::ok)
        result = file.LoadSRecordImage(image, image_lowest_address_, image_highest_address_);
    if (result == status::ok)
        result = programmer.program_image(image, image_lowest_address_, image_highest_address_);
    file.CloseSRecordFile();
    last_status_ = result;
    ReportStatus(result);
    SetBusy(false);
}

void LoaderDialog::OnRunDiagnostics() {
    operation_scope operation(*this);
    SetBusy(true);
    diagnostics_hooks hooks;
    hooks.run_test = [this, run_test = library_test_runner(slot_)](uint8_t identifier) {
        last_status_ = run_test(identifier);
        return last_status_;
    };
    hooks.look_up = library_catalogue_texts;
    hooks.log_changed = [this](const std::string &log) {
        set_status_box(QString::fromStdString(log));
    };
    diagnostics_outcome outcome;
    (void)run_diagnostics(hooks, outcome);
    if (outcome.failed) {
        // The log stays as it is; the summary gathers the failures. Once the window is
        // closing, a message box would only be dismissed at once.
        if (!quit_pending_)
            prompts_.show_message(this, windowTitle(),
                                  shown_text(QString::fromStdString(outcome.summary)));
    } else {
        set_status_box(QString::fromStdString(outcome.log));
    }
    SetBusy(false);
}

void LoaderDialog::OnSystemCommand(int command) {
    restart_flag_ = true;
    if ((command & 0xFFF0) == about_command) {
        AboutDialog about(this);
        about.exec();
    }
}

void LoaderDialog::contextMenuEvent(QContextMenuEvent *event) {
    // The window menu of the title bar belongs to the window manager here, so the About entry
    // lives in the dialog's own context menu (and on F1).
    QMenu menu(this);
    menu.addAction(QStringLiteral("&About QuorrelLoader..."), this,
                   [this] { OnSystemCommand(about_command); });
    menu.exec(event->globalPos());
}

} // namespace vortlink::loader
