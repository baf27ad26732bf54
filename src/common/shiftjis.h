// Script text is Shift-JIS. A two-byte character's second byte may equal a
// single-byte character the parser looks for (0x5C, the backslash, is the
// second byte of "ソ" and "表"), so every scan over script text steps over
// whole characters: it asks CharLength at each position and never looks at a
// second byte on its own.
#pragma once

#include <cstddef>

// First byte of a two-byte character: 0x81..0x9F or 0xE0..0xFC.
inline bool IsLeadByte(char byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Second byte of a two-byte character: 0x40..0x7E or 0x80..0xFC. Quotes,
// spaces, commas, parentheses, colons and line ends are never second bytes,
// so a stray lead byte (a broken character) cannot swallow one of them.
inline bool IsTrailByte(char byte) {
    unsigned char b = static_cast<unsigned char>(byte);
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// Bytes of the character that starts at `text`: 2 for a lead byte followed
// by a second byte, else 1. `text` must not point at the terminating NUL.
inline size_t CharLength(const char* text) {
    return IsLeadByte(text[0]) && IsTrailByte(text[1]) ? 2 : 1;
}
