#include "video/source_rect.h"

#include <cstdlib>
#include <cstring>

#include "common/clamp.h"
#include "common/parallel.h"
#include "host/buffers.h"

void CopyPixelBlock(const PixelYC* origin, int64_t stride, int64_t columns, int64_t rows,
                    PixelYC* block) {
    parallel::ParallelFor(int64_t{0}, rows, columns / 4, [&](int64_t row) {
        std::memcpy(block + row * columns, origin + row * stride,
                    static_cast<size_t>(columns) * sizeof(PixelYC));
    });
}

bool OpenSourceRect(SourceRect* source, const PixelYC* buffer, bool private_copy, int64_t x,
                    int64_t y, int64_t w, int64_t h, int32_t max_w, int32_t max_h) {
    source->left = ClampTo(x, max_w);
    source->right = ClampTo(x + w, max_w);
    source->top = ClampTo(y, max_h);
    source->bottom = ClampTo(y + h, max_h);
    source->copy = nullptr;
    source->stride = max_w;
    source->pixels = buffer + static_cast<int64_t>(source->top) * max_w + source->left;
    if (!private_copy || source->left >= source->right || source->top >= source->bottom) {
        return true;
    }
    int64_t width = source->right - source->left;
    int64_t height = source->bottom - source->top;
    PixelYC* copy =
        static_cast<PixelYC*>(AcquireScratch(kScratchSourceRect, width * height * sizeof(PixelYC)));
    if (copy == nullptr) return false;
    CopyPixelBlock(source->pixels, max_w, width, height, copy);
    source->copy = copy;
    source->pixels = copy;
    source->stride = width;
    return true;
}

void CloseSourceRect(SourceRect* source) {
    // The copy is the buffers' scratch block, kept for the next command.
    source->copy = nullptr;
}
