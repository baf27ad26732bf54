// The text engine on FreeType: fontconfig finds a face by name, iconv turns
// Shift-JIS (code page 932) into Unicode, FreeType scales and rasterises the
// glyphs. The letters' coverage comes from FreeType's anti-aliasing
// rasteriser; the outline shape (letter outlines with the even-odd rule, plus
// the stroke from FreeType's stroker) is sampled at pixel centres by a small
// scanline filler of our own, since FreeType's bi-level rasteriser ignores the
// even-odd rule.
#include "platform/text_engine.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include <iconv.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_STROKER_H
#include FT_TRUETYPE_TABLES_H

#include "common/parallel.h"

namespace platform {
namespace {

// Limits that keep every coordinate handed to FreeType small: larger cells or
// outlines than these would not fit on any frame anyway.
constexpr int32_t kMaxCellHeight = 8192;
constexpr int32_t kMaxOutlineWidth = 8192;
// Characters of one string (the strings are at most 511 bytes).
constexpr int32_t kMaxCharacters = 512;
constexpr size_t kFaceNameCapacity = 512;
constexpr size_t kFontFileCapacity = 4096;
// Faces kept open, keyed by name, weight and slant; replaced oldest first.
constexpr int32_t kFaceCacheSize = 8;
// FreeType reports span starts as 16-bit values: wider areas go in strips.
constexpr int32_t kSpanStripWidth = 32767;
// Greatest distance in pixels between a curve and the lines that replace it
// when the outline shape is filled.
constexpr double kFlatness = 0.05;
constexpr int32_t kMaxCurveSegments = 256;
// The slant of synthesised italics (about 12 degrees), 16.16.
constexpr FT_Fixed kObliqueShear = 0x0366A;
constexpr FT_Int32 kLoadFlags = FT_LOAD_NO_HINTING | FT_LOAD_NO_BITMAP;

struct CachedFace {
    bool used;
    char name[kFaceNameCapacity];  // as requested (Shift-JIS)
    bool bold;
    bool italic;
    FT_Face face;  // null when no font could be made for the name
    char file[kFontFileCapacity];
};

// The current font: a cached face set to the requested cell height.
struct CurrentFont {
    FT_Face face;
    const char* file;
    int32_t ascent;   // pixels from the top of the cell to the baseline
    FT_Pos embolden;  // 26.6 strength of synthesised bold; 0: none
    bool oblique;     // synthesised italic
    bool underline;
    FT_Pos underline_top;    // 26.6 below the baseline
    FT_Pos underline_depth;  // 26.6 thickness, whole pixels
};

// One straight piece of a flattened outline, in canvas pixels (y down).
struct Edge {
    double x0, y0, x1, y1;
};

// Where an edge crosses the centre line of a pixel row.
struct Crossing {
    int32_t row;
    int32_t winding;  // +1 going down, -1 going up
    double x;
};

// A growable array that reports failed allocations instead of throwing.
template <typename T>
struct ScratchArray {
    T* items;
    size_t count;
    size_t capacity;

    bool Reserve(size_t wanted) {
        if (wanted <= capacity) return true;
        size_t grown = std::max(wanted, capacity * 2 + 64);
        void* fresh = std::realloc(items, grown * sizeof(T));
        if (fresh == nullptr) return false;
        items = static_cast<T*>(fresh);
        capacity = grown;
        return true;
    }
    bool Push(const T& item) {
        if (!Reserve(count + 1)) return false;
        items[count++] = item;
        return true;
    }
    void Free() {
        std::free(items);
        items = nullptr;
        count = capacity = 0;
    }
};

struct Engine {
    bool started;
    FT_Library library;
    FT_Stroker stroker;
    FcConfig* config;
    iconv_t from_cp932;  // to UTF-32LE, one character at a time
    CachedFace faces[kFaceCacheSize];
    int32_t next_face;
    CurrentFont font;
    uint32_t characters[kMaxCharacters];
    FT_UInt glyphs[kMaxCharacters];
    int64_t advances[kMaxCharacters];
    ScratchArray<Edge> edges;
    ScratchArray<Crossing> crossings;
};

Engine g_engine;

const iconv_t kNoConverter = reinterpret_cast<iconv_t>(-1);

// ---- Shift-JIS -------------------------------------------------------------

bool IsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool IsTrailByte(unsigned char c) {
    return (c >= 0x40 && c <= 0x7E) || (c >= 0x80 && c <= 0xFC);
}

// Converts one Shift-JIS character of `length` bytes; false when the code
// page has no such character.
bool DecodeCharacter(const char* bytes, size_t length, uint32_t* code_point) {
    unsigned char out[8];
    char* in_ptr = const_cast<char*>(bytes);
    size_t in_left = length;
    char* out_ptr = reinterpret_cast<char*>(out);
    size_t out_left = sizeof out;
    iconv(g_engine.from_cp932, nullptr, nullptr, nullptr, nullptr);
    size_t result = iconv(g_engine.from_cp932, &in_ptr, &in_left, &out_ptr, &out_left);
    if (result == static_cast<size_t>(-1) || in_left != 0 || sizeof out - out_left != 4) {
        return false;
    }
    *code_point =
        uint32_t(out[0]) | uint32_t(out[1]) << 8 | uint32_t(out[2]) << 16 | uint32_t(out[3]) << 24;
    return true;
}

// Decodes up to `capacity` characters of `text` into Unicode code points,
// skipping bytes the code page cannot decode and control characters; a lead
// byte whose trail byte is missing or invalid is skipped alone.
int32_t DecodeShiftJis(const char* text, uint32_t* code_points, int32_t capacity) {
    int32_t count = 0;
    size_t i = 0;
    while (text[i] != '\0' && count < capacity) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = 1;
        if (IsLeadByte(c)) {
            if (!IsTrailByte(static_cast<unsigned char>(text[i + 1]))) {
                ++i;
                continue;
            }
            length = 2;
        }
        uint32_t code_point = 0;
        if (DecodeCharacter(text + i, length, &code_point) && code_point >= 0x20 &&
            code_point != 0x7F) {
            code_points[count++] = code_point;
        }
        i += length;
    }
    return count;
}

// Encodes code points as NUL-terminated UTF-8, stopping before overflow.
void EncodeUtf8(const uint32_t* code_points, int32_t count, char* out, size_t capacity) {
    size_t n = 0;
    for (int32_t i = 0; i < count; ++i) {
        uint32_t c = code_points[i];
        unsigned char bytes[4];
        size_t length;
        if (c < 0x80) {
            bytes[0] = static_cast<unsigned char>(c);
            length = 1;
        } else if (c < 0x800) {
            bytes[0] = static_cast<unsigned char>(0xC0 | c >> 6);
            bytes[1] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            length = 2;
        } else if (c < 0x10000) {
            bytes[0] = static_cast<unsigned char>(0xE0 | c >> 12);
            bytes[1] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            length = 3;
        } else {
            bytes[0] = static_cast<unsigned char>(0xF0 | c >> 18);
            bytes[1] = static_cast<unsigned char>(0x80 | (c >> 12 & 0x3F));
            bytes[2] = static_cast<unsigned char>(0x80 | (c >> 6 & 0x3F));
            bytes[3] = static_cast<unsigned char>(0x80 | (c & 0x3F));
            length = 4;
        }
        if (n + length >= capacity) break;
        std::memcpy(out + n, bytes, length);
        n += length;
    }
    out[n] = '\0';
}

// ---- Engine start and faces -------------------------------------------------

bool StartEngine() {
    Engine& e = g_engine;
    if (e.started) return true;
    if (FT_Init_FreeType(&e.library) != 0) return false;
    if (FT_Stroker_New(e.library, &e.stroker) != 0) {
        FT_Done_FreeType(e.library);
        return false;
    }
    e.from_cp932 = iconv_open("UTF-32LE", "CP932");
    // A configuration of our own, released with the engine.
    e.config = FcInitLoadConfigAndFonts();
    e.started = true;
    return true;
}

// Families that scripts name for the gothic and mincho faces of the host's
// platform, and the installed faces that stand in for them, best first.
struct FaceSubstitute {
    const char* names[4];
    const char* substitutes[4];
};

const FaceSubstitute kFaceSubstitutes[] = {
    {{"ＭＳ ゴシック", "MS ゴシック", "MS Gothic", nullptr},
     {"IPAGothic", "IPAexGothic", "Noto Sans CJK JP", "VL Gothic"}},
    {{"ＭＳ Ｐゴシック", "MS Pゴシック", "MS PGothic", nullptr},
     {"IPAPGothic", "IPAexGothic", "Noto Sans CJK JP", "IPAGothic"}},
    {{"ＭＳ 明朝", "MS 明朝", "MS Mincho", nullptr},
     {"IPAMincho", "IPAexMincho", "Noto Serif CJK JP", nullptr}},
    {{"ＭＳ Ｐ明朝", "MS P明朝", "MS PMincho", nullptr},
     {"IPAPMincho", "IPAexMincho", "Noto Serif CJK JP", nullptr}},
};

const FaceSubstitute* FindSubstitute(const char* family) {
    for (const FaceSubstitute& entry : kFaceSubstitutes) {
        for (const char* name : entry.names) {
            if (name != nullptr &&
                FcStrCmpIgnoreCase(reinterpret_cast<const FcChar8*>(name),
                                   reinterpret_cast<const FcChar8*>(family)) == 0) {
                return &entry;
            }
        }
    }
    return nullptr;
}

bool HasFamily(FcPattern* font, const char* family) {
    FcChar8* name = nullptr;
    for (int n = 0; FcPatternGetString(font, FC_FAMILY, n, &name) == FcResultMatch; ++n) {
        if (FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8*>(family)) == 0) return true;
    }
    return false;
}

// fontconfig's best font for a family (UTF-8; empty: its own choice) with
// the weight and slant asked for, preferring faces for Japanese. Null when
// nothing matches; the caller destroys the result.
FcPattern* MatchFont(const char* family, bool bold, bool italic) {
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return nullptr;
    if (family[0] != '\0') {
        FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family));
    }
    FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcPatternAddString(pattern, FC_LANG, reinterpret_cast<const FcChar8*>("ja"));
    FcPattern* font = nullptr;
    if (FcConfigSubstitute(g_engine.config, pattern, FcMatchPattern)) {
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        font = FcFontMatch(g_engine.config, pattern, &result);
    }
    FcPatternDestroy(pattern);
    return font;
}

// The font file for a family: the family itself when installed, else the
// first installed stand-in for a well-known family, else fontconfig's choice.
bool FindFontFile(const char* family, bool bold, bool italic, char* file, int* index) {
    FcPattern* font = MatchFont(family, bold, italic);
    if (font != nullptr && family[0] != '\0' && !HasFamily(font, family)) {
        if (const FaceSubstitute* entry = FindSubstitute(family)) {
            for (const char* substitute : entry->substitutes) {
                if (substitute == nullptr) break;
                FcPattern* candidate = MatchFont(substitute, bold, italic);
                if (candidate != nullptr && HasFamily(candidate, substitute)) {
                    FcPatternDestroy(font);
                    font = candidate;
                    break;
                }
                if (candidate != nullptr) FcPatternDestroy(candidate);
            }
        }
    }
    if (font == nullptr) return false;
    FcChar8* path = nullptr;
    bool found = FcPatternGetString(font, FC_FILE, 0, &path) == FcResultMatch &&
                 std::strlen(reinterpret_cast<const char*>(path)) < kFontFileCapacity;
    if (found) {
        std::strcpy(file, reinterpret_cast<const char*>(path));
        if (FcPatternGetInteger(font, FC_INDEX, 0, index) != FcResultMatch) *index = 0;
    }
    FcPatternDestroy(font);
    return found;
}

// Opens the face for a name (Shift-JIS) and style, through the cache.
CachedFace* FindFace(const char* name, bool bold, bool italic) {
    Engine& e = g_engine;
    for (CachedFace& cached : e.faces) {
        if (cached.used && cached.bold == bold && cached.italic == italic &&
            std::strncmp(cached.name, name, kFaceNameCapacity) == 0) {
            return &cached;
        }
    }
    CachedFace& slot = e.faces[e.next_face];
    e.next_face = (e.next_face + 1) % kFaceCacheSize;
    if (slot.face != nullptr) FT_Done_Face(slot.face);
    slot = CachedFace{};
    slot.used = true;
    std::strncpy(slot.name, name, kFaceNameCapacity - 1);
    slot.bold = bold;
    slot.italic = italic;

    uint32_t code_points[kFaceNameCapacity];
    char family[kFaceNameCapacity * 4];
    EncodeUtf8(code_points, DecodeShiftJis(slot.name, code_points, kFaceNameCapacity), family,
               sizeof family);
    int index = 0;
    if (e.config != nullptr && FindFontFile(family, bold, italic, slot.file, &index)) {
        if (FT_New_Face(e.library, slot.file, index, &slot.face) != 0) slot.face = nullptr;
    }
    if (slot.face != nullptr && slot.face->charmap == nullptr) {
        FT_Done_Face(slot.face);
        slot.face = nullptr;
    }
    return &slot;
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

// ---- Layout -----------------------------------------------------------------

// Loads glyph `glyph` as an outline, with synthesised bold and italic.
bool LoadGlyph(FT_UInt glyph) {
    FT_Face face = g_engine.font.face;
    if (FT_Load_Glyph(face, glyph, kLoadFlags) != 0) return false;
    FT_GlyphSlot slot = face->glyph;
    if (slot->format != FT_GLYPH_FORMAT_OUTLINE) return false;
    if (g_engine.font.embolden != 0) {
        FT_Outline_EmboldenXY(&slot->outline, g_engine.font.embolden, g_engine.font.embolden);
    }
    if (g_engine.font.oblique) {
        FT_Matrix shear = {0x10000, kObliqueShear, 0, 0x10000};
        FT_Outline_Transform(&slot->outline, &shear);
    }
    return true;
}

// Decodes the text and finds each character's glyph and whole-pixel advance
// (0 for characters the font lacks, which are skipped). Returns the count.
int32_t LayOutText(const char* text, int64_t* total_advance) {
    Engine& e = g_engine;
    int32_t count = DecodeShiftJis(text, e.characters, kMaxCharacters);
    *total_advance = 0;
    for (int32_t i = 0; i < count; ++i) {
        e.glyphs[i] = FT_Get_Char_Index(e.font.face, e.characters[i]);
        e.advances[i] = 0;
        if (e.glyphs[i] == 0 || !LoadGlyph(e.glyphs[i])) {
            e.glyphs[i] = 0;
            continue;
        }
        FT_Pos advance = e.font.face->glyph->advance.x + e.font.embolden;
        e.advances[i] = std::max<int64_t>(0, (int64_t(advance) + 32) >> 6);
        *total_advance += e.advances[i];
    }
    return count;
}

// ---- Rasterising --------------------------------------------------------------

int64_t FloorDiv64(int64_t value, int64_t divisor) {
    int64_t q = value / divisor;
    return (value % divisor != 0 && value < 0) ? q - 1 : q;
}

int32_t ClampTo(int64_t value, int32_t low, int32_t high) {
    return int32_t(std::min<int64_t>(std::max<int64_t>(value, low), high));
}

void AddToBox(TextBox* box, const TextBox& part) {
    if (IsEmptyBox(part)) return;
    if (IsEmptyBox(*box)) {
        *box = part;
        return;
    }
    box->left = std::min(box->left, part.left);
    box->top = std::min(box->top, part.top);
    box->right = std::max(box->right, part.right);
    box->bottom = std::max(box->bottom, part.bottom);
}

struct CoverageTarget {
    const TextCanvasView* canvas;
    int32_t x_offset;
};

// Blends the letters' coverage into the fill weights, as coverage adds up
// where letters overlap: w + (255 - w) * c / 255.
void BlendCoverageSpans(int y, int count, const FT_Span* spans, void* user) {
    const CoverageTarget& target = *static_cast<const CoverageTarget*>(user);
    const TextCanvasView& canvas = *target.canvas;
    int32_t row = canvas.height - 1 - y;
    if (row < 0 || row >= canvas.height) return;
    TextWeights* line = canvas.pixels + size_t(row) * size_t(canvas.width);
    for (int i = 0; i < count; ++i) {
        int32_t x0 = std::max(0, target.x_offset + spans[i].x);
        int32_t x1 = std::min(canvas.width, target.x_offset + spans[i].x + spans[i].len);
        uint32_t coverage = spans[i].coverage;
        for (int32_t x = x0; x < x1; ++x) {
            uint32_t w = line[x].fill;
            line[x].fill = uint8_t(w + ((255 - w) * coverage + 127) / 255);
        }
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

// Flattens an outline into edges in canvas pixels.
struct Flattener {
    double canvas_height;
    double x, y;
    bool failed;
};

void AddEdge(Flattener* f, double x, double y) {
    if (y != f->y && !g_engine.edges.Push(Edge{f->x, f->y, x, y})) f->failed = true;
    f->x = x;
    f->y = y;
}

double CanvasX(const FT_Vector* v) {
    return double(v->x) / 64.0;
}
double CanvasY(const Flattener* f, const FT_Vector* v) {
    return f->canvas_height - double(v->y) / 64.0;
}

int SegmentCount(double deviation) {
    double n = std::ceil(std::sqrt(deviation / kFlatness));
    return n < 1.0 ? 1 : (n > kMaxCurveSegments ? kMaxCurveSegments : int(n));
}

int FlattenMoveTo(const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    f->x = CanvasX(to);
    f->y = CanvasY(f, to);
    return 0;
}

int FlattenLineTo(const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    AddEdge(f, CanvasX(to), CanvasY(f, to));
    return f->failed ? 1 : 0;
}

int FlattenConicTo(const FT_Vector* control, const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    double x0 = f->x, y0 = f->y;
    double x1 = CanvasX(control), y1 = CanvasY(f, control);
    double x2 = CanvasX(to), y2 = CanvasY(f, to);
    int n = SegmentCount(std::hypot(x0 - 2 * x1 + x2, y0 - 2 * y1 + y2) / 4);
    for (int i = 1; i <= n; ++i) {
        double t = double(i) / n, s = 1 - t;
        AddEdge(f, s * s * x0 + 2 * s * t * x1 + t * t * x2,
                s * s * y0 + 2 * s * t * y1 + t * t * y2);
    }
    return f->failed ? 1 : 0;
}

int FlattenCubicTo(const FT_Vector* c1, const FT_Vector* c2, const FT_Vector* to, void* user) {
    Flattener* f = static_cast<Flattener*>(user);
    double x0 = f->x, y0 = f->y;
    double x1 = CanvasX(c1), y1 = CanvasY(f, c1);
    double x2 = CanvasX(c2), y2 = CanvasY(f, c2);
    double x3 = CanvasX(to), y3 = CanvasY(f, to);
    double deviation = std::max(std::hypot(x0 - 2 * x1 + x2, y0 - 2 * y1 + y2),
                                std::hypot(x1 - 2 * x2 + x3, y1 - 2 * y2 + y3)) *
                       0.75;
    int n = SegmentCount(deviation);
    for (int i = 1; i <= n; ++i) {
        double t = double(i) / n, s = 1 - t;
        double a = s * s * s, b = 3 * s * s * t, c = 3 * s * t * t, d = t * t * t;
        AddEdge(f, a * x0 + b * x1 + c * x2 + d * x3, a * y0 + b * y1 + c * y2 + d * y3);
    }
    return f->failed ? 1 : 0;
}

bool FlattenOutline(FT_Outline* outline, const TextCanvasView& canvas) {
    static const FT_Outline_Funcs kFuncs = {
        FlattenMoveTo, FlattenLineTo, FlattenConicTo, FlattenCubicTo, 0, 0};
    g_engine.edges.count = 0;
    Flattener f = {double(canvas.height), 0, 0, false};
    return FT_Outline_Decompose(outline, &kFuncs, &f) == 0 && !f.failed;
}

int32_t ClampPixel(double x, const TextBox& area) {
    if (!(x > area.left)) return area.left;
    if (x > area.right) return area.right;
    return int32_t(x);
}

int32_t ClampRow(double y, const TextBox& area) {
    if (!(y > area.top)) return area.top;
    if (y > area.bottom) return area.bottom;
    return int32_t(y);
}

// Collects, row by row, where the edges cross the centre lines y + 0.5 of the
// rows of `area`, sorted by row and then by x. False when memory runs out.
bool CollectCrossings(const TextBox& area) {
    Engine& e = g_engine;
    e.crossings.count = 0;
    for (size_t i = 0; i < e.edges.count; ++i) {
        const Edge& edge = e.edges.items[i];
        bool down = edge.y1 > edge.y0;
        double low = down ? edge.y0 : edge.y1, high = down ? edge.y1 : edge.y0;
        // Rows whose centre lies in [low, high).
        int32_t first = ClampRow(std::ceil(low - 0.5), area);
        int32_t end = ClampRow(std::ceil(high - 0.5), area);
        double slope = (edge.x1 - edge.x0) / (edge.y1 - edge.y0);
        for (int32_t row = first; row < end; ++row) {
            double x = edge.x0 + (row + 0.5 - edge.y0) * slope;
            if (!e.crossings.Push(Crossing{row, down ? 1 : -1, x})) return false;
        }
    }
    std::sort(e.crossings.items, e.crossings.items + e.crossings.count,
              [](const Crossing& a, const Crossing& b) {
                  return a.row != b.row ? a.row < b.row : a.x < b.x;
              });
    return true;
}

// Marks (outline weight 1) every pixel of `area` whose centre lies inside the
// flattened edges, by the even-odd or the nonzero rule. Not anti-aliased.
void MarkCentresInside(bool even_odd, const TextBox& area, const TextCanvasView& canvas) {
    Engine& e = g_engine;
    if (!CollectCrossings(area)) return;
    const Crossing* next = e.crossings.items;
    const Crossing* const last = e.crossings.items + e.crossings.count;
    while (next != last) {
        int32_t row = next->row;
        TextWeights* line = canvas.pixels + size_t(row) * size_t(canvas.width);
        int32_t winding = 0;
        bool inside = false;
        for (; next + 1 != last && next[1].row == row; ++next) {
            winding += next->winding;
            inside = even_odd ? !inside : winding != 0;
            if (!inside) continue;
            // Pixels whose centres x + 0.5 lie between the two crossings.
            int32_t x0 = ClampPixel(std::ceil(next[0].x - 0.5), area);
            int32_t x1 = ClampPixel(std::ceil(next[1].x - 0.5), area);
            for (int32_t x = x0; x < x1; ++x)
                line[x].outline = 1;
        }
        ++next;  // the row's last crossing
    }
}

// The outline shape of one glyph: its outline filled by the even-odd rule,
// joined with a stroke of `width` pixels centred on it.
void MarkOutlineShape(FT_Outline* outline, int32_t width, const TextBox& area,
                      const TextCanvasView& canvas) {
    if (FlattenOutline(outline, canvas)) MarkCentresInside(true, area, canvas);

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
    if (FlattenOutline(&stroke, canvas)) MarkCentresInside(false, area, canvas);
    FT_Outline_Done(e.library, &stroke);
}

// Draws one shape (a glyph or the underline) given in 26.6 units relative to
// its origin (x right, y up from the baseline), whose origin lies at canvas
// pixel (origin_x, baseline). Shapes wholly outside the canvas are skipped
// before any large coordinate reaches FreeType.
void DrawShape(FT_Outline* outline, int64_t origin_x, int64_t baseline, int32_t outline_width,
               const TextCanvasView& canvas, TextBox* box) {
    if (outline->n_points == 0) return;
    FT_BBox cbox;
    FT_Outline_Get_CBox(outline, &cbox);
    int64_t margin = 64 + (outline_width > 0 ? int64_t(outline_width) * 32 : 0);
    TextBox area = {
        ClampTo(FloorDiv64(origin_x * 64 + cbox.xMin - margin, 64), 0, canvas.width),
        ClampTo(FloorDiv64(baseline * 64 - cbox.yMax - margin, 64), 0, canvas.height),
        ClampTo(FloorDiv64(origin_x * 64 + cbox.xMax + margin + 63, 64), 0, canvas.width),
        ClampTo(FloorDiv64(baseline * 64 - cbox.yMin + margin + 63, 64), 0, canvas.height)};
    if (IsEmptyBox(area)) return;
    // The shape touches the canvas, so both offsets are within a few cells of it.
    FT_Outline_Translate(outline, FT_Pos(origin_x * 64), FT_Pos((canvas.height - baseline) * 64));
    RenderCoverage(outline, area, canvas);
    if (outline_width > 0) MarkOutlineShape(outline, outline_width, area, canvas);
    AddToBox(box, area);
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

// Turns the marks of the outline shape into the two weights: where O is set,
// fill 255 and outline 255 - T.
void ResolveOutlineRow(TextWeights* line, int32_t left, int32_t right) {
    for (int32_t x = left; x < right; ++x) {
        if (line[x].outline == 0) continue;
        line[x].outline = uint8_t(255 - line[x].fill);
        line[x].fill = 255;
    }
}

void ResolveOutlineWeights(const TextBox& box, const TextCanvasView& canvas) {
    parallel::ParallelFor(box.top, box.bottom, box.right - box.left, [&](int32_t row) {
        ResolveOutlineRow(canvas.pixels + size_t(row) * size_t(canvas.width), box.left, box.right);
    });
}

}  // namespace

bool SelectTextFont(const TextFontRequest& request) {
    Engine& e = g_engine;
    e.font = CurrentFont{};
    if (!StartEngine() || e.from_cp932 == kNoConverter) return false;
    char name[kFaceNameCapacity];
    std::strncpy(name, request.face != nullptr ? request.face : "", sizeof name - 1);
    name[sizeof name - 1] = '\0';
    CachedFace* cached = FindFace(name, request.bold, request.italic);
    if (cached->face == nullptr && name[0] != '\0') {
        cached = FindFace("", request.bold, request.italic);
    }
    if (cached->face == nullptr) return false;
    int32_t cell_height = std::min(std::max(request.cell_height, 1), kMaxCellHeight);
    CurrentFont font = {};
    if (!SetCellHeight(cached->face, cell_height, &font)) return false;
    font.face = cached->face;
    font.file = cached->file;
    if (!request.bold || (font.face->style_flags & FT_STYLE_FLAG_BOLD) != 0) font.embolden = 0;
    font.oblique = request.italic && (font.face->style_flags & FT_STYLE_FLAG_ITALIC) == 0;
    font.underline = request.underline;
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
    int64_t total = 0;
    int32_t count = LayOutText(text, &total);
    int64_t start = x;
    if (align == TextAlign::kEndAtX) start -= total;
    if (align == TextAlign::kCentreOnX) start -= total / 2;
    int64_t baseline = int64_t(y) + e.font.ascent;
    int64_t pen = start;
    for (int32_t i = 0; i < count; ++i) {
        if (e.glyphs[i] == 0) continue;
        if (LoadGlyph(e.glyphs[i])) {
            DrawShape(&e.font.face->glyph->outline, pen, baseline, width, canvas, &box);
        }
        pen += e.advances[i];
    }
    if (e.font.underline && total > 0) {
        DrawUnderline(start, start + total, baseline, width, canvas, &box);
    }
    if (width > 0 && !IsEmptyBox(box)) ResolveOutlineWeights(box, canvas);
    return box;
}

int64_t MeasureText(const char* text) {
    if (g_engine.font.face == nullptr) return 0;
    int64_t total = 0;
    LayOutText(text, &total);
    return total;
}

const char* CurrentTextFontFile() {
    return g_engine.font.face != nullptr ? g_engine.font.file : "";
}

void ReleaseTextEngine() {
    Engine& e = g_engine;
    if (!e.started) return;
    for (CachedFace& cached : e.faces) {
        if (cached.face != nullptr) FT_Done_Face(cached.face);
        cached = CachedFace{};
    }
    FT_Stroker_Done(e.stroker);
    FT_Done_FreeType(e.library);
    if (e.config != nullptr) FcConfigDestroy(e.config);
    if (e.from_cp932 != kNoConverter) iconv_close(e.from_cp932);
    e.edges.Free();
    e.crossings.Free();
    e = Engine{};
}

}  // namespace platform
