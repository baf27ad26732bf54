// The font engine behind the text commands, behind one small interface so
// that each platform can supply its own (FreeType and fontconfig on Linux).
//
// The engine draws a string into a canvas of two 8-bit weights per pixel,
// which the text command then blends into an image buffer:
//   fill     the weight of the fill colour, and
//   outline  the weight of the outline colour.
// With T the letters' anti-aliased coverage (0..255) and O the outline shape
// (the letter outlines filled with the even-odd rule, joined with a stroke of
// the outline width centred on them; round joins and caps; not anti-aliased),
// fill = 255 where O is set and T elsewhere, outline = 255 - T where O is set
// and 0 elsewhere. Without an outline there is no O.
//
// Everything runs on the calling thread, except loops the engine runs itself.
#pragma once

#include <cstdint>

namespace platform {

// What a font is made from. Text is in the current code page (SetTextCodePage).
struct TextFontRequest {
    const char* face;     // face name; empty: the engine chooses
    int32_t cell_height;  // character cell height in pixels (ascent + descent), >= 1
    bool bold;
    bool italic;
    bool underline;
};

struct TextWeights {
    uint8_t fill;
    uint8_t outline;
};

// A canvas of width x height weights in rows of `width`; row 0 is the top.
struct TextCanvasView {
    TextWeights* pixels;
    int32_t width;
    int32_t height;
};

// A rectangle of canvas pixels, half-open: left <= x < right, top <= y < bottom.
struct TextBox {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
};

inline bool IsEmptyBox(const TextBox& box) {
    return box.left >= box.right || box.top >= box.bottom;
}

// Where the anchor x lies: the text ends at x, is centred on x, or starts at x.
enum class TextAlign : int32_t { kEndAtX = 0, kCentreOnX = 1, kStartAtX = 2 };

// The code page of the texts and face names handed to the engine.
enum class TextCodePage : int32_t { kShiftJis = 0, kUtf8 = 1 };

// Texts and face names given after this call are read in `code_page`
// (Shift-JIS until the first call).
void SetTextCodePage(TextCodePage code_page);

// Makes the font of `request` the current one. When the face cannot be made,
// the engine's own choice of face takes its place; false when not even that
// exists (later drawings then draw nothing).
bool SelectTextFont(const TextFontRequest& request);

// Draws `text` (NUL-terminated, in the current code page) with the current font, its top at
// y and aligned on x, with an outline of `outline_width` pixels (none when 0
// or negative). The canvas must be all zero on entry; the engine writes
// weights only inside the returned box, which lies within the canvas (empty
// when nothing was drawn). Characters the code page cannot decode or the font
// lacks are skipped.
TextBox DrawTextWeights(const char* text, int32_t x, int32_t y, TextAlign align,
                        int32_t outline_width, const TextCanvasView& canvas);

// The advance width in pixels of `text` with the current font (0 without one).
int64_t MeasureText(const char* text);

// The file of the current font, for diagnostics; empty without a font.
const char* CurrentTextFontFile();

// Frees every font and converter the engine holds. The engine starts again
// from nothing on its next use.
void ReleaseTextEngine();

}  // namespace platform
