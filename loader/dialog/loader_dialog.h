#pragma once
// The utility's one window: selects a controller on the USB bus, shows its identity, switches it
// between its boot loader and its application, and hosts the programming operations.

#include <QDialog>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/status.h"

class QEventLoop;

namespace Ui {
class LoaderDialog;
}

namespace vortlink::loader {

namespace fields {
class IpAddressField;
class MacAddressField;
} // namespace fields

class user_prompts;
class LightheadDataDialog;

inline constexpr uint8_t no_device_slot = 255;

// Packed like the library's version word: high byte the major version, low byte the minor.
uint16_t GetLoaderFileVersion();
// The release version, MAJOR.MINOR.PATCH, as --version and the packages give it.
const char *LoaderReleaseVersion();

class LoaderDialog : public QDialog {
    Q_OBJECT
  public:
    // prompts answers message boxes and file choices; it must outlive the dialog.
    explicit LoaderDialog(user_prompts &prompts, QWidget *parent = nullptr);
    ~LoaderDialog() override;

    // Every operation runs SetBusy(true), its steps, ReportStatus, SetBusy(false).
    void SetBusy(bool busy);
    void ReportStatus(status_t status);
    status_t ConnectAndIdentify();
    // Keeps the window alive for the given time; quit_requested when the window was asked to
    // close meanwhile (the close then happens once the running operation is over). A zero wait
    // gives the event loop exactly one turn, so that the window repaints, and returns at once.
    status_t WaitPumping(uint32_t milliseconds);

    uint8_t slot() const { return slot_; }
    bool loader_flag() const { return loader_flag_; }
    bool restart_flag() const { return restart_flag_; }
    status_t last_status() const { return last_status_; }
    uint32_t transfer_buffer_address() const { return transfer_buffer_address_; }
    uint32_t image_lowest_address() const { return image_lowest_address_; }
    uint32_t image_highest_address() const { return image_highest_address_; }
    const std::string &hardware_part_number() const { return hardware_part_number_; }
    const std::string &eco_revision() const { return eco_revision_; }
    bool quit_pending() const { return quit_pending_; }

    bool lighthead_loaded = false;
    // The lighthead data editor; it lives as long as the dialog.
    LightheadDataDialog &lighthead_editor() const { return *lighthead_editor_; }

  public slots:
    void OnSelectDevice();
    void OnStartLoader();
    void OnStartApplication();
    void OnBrowse();
    void OnSerialNumberKillFocus();
    void OnProgramApplication();
    void OnRunDiagnostics();
    // A command of the window menu; id 16 (after masking with 0xFFF0) opens the About box.
    void OnSystemCommand(int command);
    void reject() override;
    void OnProgramMfgData();
    void OnProgramConfigData();
    // After a click on "None", "1" or "2", or a new operating mode chosen.
    void OnTriggerOrModeChanged();
    void OnEditLedData();
    void OnProgramLighthead();

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

  private:
    class operation_scope;
    class quiet_focus_scope;

    void initialise();
    void route_notifications();
    void set_status_box(const QString &text);
    // A status report without a message box.
    void note_status(const QString &text);
    void show_serial_number(const QString &text);
    void set_manufacturing_fields_editable(bool editable);
    void switch_firmware(uint16_t feature, uint32_t settle_ms);
    void request_quit();
    void end_operation();
    void connect_data_operations();
    friend status_t ReadConfigBlock(LoaderDialog &dialog);
    friend bool read_lighthead(LoaderDialog &dialog);

    user_prompts &prompts_;
    std::unique_ptr<Ui::LoaderDialog> ui_;

    uint8_t slot_ = no_device_slot;
    bool loader_flag_ = false;
    bool restart_flag_ = true;
    std::string hardware_part_number_;
    std::string eco_revision_;
    status_t last_status_ = status::ok;
    uint32_t transfer_buffer_address_ = 0;
    uint32_t image_lowest_address_ = 0;
    uint32_t image_highest_address_ = 0;
    std::vector<uint8_t> image_buffer_;

    // Running operations (handlers can be entered again while one waits), the waits in progress
    // innermost last, and whether the window was asked to close meanwhile.
    int operation_depth_ = 0;
    std::vector<QEventLoop *> wait_loops_;
    bool quit_pending_ = false;
    // Focus that moves because a control was disabled is not the user's doing.
    int quiet_focus_depth_ = 0;
    // A child of the dialog, which deletes it.
    LightheadDataDialog *lighthead_editor_ = nullptr;
};

} // namespace vortlink::loader
