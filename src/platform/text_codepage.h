// The text engine's code pages: script texts and face names arrive as bytes
// of the script's code page (Shift-JIS, code page 932) and are turned into
// Unicode code points for the font, or into UTF-8 for the font lookup.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

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

// Encodes `count` code points as NUL-terminated UTF-8 into `out` of
// `capacity` bytes (>= 1), stopping before a character that would not fit.
void EncodeUtf8(const uint32_t* code_points, int32_t count, char* out, size_t capacity);

}  // namespace platform
