#pragma once
// Writing the blocks' 32-bit fields and texts; the 16-bit helpers and the CRC-16 are the
// loader's common ones.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

#include "common/byte_order.h"
#include "common/crc16.h"

namespace vortlink::loader::block_bytes {

inline void put_u32_be(uint8_t *bytes, uint32_t value) {
    put_u16_be(bytes, static_cast<uint16_t>(value >> 16));
    put_u16_be(bytes + 2, static_cast<uint16_t>(value));
}

inline void put_f32_be(uint8_t *bytes, float value) {
    put_u32_be(bytes, std::bit_cast<uint32_t>(value));
}

inline float get_f32_be(const uint8_t *bytes) {
    return std::bit_cast<float>(get_u32_be(bytes));
}

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

template <std::size_t size> void seal(uint8_t (&block)[size]) {
    put_u16_be(block, crc16(std::span<const uint8_t>(block + 2, size - 2)));
}

template <std::size_t size> bool is_sealed(const uint8_t (&block)[size], uint16_t identifier) {
    return get_u16_be(block + 2) == identifier &&
           crc16(std::span<const uint8_t>(block + 2, size - 2)) == get_u16_be(block);
}

} // namespace vortlink::loader::block_bytes
