// The text engine on Windows: GDI draws the string on a 32-bit bitmap in two
// passes, and the canvas weights are read back from its colour bytes.
//
// The drawing objects are a memory device context, a top-down DIB section of
// the canvas's size selected into it, and the current font; the context's own
// bitmap and font are held while ours are selected and put back at release.
// A drawing clears the bitmap and then
//   1. with an outline: draws the string as a path, strokes it with a round
//      solid pen of the outline width and fills it with the context's white
//      brush (even-odd rule), which makes every pixel of the outline shape
//      white; paths are not anti-aliased;
//   2. draws the string once more with the anti-aliased font in pure blue.
// Where letters cover, blue rises toward 255 and green and red fall toward 0,
// so the blue byte is the fill weight (255 inside the outline shape, the
// letter's coverage elsewhere) and the green byte the outline weight (255
// minus the coverage inside the shape, 0 elsewhere).
//
// Text and face names are passed to GDI as they stand, in the system's ANSI
// code page, which is Shift-JIS on the editor's Japanese Windows (scripts are
// always read as Shift-JIS there, so SetTextCodePage, shared with the FreeType
// engine in text_codepage.cpp, never asks for UTF-8). A caption
// drawn again as it was is copied from the drawing cache shared with the
// FreeType engine (text_drawing_cache.h), and the alignment and box
// arithmetic is theirs too (text_layout.h).
#include "platform/text_engine.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstring>

#include "platform/text_drawing_cache.h"
#include "platform/text_layout.h"

namespace platform {

namespace {

// Blue and green of a 32-bit DIB pixel, stored blue, green, red, unused.
constexpr int kBlueByte = 0;
constexpr int kGreenByte = 1;
constexpr int kBytesPerPixel = 4;

// Text alignment by TextAlign: the text ends at x, is centred on x, starts at
// x; always with its top at y.
const UINT kTextAlignFlags[3] = {TA_RIGHT | TA_TOP, TA_CENTER | TA_TOP, TA_LEFT | TA_TOP};

// Whole string, no '&' prefixes, no clipping and no word wrap.
constexpr UINT kDrawFlags = DT_NOPREFIX | DT_NOCLIP;

// GDI keeps coordinates in 27 bits and wraps larger ones around; an anchor
// this far out cannot bring any letter onto a canvas.
constexpr int64_t kMaxAnchor = int64_t(1) << 26;
// Room around the measured text for italic overhang and anti-aliased edges.
constexpr int64_t kTextMargin = 4;
// A round pen costs time in proportion to its width; no canvas needs more.
constexpr int64_t kMaxPenWidth = int64_t(1) << 16;
// Face names longer than this are not kept for the drawing cache's font key.
constexpr size_t kFaceKeyCapacity = 512;

struct GdiText {
    HDC context;
    HBITMAP bitmap;      // ours, selected into the context
    HGDIOBJ old_bitmap;  // the context's own, held while ours is selected
    uint8_t* bits;       // the bitmap's pixels, top row first
    int32_t width;
    int32_t height;
    HGDIOBJ old_font;  // the context's own font, held while one of ours is selected
    // The request of the current font and its number for the drawing cache
    // (0: none to key drawings by); a new number for every different request.
    TextFontRequest request;
    char face[kFaceKeyCapacity];
    uint64_t font_id;
    uint64_t last_font_id;
};

GdiText g_gdi;

bool EnsureContext() {
    if (g_gdi.context == nullptr) g_gdi.context = CreateCompatibleDC(nullptr);
    return g_gdi.context != nullptr;
}

// Puts the context's own font back and deletes ours.
void ReleaseFont() {
    if (g_gdi.old_font == nullptr) return;
    HGDIOBJ ours = SelectObject(g_gdi.context, g_gdi.old_font);
    if (ours != nullptr) DeleteObject(ours);
    g_gdi.old_font = nullptr;
}

void ReleaseBitmap() {
    if (g_gdi.old_bitmap != nullptr) {
        HGDIOBJ ours = SelectObject(g_gdi.context, g_gdi.old_bitmap);
        if (ours != nullptr) DeleteObject(ours);
    } else if (g_gdi.bitmap != nullptr) {
        DeleteObject(g_gdi.bitmap);
    }
    g_gdi.bitmap = nullptr;
    g_gdi.old_bitmap = nullptr;
    g_gdi.bits = nullptr;
    g_gdi.width = 0;
    g_gdi.height = 0;
}

// A bitmap of exactly the canvas's size, so that bitmap pixel (x, y) lies over
// canvas pixel (x, y); made again when the canvas's size changes.
bool EnsureBitmap(int32_t width, int32_t height) {
    if (g_gdi.bitmap != nullptr && g_gdi.width == width && g_gdi.height == height) return true;
    ReleaseBitmap();
    BITMAPINFO info;
    std::memset(&info, 0, sizeof info);
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // negative: top-down, row 0 first
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(g_gdi.context, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap == nullptr || bits == nullptr) {
        if (bitmap != nullptr) DeleteObject(bitmap);
        return false;
    }
    HGDIOBJ old = SelectObject(g_gdi.context, bitmap);
    if (old == nullptr || old == HGDI_ERROR) {
        DeleteObject(bitmap);
        return false;
    }
    g_gdi.bitmap = bitmap;
    g_gdi.old_bitmap = old;
    g_gdi.bits = static_cast<uint8_t*>(bits);
    g_gdi.width = width;
    g_gdi.height = height;
    return true;
}

// Draws the string at (x, y) with the context's current settings.
void DrawString(const char* text, int32_t x, int32_t y) {
    RECT rect = {x, y, x, y};
    DrawTextA(g_gdi.context, text, -1, &rect, kDrawFlags);
}

void DrawOutlineShape(const char* text, int32_t x, int32_t y) {
    SetTextColor(g_gdi.context, RGB(0, 255, 0));
    if (!BeginPath(g_gdi.context)) return;
    DrawString(text, x, y);
    if (EndPath(g_gdi.context)) {
        StrokeAndFillPath(g_gdi.context);
    } else {
        AbortPath(g_gdi.context);
    }
}

// The rectangle the string covers when anchored at (x, y) with `alignment`,
// widened by kTextMargin; false when GDI cannot measure it.
bool MeasureBox(const char* text, int64_t x, int64_t y, int32_t alignment, int64_t box[4]) {
    RECT rect = {0, 0, 0, 0};
    if (DrawTextA(g_gdi.context, text, -1, &rect, kDrawFlags | DT_CALCRECT) == 0) return false;
    int64_t width = int64_t(rect.right) - rect.left;
    int64_t left = AlignedStart(x, width, static_cast<TextAlign>(alignment));
    int64_t italic = 0;
    TEXTMETRICA metrics;
    if (GetTextMetricsA(g_gdi.context, &metrics)) italic = metrics.tmHeight;
    box[0] = left - kTextMargin - italic;
    box[1] = y - kTextMargin;
    box[2] = left + width + kTextMargin + italic;
    box[3] = y + (int64_t(rect.bottom) - rect.top) + kTextMargin;
    return true;
}

// The pen width that draws on the canvas exactly what `outline_width` draws,
// or 0 when neither the outline nor the letters can reach the canvas. A round
// pen covers the points within half its width of the letter outlines, so
// once half the width spans the text and the canvas together, a wider pen
// covers nothing more of the canvas.
int64_t EffectivePenWidth(const int64_t text[4], int64_t outline_width, int32_t width,
                          int32_t height) {
    int64_t gap_x = text[0] > width ? text[0] - width : text[2] < 0 ? -text[2] : 0;
    int64_t gap_y = text[1] > height ? text[1] - height : text[3] < 0 ? -text[3] : 0;
    int64_t reach = outline_width > 0 ? outline_width / 2 + 1 : 0;
    if (gap_x > reach || gap_y > reach) return 0;
    int64_t span_x = (text[2] > width ? text[2] : width) - (text[0] < 0 ? text[0] : 0);
    int64_t span_y = (text[3] > height ? text[3] : height) - (text[1] < 0 ? text[1] : 0);
    int64_t enough = 2 * (span_x + span_y) + 2;
    int64_t pen = outline_width < enough ? outline_width : enough;
    return pen < kMaxPenWidth ? pen : kMaxPenWidth;
}

// Reads the two weights of every pixel back into the canvas; returns the box
// of the pixels that carry any.
TextBox ReadWeights(const TextCanvasView& canvas) {
    TextBox box = {0, 0, 0, 0};
    for (int32_t y = 0; y < canvas.height; ++y) {
        const uint8_t* source = g_gdi.bits + size_t(y) * size_t(canvas.width) * kBytesPerPixel;
        TextWeights* row = canvas.pixels + size_t(y) * size_t(canvas.width);
        int32_t first = canvas.width, last = -1;
        for (int32_t x = 0; x < canvas.width; ++x) {
            uint8_t fill = source[size_t(x) * kBytesPerPixel + kBlueByte];
            uint8_t outline = source[size_t(x) * kBytesPerPixel + kGreenByte];
            if (fill == 0 && outline == 0) continue;
            row[x] = TextWeights{fill, outline};
            if (x < first) first = x;
            last = x;
        }
        AddToBox(&box, TextBox{first, y, last + 1, y + 1});
    }
    return box;
}

// Numbers the font of `request` for the drawing cache: the same number as
// the current font's when the request is the same.
uint64_t FontId(const TextFontRequest& request) {
    const char* face = request.face != nullptr ? request.face : "";
    size_t length = std::strlen(face);
    if (length >= kFaceKeyCapacity) return 0;
    bool same = g_gdi.font_id != 0 && std::strcmp(g_gdi.face, face) == 0 &&
                g_gdi.request.cell_height == request.cell_height &&
                g_gdi.request.bold == request.bold && g_gdi.request.italic == request.italic &&
                g_gdi.request.underline == request.underline;
    if (same) return g_gdi.font_id;
    std::memcpy(g_gdi.face, face, length + 1);
    g_gdi.request = request;
    return ++g_gdi.last_font_id;
}

}  // namespace

bool SelectTextFont(const TextFontRequest& request) {
    uint64_t id = FontId(request);
    g_gdi.font_id = 0;
    if (!EnsureContext()) return false;
    ReleaseFont();
    HFONT font = CreateFontA(request.cell_height, 0, 0, 0, request.bold ? FW_BOLD : FW_NORMAL,
                             request.italic, request.underline, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, request.face);
    if (font == nullptr) return false;
    HGDIOBJ old = SelectObject(g_gdi.context, font);
    if (old == nullptr || old == HGDI_ERROR) {
        DeleteObject(font);
        return false;
    }
    g_gdi.old_font = old;
    g_gdi.font_id = id;
    return true;
}

TextBox DrawTextWeights(const char* text, int32_t x, int32_t y, TextAlign align,
                        int32_t outline_width, const TextCanvasView& canvas) {
    const TextBox nothing = {0, 0, 0, 0};
    int32_t alignment = static_cast<int32_t>(align);
    if (alignment < 0 || alignment > 2 || canvas.width <= 0 || canvas.height <= 0) return nothing;
    if (text[0] == '\0' || !EnsureContext()) return nothing;
    if (x < -kMaxAnchor || x > kMaxAnchor || y < -kMaxAnchor || y > kMaxAnchor) return nothing;
    DrawingKey key;
    bool keyed = g_gdi.font_id != 0 && canvas.pixels != nullptr &&
                 MakeDrawingKey(g_gdi.font_id, text, x, y, align, outline_width, canvas, &key);
    TextBox box;
    if (keyed && FindDrawing(key, canvas, &box)) return box;
    if (!EnsureBitmap(canvas.width, canvas.height)) return nothing;
    HDC dc = g_gdi.context;
    SetMapMode(dc, MM_TEXT);
    SetTextAlign(dc, kTextAlignFlags[alignment]);
    SetBkColor(dc, RGB(0, 0, 0));
    SetBkMode(dc, TRANSPARENT);
    int64_t text_box[4];
    if (!MeasureBox(text, x, y, alignment, text_box)) return nothing;
    int64_t pen_width = EffectivePenWidth(text_box, outline_width > 0 ? outline_width : 0,
                                          canvas.width, canvas.height);
    if (pen_width == 0 && outline_width > 0) return nothing;

    HPEN thin = CreatePen(PS_SOLID, 1, RGB(255, 255, 255));
    HPEN wide = pen_width > 0 ? CreatePen(PS_SOLID, int(pen_width), RGB(255, 255, 255)) : nullptr;
    std::memset(g_gdi.bits, 0, size_t(canvas.width) * size_t(canvas.height) * kBytesPerPixel);

    HGDIOBJ old_pen = nullptr;
    if (wide != nullptr) {
        old_pen = SelectObject(dc, wide);
        DrawOutlineShape(text, x, y);
    }
    if (thin != nullptr) {
        HGDIOBJ previous = SelectObject(dc, thin);
        if (old_pen == nullptr) old_pen = previous;
    }
    SetTextColor(dc, RGB(0, 0, 255));
    DrawString(text, x, y);
    if (old_pen != nullptr) SelectObject(dc, old_pen);
    if (thin != nullptr) DeleteObject(thin);
    if (wide != nullptr) DeleteObject(wide);
    GdiFlush();

    box = ReadWeights(canvas);
    if (keyed) StoreDrawing(key, canvas, box);
    return box;
}

int64_t MeasureText(const char* text) {
    if (g_gdi.context == nullptr || g_gdi.old_font == nullptr) return 0;
    SIZE size;
    if (!GetTextExtentPoint32A(g_gdi.context, text, int(std::strlen(text)), &size)) return 0;
    return size.cx;
}

const char* CurrentTextFontFile() {
    // GDI names faces, not files: the face of the selected font stands for it.
    static char face[LF_FACESIZE];
    face[0] = '\0';
    if (g_gdi.context != nullptr && g_gdi.old_font != nullptr) {
        GetTextFaceA(g_gdi.context, sizeof face, face);
    }
    return face;
}

void ReleaseTextEngine() {
    ClearDrawings();
    if (g_gdi.context == nullptr) return;
    ReleaseFont();
    ReleaseBitmap();
    DeleteDC(g_gdi.context);
    g_gdi = GdiText{};
}

}  // namespace platform
