// Outline flattening for the FreeType text engine: a glyph's outline of lines
// and Bézier curves becomes straight edges in canvas pixels for the outline
// shape's filler (text_scanline.h).
#pragma once

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H

#include "platform/text_scanline.h"

namespace platform {

// Greatest distance in pixels between a curve and the lines that replace it.
constexpr double kFlatness = 0.05;
constexpr int kMaxCurveSegments = 256;

// Replaces the contents of `edges` with the edges of `outline` (26.6 units in
// FreeType's frame: x right, y up from the canvas's bottom edge) in canvas
// pixels: x = x / 64, y = canvas_height - y / 64. Curves become at most
// kMaxCurveSegments lines each; horizontal edges are left out, as they cross
// no row. False when memory runs out or the outline is malformed.
bool FlattenOutline(FT_Outline* outline, int32_t canvas_height, ScratchArray<Edge>* edges);

}  // namespace platform
