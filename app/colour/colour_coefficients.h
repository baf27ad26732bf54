// The numbers of the one-pass colour path: for a picture's matrix, range and
// sample depth, the constants that turn its samples into the plug-in's 0..4096
// scale and back, in single precision and, for 8-bit samples, in 16-bit fixed
// point; and the fixed weights of the plug-in's own RGBToYC and YCToRGB in Q15.
// The plain rows (colour_rows.cpp) and the AVX2 kernels (colour_rows_avx2.cpp)
// both read them, so that the two give the same bits. Internal to app/colour.
#pragma once

#include <cstdint>

#include "colour/colour.h"

namespace colour_detail {

constexpr int32_t kScale = 4096;  // the plug-in's full channel value

// The constants of 8-bit samples in fixed point (see "8-bit samples in fixed
// point" in colour_rows.cpp for the arithmetic and its error bounds).
struct FixedCoefficients {
    // In. Luma in quarter units: mulhi(Y * 257, y_mul) - y_sub. The chroma
    // terms of R, G and B in quarter units: (Cb * term_mul[t][0] + Cr *
    // term_mul[t][1] + term_add[t]) >> term_shift[t].
    uint16_t y_mul;
    int16_t y_sub;
    int16_t term_mul[3][2];
    int32_t term_add[3];
    int32_t term_shift[3];
    // Out. Luma of RGB (Q15 weights), luma to sample sixteenths (times
    // y_mul_out, plus y_add_out), B - L and R - L to chroma offsets in sample
    // sixteenths.
    int16_t kr, kg, kb, y_mul_out, y_add_out, cb_mul, cr_mul;
};

// The constants of one direction of one matrix, range and depth.
struct DirectCoefficients {
    // In: sample to 0..4096 scale, then chroma to RGB.
    float y_mul, y_add, c_mul, c_add;
    float r_cr, g_cb, g_cr, b_cb;
    // Out: RGB to luma sample and to chroma offsets from the centre.
    float kr, kg, kb, y_scale, y_offset, cb_scale, cr_scale, c_centre;
    int32_t max_sample;
    // The constants of 8-bit samples, which convert in fixed point.
    FixedCoefficients fixed;
};

// Kr and Kb of a matrix (the luma weights of red and blue); BT.601's for
// matrices without weights of their own.
void LumaWeights(AVColorSpace matrix, double* kr, double* kb);

// Sample value of black and of the luma span, and the centre and span of
// chroma, of a range at a depth.
struct SampleRange {
    double y0, ys, c0, cs;
};
SampleRange RangeOf(AVColorRange range, int32_t depth);

// The constants of samples of `depth` bits (8 to 16) with the matrix and range
// of `colour`; `fixed` is filled for 8-bit samples only.
DirectCoefficients CoefficientsFor(ColourSpec colour, int32_t depth);

// The plug-in's RGBToYC and YCToRGB weights of the fixed-point steps in Q15
// (their use and error bounds: "8-bit samples in fixed point" in
// colour_rows.cpp).
constexpr int32_t Q15(double v) {
    return int32_t(v * 32768 + 0.5);
}
constexpr int32_t kFixedYG = Q15(2 * 0.587 - 1), kFixedYR = Q15(2 * 0.299),
                  kFixedYB = Q15(2 * 0.114);
constexpr int32_t kFixedCbG = Q15(2 * 0.331), kFixedCbR = Q15(2 * 0.169);
constexpr int32_t kFixedCrG = Q15(2 * 0.419), kFixedCrB = Q15(2 * 0.081);
constexpr int32_t kFixedRCr = Q15(0.402), kFixedGCb = Q15(0.344), kFixedGCr = Q15(0.714),
                  kFixedBCb = Q15(0.772);
// The white of R, G, B in quarter units.
constexpr int32_t kFixedTop = 4 * kScale;

// The chroma sample of the sum of `count` (1, 2 or 4) offsets in sixteenths:
// (sum + FixedChromaAdd(shift)) >> shift, with shift = FixedChromaShift(count)
// (the centre and a half added, then divided by the count).
inline int32_t FixedChromaShift(int32_t count) {
    return 4 + (count == 4 ? 2 : count == 2 ? 1 : 0);
}
inline int32_t FixedChromaAdd(int32_t shift) {
    return (128 << shift) + (1 << (shift - 1));
}

}  // namespace colour_detail
