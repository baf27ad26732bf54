// The text engine's code pages: script texts and face names arrive as bytes
// of the script's code page (Shift-JIS, code page 932, or UTF-8 for a UTF-8
// script; see SetTextCodePage) and are turned into Unicode code points for
// the font, or into UTF-8 for the font lookup.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text_engine.h"

namespace platform {

// The code page set by SetTextCodePage (Shift-JIS until the first call).
TextCodePage CurrentTextCodePage();

// Makes the converter ready; false when the system has none for Shift-JIS
// (every text then decodes to nothing). Cheap once it succeeded.
bool OpenCodePages();

// Frees the converter; OpenCodePages makes it again.
void CloseCodePages();

// Decodes up to `capacity` characters of NUL-terminated Shift-JIS `text` into
// code points. Bytes the code page cannot decode and control characters are
// skipped; a lead byte whose trail byte is missing or invalid is skipped alone.
// Returns the number of code points written.
int32_t DecodeShiftJis(const char* text, uint32_t* code_points, int32_t capacity);

// Decodes up to `capacity` characters of NUL-terminated UTF-8 `text`,
// skipping bytes that start no well-formed, shortest-form sequence and
// control characters.
int32_t DecodeUtf8(const char* text, uint32_t* code_points, int32_t capacity);

// Decodes `text` in the current code page.
int32_t DecodeText(const char* text, uint32_t* code_points, int32_t capacity);

// Encodes `count` code points as NUL-terminated UTF-8 into `out` of
// `capacity` bytes (>= 1), stopping before a character that would not fit.
void EncodeUtf8(const uint32_t* code_points, int32_t count, char* out, size_t capacity);

}  // namespace platform
