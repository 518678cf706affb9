#pragma once
// Multi-byte values on the wire, in EEPROM blocks and in firmware images are big-endian; floats
// travel as their IEEE-754 single-precision bits. The put routines return the cursor past what
// they wrote, the cursor forms of the get routines the cursor past what they read. No bounds are
// checked: callers stay within their buffers.

#include <bit>
#include <cstdint>

namespace vortlink {

inline uint8_t *put_u8(uint8_t *cursor, uint8_t value) {
    *cursor = value;
    return cursor + 1;
}

inline uint8_t *put_u16_be(uint8_t *cursor, uint16_t value) {
    cursor[0] = static_cast<uint8_t>(value >> 8);
    cursor[1] = static_cast<uint8_t>(value);
    return cursor + 2;
}

inline uint8_t *put_u32_be(uint8_t *cursor, uint32_t value) {
    return put_u16_be(put_u16_be(cursor, static_cast<uint16_t>(value >> 16)),
                      static_cast<uint16_t>(value));
}

inline uint8_t *put_f32_be(uint8_t *cursor, float value) {
    return put_u32_be(cursor, std::bit_cast<uint32_t>(value));
}

inline uint16_t get_u16_be(const uint8_t *bytes) {
    return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

inline uint32_t get_u32_be(const uint8_t *bytes) {
    return static_cast<uint32_t>(bytes[0]) << 24 | static_cast<uint32_t>(bytes[1]) << 16 |
           static_cast<uint32_t>(bytes[2]) << 8 | bytes[3];
}

inline float get_f32_be(const uint8_t *bytes) {
    return std::bit_cast<float>(get_u32_be(bytes));
}

inline const uint8_t *get_u8(const uint8_t *cursor, uint8_t &value) {
    value = *cursor;
    return cursor + 1;
}

inline const uint8_t *get_u16_be(const uint8_t *cursor, uint16_t &value) {
    value = get_u16_be(cursor);
    return cursor + 2;
}

inline const uint8_t *get_u32_be(const uint8_t *cursor, uint32_t &value) {
    value = get_u32_be(cursor);
    return cursor + 4;
}

inline const uint8_t *get_f32_be(const uint8_t *cursor, float &value) {
    value = get_f32_be(cursor);
    return cursor + 4;
}

} // namespace vortlink
