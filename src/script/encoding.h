// The script's text encoding. A script that starts with a UTF-8 byte-order
// mark, or is valid UTF-8 and holds at least one multi-byte sequence, is read
// as UTF-8; every other script is Shift-JIS, so scripts written for Shift-JIS
// keep their meaning (plain ASCII reads the same either way). Windows builds
// always read Shift-JIS (a UTF-8 mark is still skipped there). A script that
// starts with a UTF-16 byte-order mark is not read at all: its bytes mean
// nothing as either encoding.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/shiftjis.h"

enum class ScriptEncoding : uint8_t { kShiftJis, kUtf8 };

// The encoding of the loaded script; set by the loader before it parses.
extern ScriptEncoding g_script_encoding;

// Bytes of the UTF-8 sequence that starts at `text` when it is a complete,
// well-formed one (2..4), else 1. `text` must not point at the terminating NUL.
inline size_t Utf8SequenceLength(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    size_t n = p[0] >= 0xC2 && p[0] <= 0xDF   ? 2
               : p[0] >= 0xE0 && p[0] <= 0xEF ? 3
               : p[0] >= 0xF0 && p[0] <= 0xF4 ? 4
                                              : 1;
    for (size_t k = 1; k < n; ++k) {
        if ((p[k] & 0xC0) != 0x80) return 1;
    }
    return n;
}

// The byte-order mark a script file's bytes start with: EF BB BF (UTF-8), FF FE
// or FE FF (UTF-16 of either byte order; UTF-32LE's FF FE 00 00 is caught as
// UTF-16 too).
enum class ByteOrderMark : uint8_t { kNone, kUtf8, kUtf16 };
ByteOrderMark FindByteOrderMark(const char* bytes, size_t size);

// Bytes of the UTF-8 byte-order mark, which the loader skips.
constexpr size_t kUtf8MarkSize = 3;

// The encoding a script file's bytes are read in.
ScriptEncoding DetectScriptEncoding(const char* bytes, size_t size);

// Bytes of the character at `text` in the loaded script's encoding.
inline size_t ScriptCharLength(const char* text) {
    return g_script_encoding == ScriptEncoding::kUtf8 ? Utf8SequenceLength(text) : CharLength(text);
}
