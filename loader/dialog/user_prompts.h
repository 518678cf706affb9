#pragma once
// Everything the dialog asks of the user in a window of its own goes through this interface, so
// that tests and unattended runs answer it instead of a person.

#include <QString>
#include <QStringList>

class QWidget;

namespace vortlink::loader {

class user_prompts {
  public:
    virtual ~user_prompts() = default;
    // A message with an OK button; returns once it was dismissed.
    virtual void show_message(QWidget *owner, const QString &caption, const QString &text) = 0;
    // A status the window reports in its status box alone, without a message box: a person
    // sees it there, a run nobody watches needs it told.
    virtual void note_status(const QString & /*caption*/, const QString & /*text*/) {}
    // An existing file chosen by the user, or an empty text when the choice was cancelled.
    virtual QString choose_open_file(QWidget *owner, const QString &title, const QString &proposed,
                                     const QStringList &filters) = 0;
};

// Modal message boxes and the platform's open-file chooser.
class window_prompts final : public user_prompts {
  public:
    void show_message(QWidget *owner, const QString &caption, const QString &text) override;
    QString choose_open_file(QWidget *owner, const QString &title, const QString &proposed,
                             const QStringList &filters) override;
};

// For runs nobody watches: messages and status reports go to standard error and every file
// choice is cancelled.
class console_prompts final : public user_prompts {
  public:
    void show_message(QWidget *owner, const QString &caption, const QString &text) override;
    void note_status(const QString &caption, const QString &text) override;
    QString choose_open_file(QWidget *owner, const QString &title, const QString &proposed,
                             const QStringList &filters) override;
};

} // namespace vortlink::loader
