#pragma once
// The text side of the masked address fields, free of any widget: conversions between an
// address and its text, and the editing rules of the MAC field applied to a copy of the text and
// its selection. The widgets in masked_address_field.h only move text and selection in and out.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vortlink.h"

namespace vortlink::loader::fields {

inline constexpr std::string_view ip_mask = "###.###.###.###";
inline constexpr std::string_view mac_mask = "##:##:##:##:##:##";
inline constexpr char ip_separator = '.';

using mac_bytes = std::array<uint8_t, TKCMDSET_MAC_SIZE>;

// Text and selection [start, end) of a single-line field, in characters; start <= end <= size.
struct edit_state {
    std::string text;
    std::size_t start = 0;
    std::size_t end = 0;
};

// "%d.%d.%d.%d" read as scanf does: reading stops at the first mismatch and groups not read
// count as 0. A group above 255 carries into the next higher octet (32-bit arithmetic).
uint32_t ip_text_to_value(std::string_view text);
// "%d.%d.%d.%d" of the four octets, most significant first.
std::string ip_value_to_text(uint32_t value);
// The text in normal form: read, then written again.
std::string ip_normalised(std::string_view text);

// What the separator key does: the text normalised and the octet after the one that holds the
// caret (the first octet after the fourth) selected.
edit_state ip_select_next_octet(std::string_view text, std::size_t caret);

// "%x:%x:%x:%x:%x:%x" read as scanf does; the low 8 bits of group i go to bytes[i]. Bytes whose
// group was not read keep their value.
void mac_text_to_bytes(std::string_view text, mac_bytes &bytes);
// Six groups of two upper-case hexadecimal digits joined by ':'.
std::string mac_bytes_to_text(const mac_bytes &bytes);

// Clipboard text that reads as a MAC address: six groups of one or two hexadecimal digits
// separated by ':' or '-' (one kind throughout), or twelve hexadecimal digits, with blanks and
// line ends around it. nullopt for anything else.
std::optional<mac_bytes> mac_from_pasted_text(std::string_view text);

// The MAC field's editing rules on a copy of its text and selection. Each returns false when
// the field is to stay exactly as it was (text, selection and caret).
bool mac_type_character(edit_state &state, char typed);
// The Delete key, and a typed '.', which shares its character code.
bool mac_delete(edit_state &state);
// Cut and clear: digits of the selection become '0' and separators are restored, except that a
// selection running to the end of the text is removed. The selection stays as it was.
bool mac_clear(edit_state &state);

} // namespace vortlink::loader::fields
