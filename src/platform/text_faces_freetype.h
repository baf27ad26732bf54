// Face lookup for the FreeType text engine: fontconfig finds the font file
// for a face name, with installed stand-ins for the well-known Japanese
// families that scripts name, and FreeType opens it. Faces stay open in a
// small cache keyed by name, weight and slant.
#pragma once

#include <ft2build.h>

#include <cstddef>
#include <cstdint>
#include FT_FREETYPE_H

namespace platform {

// A face as the cache holds it.
struct FoundFace {
    FT_Face face;      // null when no font could be made for the name
    const char* file;  // its font file
    uint64_t serial;   // different for every face the cache ever opened
};

// Loads the font configuration (once); false when fontconfig has none, and
// then every name finds no face.
bool StartFaceLookup();

// Closes every cached face and the font configuration.
void StopFaceLookup();

// The font file for a family (UTF-8; empty: fontconfig's choice) with the
// weight and slant asked for: the family itself when installed, else the first
// installed stand-in for a well-known family, else fontconfig's choice. False
// when nothing matches or the path does not fit in `capacity` bytes.
bool FindFontFile(const char* family, bool bold, bool italic, char* file, size_t capacity,
                  int* index);

// The face for `name` (in the script's code page; empty: fontconfig's choice)
// and style, opened with `library` unless the cache holds it. Opening a new
// one may close the oldest, which invalidates its FoundFace.
FoundFace FindFace(FT_Library library, const char* name, bool bold, bool italic);

}  // namespace platform
