// Compositing the two canvas weights of a drawing (text_engine.h): the
// letters' anti-aliased coverage adds up into the fill weight, and the
// outline shape, first marked as outline weight 1, turns into fill 255 and
// outline 255 - coverage once every shape is drawn.
#pragma once

#include <cstdint>

#include "platform/text_engine.h"

namespace platform {

// Adds `coverage` (0..255) over pixels [x0, x1) of a canvas row, as coverage
// adds up where letters overlap: w + (255 - w) * c / 255, rounded.
void BlendCoverage(TextWeights* line, int32_t x0, int32_t x1, uint32_t coverage);

// Where the outline weight is set (nonzero), fill becomes 255 and outline
// 255 - fill; elsewhere nothing changes. Rows of `box` run in parallel.
void ResolveOutlineWeights(const TextBox& box, const TextCanvasView& canvas);

}  // namespace platform
