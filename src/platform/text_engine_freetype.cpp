// The text engine on FreeType. The jobs are spread over small pieces:
//   text_codepage      Shift-JIS into code points,
//   text_faces         fontconfig finds the face, FreeType opens it,
//   text_layout        alignment, advances and the pixels a shape may touch,
//   text_outline       outlines flattened into edges,
//   text_scanline      the outline shape filled at pixel centres,
//   text_weights       coverage and outline shape composited into the weights,
//   text_drawing_cache finished drawings kept for the next frame.
// This file scales the face, loads each glyph once into a cache, has
// FreeType's anti-aliasing rasteriser give the letters' coverage and its
// stroker the outline's ring, and draws shape after shape. The outline shape
// (letter outlines with the even-odd rule, plus the stroke) is sampled by our
// own filler, since FreeType's bi-level rasteriser ignores the even-odd rule.
#include "platform/text_engine.h"

#include <ft2build.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_STROKER_H
#include FT_TRUETYPE_TABLES_H

#include "platform/text_codepage.h"
#include "platform/text_drawing_cache.h"
#include "platform/text_faces_freetype.h"
#include "platform/text_layout.h"
#include "platform/text_outline_freetype.h"
#include "platform/text_scanline.h"
#include "platform/text_weights.h"

namespace platform {
namespace {

// Limits that keep every coordinate handed to FreeType small: larger cells or
// outlines than these would not fit on any frame anyway.
constexpr int32_t kMaxCellHeight = 8192;
constexpr int32_t kMaxOutlineWidth = 8192;
// Characters of one string (the strings are at most 511 bytes).
constexpr int32_t kMaxCharacters = 512;
constexpr size_t kFaceNameCapacity = 512;
// FreeType reports span starts as 16-bit values: wider areas go in strips.
constexpr int32_t kSpanStripWidth = 32767;
// The slant of synthesised italics (about 12 degrees), 16.16.
constexpr FT_Fixed kObliqueShear = 0x0366A;
constexpr FT_Int32 kLoadFlags = FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP;
// Glyphs kept loaded: slots chosen by font and glyph, and the bytes of their
// outlines at most (the cache starts again from empty when they would pass).
constexpr int32_t kGlyphSlots = 1024;
constexpr size_t kGlyphCacheBytes = size_t(4) << 20;
// Strings kept laid out, with their glyphs and advances.
constexpr int32_t kLayoutSlots = 8;

// The current font: a cached face set to the requested cell height.
struct CurrentFont {
    FT_Face face;
    const char* file;
    uint64_t glyph_key;  // face, cell height and synthesised style: what decides a glyph
    uint64_t id;         // glyph_key and underline: what decides a drawing
    int32_t ascent;      // pixels from the top of the cell to the baseline
    FT_Pos embolden;     // 26.6 strength of synthesised bold; 0: none
    bool oblique;        // synthesised italic
    bool underline;
    FT_Pos underline_top;    // 26.6 below the baseline
    FT_Pos underline_depth;  // 26.6 thickness, whole pixels
};

// A glyph as loaded once for a font: its outline with synthesised bold and
// italic applied, and its whole-pixel advance.
struct CachedGlyph {
    bool used;
    bool drawable;  // false: the font has no outline for it
    uint64_t font;  // CurrentFont::glyph_key
    FT_UInt index;
    int64_t advance;
    FT_Outline outline;  // points, tags and contours in one block
    size_t bytes;
};

// A string laid out for a font: its glyphs (0: skipped) and advances.
struct CachedLayout {
    bool used;
    uint64_t last_use;
    uint64_t font;
    TextCodePage code_page;  // of `text`
    char text[kDrawingTextCapacity];
    int32_t count;
    int64_t total;
    FT_UInt glyphs[kMaxCharacters];
    int64_t advances[kMaxCharacters];
};

struct Engine {
    bool started;
    FT_Library library;
    FT_Stroker stroker;
    CurrentFont font;
    CachedGlyph glyphs[kGlyphSlots];
    size_t glyph_bytes;
    CachedLayout layouts[kLayoutSlots];
    uint64_t layout_clock;
    CachedLayout scratch_layout;  // for strings too long to be kept
    uint32_t characters[kMaxCharacters];
    // A glyph's outline moved to its place on the canvas.
    ScratchArray<FT_Vector> points;
    ScratchArray<char> tags;
    ScratchArray<short> contours;
    ScratchArray<Edge> edges;
    ScratchArray<Crossing> crossings;
};

Engine g_engine;

// ---- Engine start and fonts --------------------------------------------------

bool StartEngine() {
    Engine& e = g_engine;
    if (e.started) return true;
    if (FT_Init_FreeType(&e.library) != 0) return false;
    if (FT_Stroker_New(e.library, &e.stroker) != 0) {
        FT_Done_FreeType(e.library);
        return false;
    }
    OpenCodePages();
    StartFaceLookup();
    e.started = true;
    return true;
}

// Design units from the top of the cell to the baseline and from the baseline
// to the bottom: the Windows metrics of the OS/2 table where they exist.
void CellUnits(FT_Face face, FT_Long* ascent, FT_Long* descent) {
    const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 != nullptr && os2->version != 0xFFFF && os2->usWinAscent + os2->usWinDescent > 0) {
        *ascent = os2->usWinAscent;
        *descent = os2->usWinDescent;
    } else {
        *ascent = face->ascender;
        *descent = -face->descender;
    }
    if (*ascent + *descent <= 0) {
        *ascent = face->units_per_EM;
        *descent = 0;
    }
}

// Scales the face so that its cell is `cell_height` pixels high.
bool SetCellHeight(FT_Face face, int32_t cell_height, CurrentFont* font) {
    FT_Long ascent = 0, descent = 0;
    CellUnits(face, &ascent, &descent);
    FT_Fixed scale = FT_DivFix(FT_Long(cell_height) * 64, ascent + descent);
    FT_Size_RequestRec request = {FT_SIZE_REQUEST_TYPE_SCALES, scale, scale, 0, 0};
    if (FT_Request_Size(face, &request) != 0) return false;
    FT_Fixed y_scale = face->size->metrics.y_scale;
    font->ascent = int32_t((FT_MulFix(ascent, y_scale) + 32) >> 6);
    FT_Pos depth = std::max<FT_Pos>(64, (FT_MulFix(face->underline_thickness, y_scale) + 32) & ~63);
    // FreeType gives the centre of the underline stroke, in design units upward.
    FT_Pos centre = -FT_MulFix(face->underline_position, y_scale);
    font->underline_top = ((centre - depth / 2) + 32) & ~63;
    font->underline_depth = depth;
    font->embolden = FT_MulFix(face->units_per_EM, y_scale) / 24;
    return true;
}

// ---- Glyphs and layout -----------------------------------------------------------

void ForgetGlyph(CachedGlyph* glyph) {
    std::free(glyph->outline.points);
    g_engine.glyph_bytes -= glyph->bytes;
    *glyph = CachedGlyph{};
}

void ClearGlyphs() {
    for (CachedGlyph& glyph : g_engine.glyphs) {
        if (glyph.used) ForgetGlyph(&glyph);
    }
    g_engine.glyph_bytes = 0;
}

// Keeps a copy of a loaded outline (the glyph slot's is replaced by the next
// load); false when memory runs out.
bool KeepOutline(const FT_Outline& source, CachedGlyph* glyph) {
    size_t points = size_t(std::max<int>(0, source.n_points));
    size_t contours = size_t(std::max<int>(0, source.n_contours));
    size_t bytes = points * sizeof(FT_Vector) + contours * sizeof(short) + points;
    if (g_engine.glyph_bytes + bytes > kGlyphCacheBytes) ClearGlyphs();
    char* block = static_cast<char*>(std::malloc(bytes > 0 ? bytes : 1));
    if (block == nullptr) return false;
    FT_Outline& kept = glyph->outline;
    kept = source;
    kept.points = reinterpret_cast<FT_Vector*>(block);
    kept.contours = reinterpret_cast<short*>(block + points * sizeof(FT_Vector));
    kept.tags = block + points * sizeof(FT_Vector) + contours * sizeof(short);
    if (points > 0) {
        std::memcpy(kept.points, source.points, points * sizeof(FT_Vector));
        std::memcpy(kept.tags, source.tags, points);
    }
    if (contours > 0) std::memcpy(kept.contours, source.contours, contours * sizeof(short));
    glyph->bytes = bytes;
    g_engine.glyph_bytes += bytes;
    return true;
}

// Loads glyph `index` of the current font as an outline, with synthesised
// bold and italic, into the empty slot `glyph`.
void LoadGlyph(FT_UInt index, CachedGlyph* glyph) {
    const CurrentFont& font = g_engine.font;
    bool drawable = false;
    int64_t advance = 0;
    if (FT_Load_Glyph(font.face, index, kLoadFlags) == 0 &&
        font.face->glyph->format == FT_GLYPH_FORMAT_OUTLINE) {
        FT_GlyphSlot slot = font.face->glyph;
        if (font.embolden != 0) {
            FT_Outline_EmboldenXY(&slot->outline, font.embolden, font.embolden);
        }
        if (font.oblique) {
            FT_Matrix shear = {0x10000, kObliqueShear, 0, 0x10000};
            FT_Outline_Transform(&slot->outline, &shear);
        }
        // Keeping it may empty the cache, which leaves this slot alone.
        drawable = KeepOutline(slot->outline, glyph);
        advance = WholePixelAdvance(slot->advance.x + font.embolden);
    }
    glyph->used = true;
    glyph->drawable = drawable;
    glyph->font = font.glyph_key;
    glyph->index = index;
    glyph->advance = drawable ? advance : 0;
}

// Glyph `index` of the current font, loaded on its first use.
const CachedGlyph& FindGlyph(FT_UInt index) {
    Engine& e = g_engine;
    uint64_t key = e.font.glyph_key;
    uint64_t hash = (key * 0x9E3779B97F4A7C15ull) ^ (uint64_t(index) * 0xC2B2AE3D27D4EB4Full);
    CachedGlyph& slot = e.glyphs[(hash >> 32) % kGlyphSlots];
    if (slot.used && slot.font == key && slot.index == index) return slot;
    if (slot.used) ForgetGlyph(&slot);
    LoadGlyph(index, &slot);
    return slot;
}

// Decodes the text and finds each character's glyph and whole-pixel advance
// (glyph 0 for characters the font lacks, which are skipped).
void LayOut(const char* text, CachedLayout* layout) {
    Engine& e = g_engine;
    int32_t count = DecodeText(text, e.characters, kMaxCharacters);
    layout->count = count;
    layout->total = 0;
    for (int32_t i = 0; i < count; ++i) {
        FT_UInt index = FT_Get_Char_Index(e.font.face, e.characters[i]);
        layout->glyphs[i] = 0;
        layout->advances[i] = 0;
        if (index == 0) continue;
        const CachedGlyph& glyph = FindGlyph(index);
        if (!glyph.drawable) continue;
        layout->glyphs[i] = index;
        layout->advances[i] = glyph.advance;
        layout->total += glyph.advance;
    }
}

// The layout of `text` with the current font, through the cache.
const CachedLayout& FindLayout(const char* text) {
    Engine& e = g_engine;
    size_t length = std::strlen(text);
    if (length >= kDrawingTextCapacity) {
        LayOut(text, &e.scratch_layout);
        return e.scratch_layout;
    }
    CachedLayout* oldest = &e.layouts[0];
    for (CachedLayout& layout : e.layouts) {
        if (layout.used && layout.font == e.font.glyph_key &&
            layout.code_page == CurrentTextCodePage() &&
            std::memcmp(layout.text, text, length + 1) == 0) {
            layout.last_use = ++e.layout_clock;
            return layout;
        }
        if (!layout.used || (oldest->used && layout.last_use < oldest->last_use)) oldest = &layout;
    }
    oldest->used = true;
    oldest->last_use = ++e.layout_clock;
    oldest->font = e.font.glyph_key;
    oldest->code_page = CurrentTextCodePage();
    std::memcpy(oldest->text, text, length + 1);
    LayOut(text, oldest);
    return *oldest;
}

// ---- Drawing -------------------------------------------------------------------

struct CoverageTarget {
    const TextCanvasView* canvas;
    int32_t x_offset;
};

void BlendCoverageSpans(int y, int count, const FT_Span* spans, void* user) {
    const CoverageTarget& target = *static_cast<const CoverageTarget*>(user);
    const TextCanvasView& canvas = *target.canvas;
    int32_t row = canvas.height - 1 - y;
    if (row < 0 || row >= canvas.height) return;
    TextWeights* line = canvas.pixels + size_t(row) * size_t(canvas.width);
    for (int i = 0; i < count; ++i) {
        int32_t x0 = std::max(0, target.x_offset + spans[i].x);
        int32_t x1 = std::min(canvas.width, target.x_offset + spans[i].x + spans[i].len);
        BlendCoverage(line, x0, x1, spans[i].coverage);
    }
}

// Anti-aliased coverage of an outline in canvas space (FreeType's frame:
// x right, y = canvas height - canvas y), limited to `area`.
void RenderCoverage(FT_Outline* outline, const TextBox& area, const TextCanvasView& canvas) {
    CoverageTarget target = {&canvas, 0};
    FT_Raster_Params params = {};
    params.source = outline;
    params.flags = FT_RASTER_FLAG_AA | FT_RASTER_FLAG_DIRECT | FT_RASTER_FLAG_CLIP;
    params.gray_spans = BlendCoverageSpans;
    params.user = &target;
    for (int32_t strip = area.left; strip < area.right; strip += kSpanStripWidth) {
        int32_t strip_right = std::min(area.right, strip + kSpanStripWidth);
        FT_Outline_Translate(outline, -FT_Pos(strip) * 64, 0);
        target.x_offset = strip;
        params.clip_box = {0, canvas.height - area.bottom, strip_right - strip,
                           canvas.height - area.top};
        FT_Outline_Render(g_engine.library, outline, &params);
        FT_Outline_Translate(outline, FT_Pos(strip) * 64, 0);
    }
}

void MarkShape(FT_Outline* outline, bool even_odd, const TextBox& area,
               const TextCanvasView& canvas) {
    Engine& e = g_engine;
    if (FlattenOutline(outline, canvas.height, &e.edges)) {
        MarkCentresInside(e.edges.items, e.edges.count, even_odd, area, canvas, &e.crossings);
    }
}

// The outline shape of one glyph: its outline filled by the even-odd rule,
// joined with a stroke of `width` pixels centred on it.
void MarkOutlineShape(FT_Outline* outline, int32_t width, const TextBox& area,
                      const TextCanvasView& canvas) {
    MarkShape(outline, true, area, canvas);

    Engine& e = g_engine;
    FT_Stroker_Set(e.stroker, FT_Fixed(width) * 32, FT_STROKER_LINECAP_ROUND,
                   FT_STROKER_LINEJOIN_ROUND, 0);
    if (FT_Stroker_ParseOutline(e.stroker, outline, 0) != 0) return;
    FT_UInt points = 0, contours = 0;
    if (FT_Stroker_GetCounts(e.stroker, &points, &contours) != 0 || points == 0) return;
    FT_Outline stroke;
    if (FT_Outline_New(e.library, points, FT_Int(contours), &stroke) != 0) return;
    stroke.n_points = 0;
    stroke.n_contours = 0;
    FT_Stroker_Export(e.stroker, &stroke);
    MarkShape(&stroke, false, area, canvas);
    FT_Outline_Done(e.library, &stroke);
}

// Draws one shape (a glyph or the underline) given in 26.6 units relative to
// its origin (x right, y up from the baseline), whose origin lies at canvas
// pixel (origin_x, baseline). Shapes wholly outside the canvas are skipped
// before any large coordinate reaches FreeType. Moves the outline.
void DrawShape(FT_Outline* outline, int64_t origin_x, int64_t baseline, int32_t outline_width,
               const TextCanvasView& canvas, TextBox* box) {
    if (outline->n_points == 0) return;
    FT_BBox cbox;
    FT_Outline_Get_CBox(outline, &cbox);
    TextBox area = ShapeArea(ShapeBounds{cbox.xMin, cbox.yMin, cbox.xMax, cbox.yMax}, origin_x,
                             baseline, outline_width, canvas.width, canvas.height);
    if (IsEmptyBox(area)) return;
    // The shape touches the canvas, so both offsets are within a few cells of it.
    FT_Outline_Translate(outline, FT_Pos(origin_x * 64), FT_Pos((canvas.height - baseline) * 64));
    RenderCoverage(outline, area, canvas);
    if (outline_width > 0) MarkOutlineShape(outline, outline_width, area, canvas);
    AddToBox(box, area);
}

// Draws a cached glyph through a copy of its outline, which DrawShape moves.
void DrawGlyph(const CachedGlyph& glyph, int64_t origin_x, int64_t baseline, int32_t outline_width,
               const TextCanvasView& canvas, TextBox* box) {
    Engine& e = g_engine;
    const FT_Outline& kept = glyph.outline;
    size_t points = size_t(std::max<int>(0, kept.n_points));
    size_t contours = size_t(std::max<int>(0, kept.n_contours));
    if (!e.points.Reserve(points) || !e.tags.Reserve(points) || !e.contours.Reserve(contours)) {
        return;
    }
    FT_Outline outline = kept;
    outline.points = e.points.items;
    outline.tags = e.tags.items;
    outline.contours = e.contours.items;
    if (points > 0) {
        std::memcpy(outline.points, kept.points, points * sizeof(FT_Vector));
        std::memcpy(outline.tags, kept.tags, points);
    }
    if (contours > 0) std::memcpy(outline.contours, kept.contours, contours * sizeof(short));
    DrawShape(&outline, origin_x, baseline, outline_width, canvas, box);
}

// The underline from `left` to `right` (canvas pixels), cut to the canvas
// with room for the stroke's round ends.
void DrawUnderline(int64_t left, int64_t right, int64_t baseline, int32_t outline_width,
                   const TextCanvasView& canvas, TextBox* box) {
    const CurrentFont& font = g_engine.font;
    int64_t reach = 2 + (outline_width > 0 ? outline_width : 0);
    left = std::max<int64_t>(left, -reach);
    right = std::min<int64_t>(right, int64_t(canvas.width) + reach);
    if (left >= right) return;
    FT_Pos length = FT_Pos(right - left) * 64;
    FT_Pos top = -font.underline_top, bottom = -font.underline_top - font.underline_depth;
    FT_Vector points[4] = {{0, top}, {length, top}, {length, bottom}, {0, bottom}};
    char tags[4] = {FT_CURVE_TAG_ON, FT_CURVE_TAG_ON, FT_CURVE_TAG_ON, FT_CURVE_TAG_ON};
    short ends[1] = {3};
    FT_Outline outline = {};
    outline.n_contours = 1;
    outline.n_points = 4;
    outline.points = points;
    outline.tags = tags;
    outline.contours = ends;
    DrawShape(&outline, left, baseline, outline_width, canvas, box);
}

// Draws the string shape by shape, then turns the outline shape's marks into
// the two weights.
TextBox DrawString(const char* text, int32_t x, int32_t y, TextAlign align, int32_t width,
                   const TextCanvasView& canvas) {
    const CurrentFont& font = g_engine.font;
    TextBox box = {0, 0, 0, 0};
    const CachedLayout& layout = FindLayout(text);
    int64_t start = AlignedStart(x, layout.total, align);
    int64_t baseline = int64_t(y) + font.ascent;
    int64_t pen = start;
    for (int32_t i = 0; i < layout.count; ++i) {
        if (layout.glyphs[i] == 0) continue;
        const CachedGlyph& glyph = FindGlyph(layout.glyphs[i]);
        if (glyph.drawable) DrawGlyph(glyph, pen, baseline, width, canvas, &box);
        pen += layout.advances[i];
    }
    if (font.underline && layout.total > 0) {
        DrawUnderline(start, start + layout.total, baseline, width, canvas, &box);
    }
    if (width > 0 && !IsEmptyBox(box)) ResolveOutlineWeights(box, canvas);
    return box;
}

}  // namespace

bool SelectTextFont(const TextFontRequest& request) {
    Engine& e = g_engine;
    e.font = CurrentFont{};
    if (!StartEngine() || !OpenCodePages()) return false;
    char name[kFaceNameCapacity];
    std::strncpy(name, request.face != nullptr ? request.face : "", sizeof name - 1);
    name[sizeof name - 1] = '\0';
    FoundFace found = FindFace(e.library, name, request.bold, request.italic);
    if (found.face == nullptr && name[0] != '\0') {
        found = FindFace(e.library, "", request.bold, request.italic);
    }
    if (found.face == nullptr) return false;
    int32_t cell_height = std::min(std::max(request.cell_height, 1), kMaxCellHeight);
    CurrentFont font = {};
    if (!SetCellHeight(found.face, cell_height, &font)) return false;
    font.face = found.face;
    font.file = found.file;
    if (!request.bold || (font.face->style_flags & FT_STYLE_FLAG_BOLD) != 0) font.embolden = 0;
    font.oblique = request.italic && (font.face->style_flags & FT_STYLE_FLAG_ITALIC) == 0;
    font.underline = request.underline;
    // Serials stay well below 2^40; cell heights fit in 14 bits.
    font.glyph_key = found.serial << 16 | uint64_t(cell_height) << 2 |
                     uint64_t(font.embolden != 0) << 1 | uint64_t(font.oblique);
    font.id = font.glyph_key << 1 | uint64_t(font.underline);
    e.font = font;
    return true;
}

TextBox DrawTextWeights(const char* text, int32_t x, int32_t y, TextAlign align,
                        int32_t outline_width, const TextCanvasView& canvas) {
    Engine& e = g_engine;
    TextBox box = {0, 0, 0, 0};
    if (e.font.face == nullptr || canvas.pixels == nullptr || canvas.width <= 0 ||
        canvas.height <= 0) {
        return box;
    }
    int32_t width = outline_width > 0 ? std::min(outline_width, kMaxOutlineWidth) : 0;
    DrawingKey key;
    bool keyed = MakeDrawingKey(e.font.id, text, x, y, align, width, canvas, &key);
    if (keyed && FindDrawing(key, canvas, &box)) return box;
    box = DrawString(text, x, y, align, width, canvas);
    if (keyed) StoreDrawing(key, canvas, box);
    return box;
}

int64_t MeasureText(const char* text) {
    if (g_engine.font.face == nullptr) return 0;
    return FindLayout(text).total;
}

const char* CurrentTextFontFile() {
    return g_engine.font.face != nullptr ? g_engine.font.file : "";
}

void ReleaseTextEngine() {
    Engine& e = g_engine;
    ClearDrawings();
    if (!e.started) return;
    ClearGlyphs();
    StopFaceLookup();
    CloseCodePages();
    FT_Stroker_Done(e.stroker);
    FT_Done_FreeType(e.library);
    e.points.Free();
    e.tags.Free();
    e.contours.Free();
    e.edges.Free();
    e.crossings.Free();
    // Plain data throughout, and too large for a temporary on the stack.
    std::memset(&e, 0, sizeof e);
}

}  // namespace platform
