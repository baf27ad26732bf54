// Text: the persistent text style set by font, font_rgb, font2 and font2_rgb,
// and the one handler of text and text2, which has the text engine draw the
// string's two weights onto the text canvas and blends them into a buffer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/parallel.h"
#include "common/shiftjis.h"
#include "host/buffers.h"
#include "platform/text_engine.h"
#include "script/arguments.h"
#include "script/command_table.h"
#include "script/encoding.h"
#include "video/pixel.h"
#include "video/video_commands.h"

namespace {

constexpr size_t kFaceCapacity = 512;
// Strings drawn: at most 511 bytes and the terminator.
constexpr size_t kTextCapacity = 512;
// text2 passes arguments 5..19 to its format (kFormatValueCount of them).
constexpr int32_t kFirstFormatValue = 5;

// The default style, set by the first drawing when no font command has run:
// "ＭＳ ゴシック" in Shift-JIS, 32 pixels, white letters.
const char kDefaultFace[] = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";
constexpr int32_t kDefaultSize = 32;
constexpr int32_t kDefaultFillY = 4096;

// The text style, all zero at load and kept while the plug-in is loaded
// (script reloads included). size 0: no style set yet.
struct TextStyle {
    char face[kFaceCapacity];               // in face_code_page; empty: the engine chooses
    platform::TextCodePage face_code_page;  // the script's, or Shift-JIS for the default
    int32_t size;                           // character cell height in pixels, >= 1 once set
    int32_t bold;
    int32_t italic;
    int32_t underline;
    int32_t outline_width;  // pixels; 0 or negative: no outline
    int32_t fill_y, fill_cb, fill_cr;
    int32_t outline_y, outline_cb, outline_cr;
};

// The canvas the engine draws on, max_w x max_h weights over the buffer
// pixels of the same position; all zero between drawings. Made by the first
// drawing, remade when the frame size changes, released at exit.
struct TextCanvas {
    platform::TextWeights* pixels;
    int32_t width;
    int32_t height;
};

TextStyle g_text_style;
TextCanvas g_text_canvas;

// ---- Font commands -------------------------------------------------------------

// The code page the loaded script's texts are in.
platform::TextCodePage ScriptCodePage() {
    return g_script_encoding == ScriptEncoding::kUtf8 ? platform::TextCodePage::kUtf8
                                                      : platform::TextCodePage::kShiftJis;
}

// Face, size, bold, italic and underline from arguments 0..4.
void StoreFaceAndShape(int32_t line) {
    TextStyle& style = g_text_style;
    // The face is stored at its own length: copy up to its end, no further.
    std::strncpy(style.face, ArgText(line, 0), kFaceCapacity - 1);
    style.face[kFaceCapacity - 1] = '\0';
    style.face_code_page = ScriptCodePage();
    style.size = ArgInt(line, 1) < 1 ? 1 : ArgInt(line, 1);
    style.bold = ArgInt(line, 2);
    style.italic = ArgInt(line, 3);
    style.underline = ArgInt(line, 4);
}

void StoreFill(int32_t y, int32_t cb, int32_t cr) {
    g_text_style.fill_y = y;
    g_text_style.fill_cb = cb;
    g_text_style.fill_cr = cr;
}

void StoreOutline(int32_t y, int32_t cb, int32_t cr) {
    g_text_style.outline_y = y;
    g_text_style.outline_cb = cb;
    g_text_style.outline_cr = cr;
}

// ---- Building the string -------------------------------------------------------

// Ends the string before a character that lost its last bytes to the length
// limit.
void CutAtCharacterBoundary(char* text) {
    if (g_script_encoding == ScriptEncoding::kUtf8) {
        for (size_t i = 0; text[i] != '\0';) {
            size_t n = Utf8SequenceLength(text + i);
            if (n == 1 && static_cast<unsigned char>(text[i]) >= 0xC0) {
                text[i] = '\0';
                return;
            }
            i += n;
        }
        return;
    }
    for (size_t i = 0; text[i] != '\0'; ++i) {
        if (!IsLeadByte(static_cast<unsigned char>(text[i]))) continue;
        if (text[i + 1] == '\0') {
            text[i] = '\0';
            return;
        }
        ++i;
    }
}

// The string a text or text2 line draws; false when a text2 format is refused.
bool BuildText(int32_t line, char* text) {
    const char* source = ArgText(line, 4);
    if (std::strcmp(LineCommand(line), "text2") != 0) {
        std::snprintf(text, kTextCapacity, "%s", source);
    } else {
        if (Text2FormatConversions(source) < 0) return false;
        double v[kFormatValueCount];
        for (int32_t k = 0; k < kFormatValueCount; ++k)
            v[k] = ArgValue(line, kFirstFormatValue + k);
        std::snprintf(text, kTextCapacity, source, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7],
                      v[8], v[9], v[10], v[11], v[12], v[13], v[14]);
    }
    CutAtCharacterBoundary(text);
    return true;
}

// ---- Canvas and drawing -------------------------------------------------------

// Makes the canvas match the frame's max_w x max_h; false when it cannot.
bool EnsureTextCanvas(const FrameInfo* frame) {
    TextCanvas& canvas = g_text_canvas;
    if (frame->max_w <= 0 || frame->max_h <= 0) return false;
    if (canvas.pixels != nullptr && canvas.width == frame->max_w && canvas.height == frame->max_h) {
        return true;
    }
    std::free(canvas.pixels);
    canvas = TextCanvas{};
    size_t count = size_t(frame->max_w) * size_t(frame->max_h);
    canvas.pixels =
        static_cast<platform::TextWeights*>(std::calloc(count, sizeof(platform::TextWeights)));
    if (canvas.pixels == nullptr) return false;
    canvas.width = frame->max_w;
    canvas.height = frame->max_h;
    return true;
}

void SetDefaultStyle() {
    TextStyle& style = g_text_style;
    std::memset(style.face, 0, sizeof style.face);
    std::memcpy(style.face, kDefaultFace, sizeof kDefaultFace);
    style.face_code_page = platform::TextCodePage::kShiftJis;
    style.size = kDefaultSize;
    style.fill_y = kDefaultFillY;
    style.outline_width = 0;
}

void SelectStyleFont(const TextStyle& style) {
    platform::TextFontRequest request;
    request.face = style.face;
    request.cell_height = style.size;
    request.bold = style.bold != 0;
    request.italic = style.italic != 0;
    request.underline = style.underline != 0;
    platform::SetTextCodePage(style.face_code_page);
    platform::SelectTextFont(request);
    platform::SetTextCodePage(ScriptCodePage());
}

// One channel moved toward `color` by weight w of 255: (c * (255 - w) +
// color * w) >> 8, low 16 bits. The sum is taken modulo 2^32 like the 32-bit
// products it stands for; bits 8..23, all that the result keeps, are the same
// for a logical and an arithmetic shift.
inline int16_t BlendToward(int16_t c, int32_t color, uint32_t w) {
    uint32_t sum = uint32_t(int32_t(c)) * (255u - w) + uint32_t(color) * w;
    return Low16(sum >> 8);
}

struct TextColors {
    int32_t fill[3];
    int32_t outline[3];
};

// Blends one row of the canvas's weights into the buffer and clears them.
void CompositeTextRow(PixelYC* row, platform::TextWeights* weights, int32_t left, int32_t right,
                      const TextColors& colors) {
    for (int32_t x = left; x < right; ++x) {
        uint32_t a = weights[x].fill, o = weights[x].outline;
        PixelYC& p = row[x];
        if (a != 0) {
            p.y = BlendToward(p.y, colors.fill[0], a);
            p.cb = BlendToward(p.cb, colors.fill[1], a);
            p.cr = BlendToward(p.cr, colors.fill[2], a);
        }
        if (o != 0) {
            p.y = BlendToward(p.y, colors.outline[0], o);
            p.cb = BlendToward(p.cb, colors.outline[1], o);
            p.cr = BlendToward(p.cr, colors.outline[2], o);
        }
        weights[x] = platform::TextWeights{0, 0};
    }
}

// Outside the box every weight is zero and would change nothing.
void CompositeText(PixelYC* target, const platform::TextBox& box, const TextColors& colors) {
    const TextCanvas& canvas = g_text_canvas;
    size_t width = size_t(canvas.width);
    parallel::ParallelFor(box.top, box.bottom, box.right - box.left, [&](int32_t y) {
        CompositeTextRow(target + size_t(y) * width, canvas.pixels + size_t(y) * width, box.left,
                         box.right, colors);
    });
}

}  // namespace

// font(face, size, bold, italic, underline, Y, Cb, Cr): no outline.
void cmd_font(int32_t line, FilterTable*, FrameInfo*) {
    StoreFaceAndShape(line);
    g_text_style.outline_width = 0;
    StoreFill(ArgInt(line, 5), ArgInt(line, 6), ArgInt(line, 7));
}

// font_rgb(face, size, bold, italic, underline, R, G, B): no outline.
void cmd_font_rgb(int32_t line, FilterTable*, FrameInfo*) {
    StoreFaceAndShape(line);
    g_text_style.outline_width = 0;
    PixelYC fill = ArgColorRGB(line, 5);
    StoreFill(fill.y, fill.cb, fill.cr);
}

// font2(face, size, bold, italic, underline, outline width, Y, Cb, Cr,
// outline Y, Cb, Cr).
void cmd_font2(int32_t line, FilterTable*, FrameInfo*) {
    StoreFaceAndShape(line);
    g_text_style.outline_width = ArgInt(line, 5);
    StoreFill(ArgInt(line, 6), ArgInt(line, 7), ArgInt(line, 8));
    StoreOutline(ArgInt(line, 9), ArgInt(line, 10), ArgInt(line, 11));
}

// font2_rgb: as font2 with both colours as R, G, B.
void cmd_font2_rgb(int32_t line, FilterTable*, FrameInfo*) {
    StoreFaceAndShape(line);
    g_text_style.outline_width = ArgInt(line, 5);
    PixelYC fill = ArgColorRGB(line, 6);
    PixelYC outline = ArgColorRGB(line, 9);
    StoreFill(fill.y, fill.cb, fill.cr);
    StoreOutline(outline.y, outline.cb, outline.cr);
}

// text(buffer, x, y, alignment, string) and text2(buffer, x, y, alignment,
// format, v5..v19). Alignment 0: the text ends at x, 1: centred on x, 2:
// starts at x; y is the top of the text.
void cmd_text(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* target = AcquireImageBuffer(ArgInt(line, 0));
    if (target == nullptr) return;
    int32_t alignment = ArgInt(line, 3);
    if (alignment < 0 || alignment > 2) return;
    char text[kTextCapacity];
    if (!BuildText(line, text)) return;
    if (!EnsureTextCanvas(frame)) return;

    TextStyle& style = g_text_style;
    if (style.size == 0) SetDefaultStyle();
    SelectStyleFont(style);
    platform::TextCanvasView view = {g_text_canvas.pixels, g_text_canvas.width,
                                     g_text_canvas.height};
    platform::TextBox box = platform::DrawTextWeights(text, ArgInt(line, 1), ArgInt(line, 2),
                                                      static_cast<platform::TextAlign>(alignment),
                                                      style.outline_width, view);
    if (platform::IsEmptyBox(box)) return;
    TextColors colors = {{style.fill_y, style.fill_cb, style.fill_cr},
                         {style.outline_y, style.outline_cb, style.outline_cr}};
    CompositeText(target, box, colors);
}

void ReleaseTextCanvas() {
    std::free(g_text_canvas.pixels);
    g_text_canvas = TextCanvas{};
    platform::ReleaseTextEngine();
}
