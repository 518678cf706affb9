#pragma once
// Single-line edit fields that keep the shape of an address while the user types, cuts and
// pastes: a dotted IPv4 address and a colon-separated MAC address.

#include <QLineEdit>

#include <cstdint>
#include <string>
#include <vector>

#include "fields/address_text.h"

namespace vortlink::loader::fields {

class MaskedAddressField : public QLineEdit {
    Q_OBJECT
  public:
    MaskedAddressField(std::string_view mask, std::vector<unsigned> accepted,
                       QWidget *parent = nullptr);

    const std::string &mask() const { return mask_; }
    // A typed character counts by its low 8 bits.
    bool accepts(unsigned character) const;

  protected:
    // One character the user typed, by its low 8 bits, through the field's own rules.
    virtual void type_character(char c) = 0;
    // Every character of a text the user typed, in order, through type_character: a key that
    // types several characters at once, or what an input method commits.
    void type_text(const QString &text);
    // Composed text arrives whole, not as key presses; it is taken as typed once committed, and
    // nothing is shown while it is composed.
    void inputMethodEvent(QInputMethodEvent *event) override;

    edit_state current_state() const;
    // Replaces the whole text and sets the selection; the caret ends at the selection's end
    // for an empty selection and is scrolled into view.
    void show_state(const edit_state &state);

    std::string mask_;
    std::vector<unsigned> accepted_;
    int32_t ctrl_held_ = 0;
    char separator_ = 0;
};

class IpAddressField : public MaskedAddressField {
    Q_OBJECT
  public:
    explicit IpAddressField(QWidget *parent = nullptr);

    bool set_value(uint32_t value);
    bool get_value(uint32_t &value) const;
    bool set_text(const QString &text);

  protected:
    void keyPressEvent(QKeyEvent *event) override;
    void type_character(char c) override;

  private:
    void select_next_octet();
};

class MacAddressField : public MaskedAddressField {
    Q_OBJECT
  public:
    explicit MacAddressField(QWidget *parent = nullptr);

    bool set_bytes(const uint8_t (&bytes)[TKCMDSET_MAC_SIZE]);
    bool get_bytes(uint8_t (&bytes)[TKCMDSET_MAC_SIZE]) const;
    bool set_text(const QString &text);

    // Cut and clear keep the mask's shape and leave the clipboard alone; paste takes clipboard
    // text that reads as a MAC address and nothing else.
    void cut_request();
    void clear_request();
    void paste_request();

  protected:
    void keyPressEvent(QKeyEvent *event) override;
    void keyReleaseEvent(QKeyEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

    void type_character(char c) override;

  private:
    void apply(bool (*rule)(edit_state &));
};

} // namespace vortlink::loader::fields
