// The part of a source rectangle that lies inside its buffer, read either in
// place or from a private copy. Commands that may write the buffer they read
// (resize, rotate, diffuse) take the copy when source and destination are the
// same buffer, so no worker ever reads a pixel another worker has replaced.
// The rectangle walk (rect_walk.h) takes its copies with the same
// CopyPixelBlock.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

struct SourceRect {
    const PixelYC* pixels;  // pixel (left, top); rows of `stride` pixels
    int64_t stride;
    // The part inside the buffer: columns left..right-1, rows top..bottom-1
    // (empty when left >= right or top >= bottom).
    int32_t left, top, right, bottom;
    PixelYC* copy;  // the private copy, or null when reading in place
};

// Copies the `columns` x `rows` block at `origin` (rows `stride` pixels
// apart) into `block` as packed rows, rows in parallel.
void CopyPixelBlock(const PixelYC* origin, int64_t stride, int64_t columns, int64_t rows,
                    PixelYC* block);

// Describes the rectangle (x, y, w, h) of `buffer` (max_w x max_h) cut to the
// buffer; with `private_copy`, copies that part first. False when the copy
// cannot be allocated (nothing to release then).
bool OpenSourceRect(SourceRect* source, const PixelYC* buffer, bool private_copy, int64_t x,
                    int64_t y, int64_t w, int64_t h, int32_t max_w, int32_t max_h);
void CloseSourceRect(SourceRect* source);

// Row `y` of the source (top <= y < bottom), indexed by column - left.
inline const PixelYC* SourceRow(const SourceRect& source, int64_t y) {
    return source.pixels + (y - source.top) * source.stride;
}
