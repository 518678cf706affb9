#pragma once
// What the QuorrelLoader dialog tests share: a private settings directory, the simulated
// controllers on their USB bus, the dialog with captured prompts, and its widgets by name.

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialog/loader_dialog.h"
#include "dialog/loader_settings.h"
#include "fields/masked_address_field.h"
#include "support/simulator_process.h"

namespace vortlink::test {

// Prompts is the test's user_prompts, which records what the dialog would have asked.
template <class Prompts> struct loader_dialog_fixture {
    // For a test class's init(): the settings file lives in a directory of this test alone.
    void use_private_settings() {
        config = std::make_unique<QTemporaryDir>();
        QVERIFY(config->isValid());
        qputenv("XDG_CONFIG_HOME", config->path().toLocal8Bit());
        loader::CloseSettingsKey();
    }
    // For cleanup(): the dialog goes before the controllers it talks to.
    void release() {
        dialog.reset();
        simulator.reset();
        loader::CloseSettingsKey();
        config.reset();
    }
    void start_simulator(std::vector<std::string> arguments = {}) {
        simulator = std::make_unique<simulator_process>(with_hid, std::move(arguments));
        qputenv("VORTLINK_HID_SIM", QByteArray::fromStdString(simulator->hid_socket()));
    }
    void make_dialog() {
        prompts = Prompts();
        dialog = std::make_unique<loader::LoaderDialog>(prompts);
    }

    loader::fields::MacAddressField &mac_field() const {
        return *dialog->findChild<loader::fields::MacAddressField *>("mac_address_field");
    }
    loader::fields::IpAddressField &ip_field() const {
        return *dialog->findChild<loader::fields::IpAddressField *>("ip_address_field");
    }
    QPlainTextEdit *status_box() const { return dialog->findChild<QPlainTextEdit *>("status_box"); }
    QString status_box_text() const { return status_box()->toPlainText(); }
    QPushButton *button(const char *name) const { return dialog->findChild<QPushButton *>(name); }
    QLineEdit *edit(const char *name) const { return dialog->findChild<QLineEdit *>(name); }
    QCheckBox *check_box(const char *name) const { return dialog->findChild<QCheckBox *>(name); }
    QRadioButton *radio(const char *name) const { return dialog->findChild<QRadioButton *>(name); }
    QComboBox *list(const char *name) const { return dialog->findChild<QComboBox *>(name); }

    std::unique_ptr<QTemporaryDir> config;
    std::unique_ptr<simulator_process> simulator;
    Prompts prompts;
    std::unique_ptr<loader::LoaderDialog> dialog;
};

} // namespace vortlink::test
