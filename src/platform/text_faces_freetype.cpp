#include "platform/text_faces_freetype.h"

#include <fontconfig/fontconfig.h>

#include <cstring>

#include "platform/text_codepage.h"

namespace platform {
namespace {

constexpr size_t kFaceNameCapacity = 512;
constexpr size_t kFontFileCapacity = 4096;
// Faces kept open, keyed by name, weight and slant; replaced oldest first.
constexpr int32_t kFaceCacheSize = 8;

struct CachedFace {
    bool used;
    char name[kFaceNameCapacity];  // as requested, in `code_page`
    TextCodePage code_page;
    bool bold;
    bool italic;
    FT_Face face;  // null when no font could be made for the name
    char file[kFontFileCapacity];
    uint64_t serial;
};

struct FaceLookup {
    bool started;
    FcConfig* config;
    CachedFace faces[kFaceCacheSize];
    int32_t next_face;
    uint64_t serial;
};

FaceLookup g_lookup;

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
    if (FcConfigSubstitute(g_lookup.config, pattern, FcMatchPattern)) {
        FcDefaultSubstitute(pattern);
        FcResult result = FcResultNoMatch;
        font = FcFontMatch(g_lookup.config, pattern, &result);
    }
    FcPatternDestroy(pattern);
    return font;
}

// The font file for a family: the family itself when installed, else the
// first installed stand-in for a well-known family, else fontconfig's choice.
}  // namespace

bool StartFaceLookup() {
    if (!g_lookup.started) {
        // A configuration of our own, released with the lookup.
        g_lookup.config = FcInitLoadConfigAndFonts();
        g_lookup.started = true;
    }
    return g_lookup.config != nullptr;
}

void StopFaceLookup() {
    for (CachedFace& cached : g_lookup.faces) {
        if (cached.face != nullptr) FT_Done_Face(cached.face);
    }
    if (g_lookup.config != nullptr) FcConfigDestroy(g_lookup.config);
    uint64_t serial = g_lookup.serial;
    g_lookup = FaceLookup{};
    g_lookup.serial = serial;  // serials are never reused
}

bool FindFontFile(const char* family, bool bold, bool italic, char* file, size_t capacity,
                  int* index) {
    if (g_lookup.config == nullptr) return false;
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
                 std::strlen(reinterpret_cast<const char*>(path)) < capacity;
    if (found) {
        std::strcpy(file, reinterpret_cast<const char*>(path));
        if (FcPatternGetInteger(font, FC_INDEX, 0, index) != FcResultMatch) *index = 0;
    }
    FcPatternDestroy(font);
    return found;
}

FoundFace FindFace(FT_Library library, const char* name, bool bold, bool italic) {
    FaceLookup& lookup = g_lookup;
    for (const CachedFace& cached : lookup.faces) {
        if (cached.used && cached.bold == bold && cached.italic == italic &&
            cached.code_page == CurrentTextCodePage() &&
            std::strncmp(cached.name, name, kFaceNameCapacity) == 0) {
            return FoundFace{cached.face, cached.file, cached.serial};
        }
    }
    CachedFace& slot = lookup.faces[lookup.next_face];
    lookup.next_face = (lookup.next_face + 1) % kFaceCacheSize;
    if (slot.face != nullptr) FT_Done_Face(slot.face);
    slot = CachedFace{};
    slot.used = true;
    std::strncpy(slot.name, name, kFaceNameCapacity - 1);
    slot.code_page = CurrentTextCodePage();
    slot.bold = bold;
    slot.italic = italic;
    slot.serial = ++lookup.serial;

    uint32_t code_points[kFaceNameCapacity];
    char family[kFaceNameCapacity * 4];
    EncodeUtf8(code_points, DecodeText(slot.name, code_points, kFaceNameCapacity), family,
               sizeof family);
    int index = 0;
    if (FindFontFile(family, bold, italic, slot.file, sizeof slot.file, &index)) {
        if (FT_New_Face(library, slot.file, index, &slot.face) != 0) slot.face = nullptr;
    }
    if (slot.face != nullptr && slot.face->charmap == nullptr) {
        FT_Done_Face(slot.face);
        slot.face = nullptr;
    }
    return FoundFace{slot.face, slot.file, slot.serial};
}

}  // namespace platform
