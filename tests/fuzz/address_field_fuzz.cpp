// Arbitrary text and key strokes for the masked address fields. The input's first line is the
// field's text; then two bytes place the selection, and every byte after them is one edit
// (a typed character, Delete, or cut). Besides the sanitizers' findings: the selection stays
// within the text, a field that shows a whole MAC address keeps the mask's shape through any
// edit, and the conversions between addresses and texts give back what went in.

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

#include "fields/address_text.h"
#include "fuzz_support.h"

namespace {

using namespace fuzz;
using namespace vortlink::loader::fields;

bool has_mac_shape(std::string_view text) {
    if (text.size() != mac_mask.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (mac_mask[i] == '#' ? !std::isxdigit(static_cast<unsigned char>(text[i]))
                               : text[i] != mac_mask[i])
            return false;
    return true;
}

void conversions(std::string_view text) {
    const uint32_t ip = ip_text_to_value(text);
    require(ip_text_to_value(ip_value_to_text(ip)) == ip);
    require(ip_normalised(ip_normalised(text)) == ip_normalised(text));
    const edit_state next = ip_select_next_octet(text, text.size() / 2);
    require(next.start <= next.end && next.end <= next.text.size());

    mac_bytes bytes{};
    mac_text_to_bytes(text, bytes);
    mac_bytes again{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    mac_text_to_bytes(mac_bytes_to_text(bytes), again);
    require(again == bytes && has_mac_shape(mac_bytes_to_text(bytes)));
    if (const std::optional<mac_bytes> pasted = mac_from_pasted_text(text))
        require(mac_from_pasted_text(mac_bytes_to_text(*pasted)) == pasted);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char *>(data), size);
    const std::size_t line_end = std::min(input.find('\n'), input.size());
    edit_state state{std::string(input.substr(0, line_end))};
    input.remove_prefix(std::min(line_end + 1, input.size()));
    conversions(state.text);

    if (input.size() >= 2) {
        state.end = std::min<std::size_t>(static_cast<uint8_t>(input[1]), state.text.size());
        state.start = std::min<std::size_t>(static_cast<uint8_t>(input[0]), state.end);
        input.remove_prefix(2);
    }
    for (char key : input) {
        const edit_state before = state;
        bool changed = false;
        if (key == '\x7F')
            changed = mac_delete(state);
        else if (key == '\x18')
            changed = mac_clear(state);
        else
            changed = mac_type_character(state, key);
        require(state.start <= state.end && state.end <= state.text.size());
        if (!changed)
            require(state.text == before.text && state.start == before.start &&
                    state.end == before.end);
        // A cut that reaches the end removes the rest of the text; anything else keeps the shape.
        if (has_mac_shape(before.text) && key != '\x18')
            require(has_mac_shape(state.text));
    }
    return 0;
}
