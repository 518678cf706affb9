/*
 * Text that came from outside (the error catalogue, a controller's strings, names a user gave)
 * made safe to print on a terminal: every control character is shown as \xNN, so that an escape
 * sequence planted in a catalogue or sent by a controller is seen, never obeyed. Written in the
 * common part of C and C++, so that the C and the C++ programs print through the same code.
 */
#ifndef VORTLINK_PRINTABLE_TEXT_H
#define VORTLINK_PRINTABLE_TEXT_H

#include <stddef.h>

/* Room the result of length bytes of text can need, its terminator included. */
#define VORTLINK_PRINTABLE_SIZE(length) (4 * (size_t)(length) + 1)

/*
 * Writes text (length bytes) into out (out_size bytes, out_size > 0), always terminated, and
 * returns the length written. Shown as \xNN: C0 controls and DEL; C1 controls, whether as their
 * UTF-8 form (C2 80 to C2 9F, shown by code point) or as a lone byte 0x80 to 0x9F that follows no
 * other byte above 0x7F (an 8-bit terminal takes 0x9B for an escape); with keep_line_ends, line
 * feeds and tabs stay as they are. Every other byte is kept. A result that does not fit is cut
 * before the first character that does not fit whole.
 */
static inline size_t vortlink_printable_text(const char *text, size_t length, int keep_line_ends,
                                             char *out, size_t out_size) {
    static const char digits[] = "0123456789abcdef";
    size_t written = 0;
    size_t i = 0;
    while (i < length) {
        const unsigned char byte = (unsigned char)text[i];
        const int previous_high = i > 0 && (unsigned char)text[i - 1] > 0x7F;
        unsigned code = byte;
        size_t taken = 1;
        int escape = 0;
        if (byte == 0xC2 && i + 1 < length && (unsigned char)text[i + 1] >= 0x80 &&
            (unsigned char)text[i + 1] <= 0x9F) {
            code = (unsigned char)text[i + 1];
            taken = 2;
            escape = 1;
        } else if (byte < 0x20) {
            escape = !(keep_line_ends && (byte == '\n' || byte == '\t'));
        } else if (byte == 0x7F) {
            escape = 1;
        } else if (byte >= 0x80 && byte <= 0x9F && !previous_high) {
            escape = 1;
        }
        const size_t needed = escape ? 4 : 1;
        if (written + needed >= out_size)
            break;
        if (escape) {
            out[written++] = '\\';
            out[written++] = 'x';
            out[written++] = digits[code >> 4];
            out[written++] = digits[code & 0x0F];
        } else {
            out[written++] = (char)byte;
        }
        i += taken;
    }
    out[written] = '\0';
    return written;
}

#endif
