#include "fields/masked_address_field.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>

#include <algorithm>
#include <utility>

namespace vortlink::loader::fields {

namespace {

// Keys a dialog handles before its fields see them (default button, cancel, focus moves).
bool is_dialog_key(int key) {
    return key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Escape ||
           key == Qt::Key_Tab || key == Qt::Key_Backtab;
}

char low_8_bits(QChar character) {
    return static_cast<char>(character.unicode() & 0xFF);
}

// Keys that type nothing (caret movement) or a single control character (Backspace, Delete,
// Return) keep the edit control's own meaning unless a field takes them itself.
bool types_text(const QKeyEvent *event) {
    const QString text = event->text();
    if (text.isEmpty())
        return false;
    if (text.size() > 1)
        return true;
    const char16_t c = text.at(0).unicode();
    return c >= 0x20 && c != 0x7F;
}

// Ctrl with a letter or Backspace types a control character, and Ctrl with any other key that
// types text types nothing a field takes; the fields discard both. Ctrl with arrows, Home, End
// or Delete keeps the edit control's own meaning.
bool types_control_character(const QKeyEvent *event) {
    if (!event->modifiers().testFlag(Qt::ControlModifier))
        return false;
    const int key = event->key();
    return (key >= Qt::Key_A && key <= Qt::Key_Z) || key == Qt::Key_Backspace ||
           types_text(event);
}

std::vector<unsigned> character_range(char first, char last) {
    std::vector<unsigned> characters;
    for (char c = first; c <= last; ++c)
        characters.push_back(static_cast<unsigned char>(c));
    return characters;
}

std::vector<unsigned> ip_characters() {
    std::vector<unsigned> characters = character_range('0', '9');
    characters.push_back('.');
    characters.push_back('\b');
    return characters;
}

std::vector<unsigned> mac_characters() {
    std::vector<unsigned> characters = character_range('0', '9');
    for (unsigned c : character_range('A', 'F'))
        characters.push_back(c);
    return characters;
}

} // namespace

MaskedAddressField::MaskedAddressField(std::string_view mask, std::vector<unsigned> accepted,
                                       QWidget *parent)
    : QLineEdit(parent), mask_(mask), accepted_(std::move(accepted)) {}

bool MaskedAddressField::accepts(unsigned character) const {
    return std::find(accepted_.begin(), accepted_.end(), character & 0xFFu) != accepted_.end();
}

void MaskedAddressField::type_text(const QString &text) {
    for (const QChar character : text)
        type_character(low_8_bits(character));
}

void MaskedAddressField::inputMethodEvent(QInputMethodEvent *event) {
    type_text(event->commitString());
    event->accept();
}

edit_state MaskedAddressField::current_state() const {
    edit_state state;
    state.text = text().toLatin1().toStdString();
    if (hasSelectedText()) {
        state.start = static_cast<std::size_t>(selectionStart());
        state.end = static_cast<std::size_t>(selectionEnd());
    } else {
        state.start = state.end = static_cast<std::size_t>(cursorPosition());
    }
    state.end = std::min(state.end, state.text.size());
    state.start = std::min(state.start, state.end);
    return state;
}

void MaskedAddressField::show_state(const edit_state &state) {
    setText(QString::fromLatin1(state.text.data(), static_cast<qsizetype>(state.text.size())));
    if (state.start == state.end)
        setCursorPosition(static_cast<int>(state.start));
    else
        setSelection(static_cast<int>(state.start), static_cast<int>(state.end - state.start));
}

IpAddressField::IpAddressField(QWidget *parent)
    : MaskedAddressField(ip_mask, ip_characters(), parent) {
    separator_ = ip_separator;
}

bool IpAddressField::set_value(uint32_t value) {
    setText(QString::fromStdString(ip_value_to_text(value)));
    return true;
}

bool IpAddressField::get_value(uint32_t &value) const {
    value = ip_text_to_value(text().toLatin1().toStdString());
    return true;
}

bool IpAddressField::set_text(const QString &text) {
    setText(text);
    uint32_t value = 0;
    get_value(value);
    return set_value(value);
}

void IpAddressField::select_next_octet() {
    const auto caret =
        static_cast<std::size_t>(hasSelectedText() ? selectionStart() : cursorPosition());
    show_state(ip_select_next_octet(text().toLatin1().toStdString(), caret));
}

void IpAddressField::type_character(char c) {
    if (c == separator_) {
        select_next_octet();
        return;
    }
    if (!accepts(static_cast<unsigned char>(c)) || isReadOnly())
        return;
    if (c == '\b')
        backspace();
    else
        insert(QString(QLatin1Char(c)));
}

void IpAddressField::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    if (is_dialog_key(key)) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    if (types_control_character(event)) {
        event->accept();
        return;
    }
    if (key == Qt::Key_Backspace || key == Qt::Key_Delete || !types_text(event)) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    type_text(event->text());
    event->accept();
}

MacAddressField::MacAddressField(QWidget *parent)
    : MaskedAddressField(mac_mask, mac_characters(), parent) {
    // A drop would insert text past the mask.
    setAcceptDrops(false);
}

bool MacAddressField::set_bytes(const uint8_t (&bytes)[TKCMDSET_MAC_SIZE]) {
    mac_bytes value;
    std::copy(std::begin(bytes), std::end(bytes), value.begin());
    setText(QString::fromStdString(mac_bytes_to_text(value)));
    return true;
}

bool MacAddressField::get_bytes(uint8_t (&bytes)[TKCMDSET_MAC_SIZE]) const {
    mac_bytes value;
    std::copy(std::begin(bytes), std::end(bytes), value.begin());
    mac_text_to_bytes(text().toLatin1().toStdString(), value);
    std::copy(value.begin(), value.end(), std::begin(bytes));
    return true;
}

bool MacAddressField::set_text(const QString &text) {
    setText(text);
    return true;
}

void MacAddressField::apply(bool (*rule)(edit_state &)) {
    if (isReadOnly())
        return;
    edit_state state = current_state();
    if (rule(state))
        show_state(state);
}

void MacAddressField::type_character(char c) {
    if (isReadOnly())
        return;
    edit_state state = current_state();
    if (mac_type_character(state, c))
        show_state(state);
}

void MacAddressField::cut_request() {
    apply(mac_clear);
}

void MacAddressField::clear_request() {
    apply(mac_clear);
}

void MacAddressField::paste_request() {
    if (isReadOnly())
        return;
    const QString pasted = QApplication::clipboard()->text();
    if (pasted.isEmpty())
        return;
    const std::optional<mac_bytes> bytes = mac_from_pasted_text(pasted.toStdString());
    if (!bytes)
        return;
    edit_state state = current_state();
    state.text = mac_bytes_to_text(*bytes);
    state.end = std::min(state.end, state.text.size());
    state.start = std::min(state.start, state.end);
    show_state(state);
}

void MacAddressField::keyPressEvent(QKeyEvent *event) {
    const int key = event->key();
    // The keyboard's own Ctrl state travels with every key event, so a Ctrl released while the
    // focus was elsewhere cannot leave the field thinking it is still held.
    ctrl_held_ = event->modifiers().testFlag(Qt::ControlModifier) || key == Qt::Key_Control;
    if (is_dialog_key(key) || key == Qt::Key_Control) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    event->accept();
    if (key == Qt::Key_Insert)
        return;
    if (key == Qt::Key_Delete) {
        type_character('.');
        return;
    }
    if (ctrl_held_ != 0) {
        if (key == Qt::Key_X)
            cut_request();
        else if (key == Qt::Key_C)
            copy();
        else if (key == Qt::Key_V)
            paste_request();
        else if (!types_control_character(event))
            QLineEdit::keyPressEvent(event);
        return;
    }
    if (key == Qt::Key_Backspace) {
        type_character('\b');
        return;
    }
    if (!types_text(event)) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    type_text(event->text());
}

void MacAddressField::keyReleaseEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_Control)
        ctrl_held_ = 0;
    QLineEdit::keyReleaseEvent(event);
}

void MacAddressField::contextMenuEvent(QContextMenuEvent *event) {
    // The standard menu's actions would edit the text past the mask.
    QMenu menu(this);
    const bool editable = !isReadOnly();
    menu.addAction(tr("Cu&t"), this, &MacAddressField::cut_request)
        ->setEnabled(editable && hasSelectedText());
    menu.addAction(tr("&Copy"), this, &QLineEdit::copy)->setEnabled(hasSelectedText());
    menu.addAction(tr("&Paste"), this, &MacAddressField::paste_request)
        ->setEnabled(editable && !QApplication::clipboard()->text().isEmpty());
    menu.addAction(tr("Delete"), this, &MacAddressField::clear_request)
        ->setEnabled(editable && hasSelectedText());
    menu.addSeparator();
    menu.addAction(tr("Select All"), this, &QLineEdit::selectAll)->setEnabled(!text().isEmpty());
    menu.exec(event->globalPos());
}

} // namespace vortlink::loader::fields
