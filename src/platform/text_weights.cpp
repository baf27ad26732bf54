#include "platform/text_weights.h"

#include <cstddef>

#include "common/parallel.h"

namespace platform {
namespace {

void ResolveOutlineRow(TextWeights* line, int32_t left, int32_t right) {
    for (int32_t x = left; x < right; ++x) {
        if (line[x].outline == 0) continue;
        line[x].outline = uint8_t(255 - line[x].fill);
        line[x].fill = 255;
    }
}

}  // namespace

void BlendCoverage(TextWeights* line, int32_t x0, int32_t x1, uint32_t coverage) {
    for (int32_t x = x0; x < x1; ++x) {
        uint32_t w = line[x].fill;
        line[x].fill = uint8_t(w + ((255 - w) * coverage + 127) / 255);
    }
}

void ResolveOutlineWeights(const TextBox& box, const TextCanvasView& canvas) {
    parallel::ParallelFor(box.top, box.bottom, box.right - box.left, [&](int32_t row) {
        ResolveOutlineRow(canvas.pixels + size_t(row) * size_t(canvas.width), box.left, box.right);
    });
}

}  // namespace platform
