#pragma once
// Writing the blocks' texts and heads; byte order, CRC-16 and the validity check are the
// library's.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "core/eeprom_blocks.h"

namespace vortlink::loader::block_bytes {

// The text's characters up to its first zero byte, at most size of them; the rest of the field
// stays zero, so a text that fills the field has no terminator.
inline void put_text(uint8_t *field, std::size_t size, const std::string &text) {
    const std::size_t length = strnlen(text.c_str(), size);
    std::memcpy(field, text.data(), length);
}

inline std::string get_text(const uint8_t *field, std::size_t size) {
    const auto *characters = reinterpret_cast<const char *>(field);
    return std::string(characters, strnlen(characters, size));
}

// Every block starts with its CRC-16 over the rest, its identifier and two bytes of its kind.
template <std::size_t size>
void put_head(uint8_t (&block)[size], uint16_t identifier, uint8_t kind_high, uint8_t kind_low) {
    put_u16_be(block + 2, identifier);
    block[4] = kind_high;
    block[5] = kind_low;
}

} // namespace vortlink::loader::block_bytes
