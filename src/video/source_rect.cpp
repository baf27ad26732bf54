#include "video/source_rect.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "host/buffers.h"

bool OpenSourceRect(SourceRect* source, const PixelYC* buffer, bool private_copy, int64_t x,
                    int64_t y, int64_t w, int64_t h, int32_t max_w, int32_t max_h) {
    source->left = static_cast<int32_t>(std::clamp<int64_t>(x, 0, max_w));
    source->right = static_cast<int32_t>(std::clamp<int64_t>(x + w, 0, max_w));
    source->top = static_cast<int32_t>(std::clamp<int64_t>(y, 0, max_h));
    source->bottom = static_cast<int32_t>(std::clamp<int64_t>(y + h, 0, max_h));
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
    for (int64_t row = 0; row < height; ++row) {
        std::memcpy(copy + row * width, source->pixels + row * max_w, width * sizeof(PixelYC));
    }
    source->copy = copy;
    source->pixels = copy;
    source->stride = width;
    return true;
}

void CloseSourceRect(SourceRect* source) {
    // The copy is the buffers' scratch block, kept for the next command.
    source->copy = nullptr;
}
