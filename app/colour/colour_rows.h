// The plain row loops of the one-pass path (colour_rows.cpp): the columns
// [x, width) of one group of rows (the luma rows that share chroma row cy) of
// a planar or semi-planar YUV frame to YC and back. Samples stored in 16 bits
// convert in single precision, 8-bit ones in 16-bit fixed point; either way
// the results are the reference bits that the AVX2 kernels match. (The rows
// of 16-bit and 8-bit RGB of the swscale path, declared in colour.h, are
// defined beside them.) Internal to app/colour.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

#include "colour/colour_coefficients.h"
#include "colour/colour_layout.h"
#include "kinetra/plugin_abi.h"

namespace colour_detail {

// Columns [x, width) of the rows of group `g` to YC, into the first picture's
// rows (first[r]). T is uint16_t; `scratch` holds three float rows of the
// frame's width.
template <typename T>
void PlainToYC(const AVFrame* f, const YuvLayout& l, const DirectCoefficients& k, int32_t cy,
               RowGroup g, int32_t x, float* scratch, PixelYC* const* first);

// PlainToYC for 8-bit samples, in fixed point.
void PlainFixedToYC(const AVFrame* f, const YuvLayout& l, const FixedCoefficients& k, int32_t cy,
                    RowGroup g, int32_t x, PixelYC* const* first);

// Columns [x, width) of the YC rows `in` of group `g` to samples. T is
// uint16_t; `scratch` holds five float rows and an int32_t one of the
// frame's width.
template <typename T>
void PlainFromYC(const PixelYC* const* in, const YuvLayout& l, const DirectCoefficients& k,
                 int32_t cy, RowGroup g, int32_t x, float* scratch, AVFrame* f);

// PlainFromYC for 8-bit samples, in fixed point.
void PlainFixedFromYC(const PixelYC* const* in, const YuvLayout& l, const FixedCoefficients& k,
                      int32_t cy, RowGroup g, int32_t x, AVFrame* f);

}  // namespace colour_detail
