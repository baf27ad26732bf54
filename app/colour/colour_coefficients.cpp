// The constants of the one-pass colour path: luma weights of each matrix, the
// sample values of each range, and from them the single-precision and
// fixed-point constants of colour_coefficients.h.
#include "colour/colour_coefficients.h"

#include <algorithm>
#include <cmath>

namespace colour_detail {

void LumaWeights(AVColorSpace matrix, double* kr, double* kb) {
    switch (matrix) {
        case AVCOL_SPC_BT709:
            *kr = 0.2126, *kb = 0.0722;
            return;
        case AVCOL_SPC_FCC:
            *kr = 0.30, *kb = 0.11;
            return;
        case AVCOL_SPC_SMPTE240M:
            *kr = 0.212, *kb = 0.087;
            return;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            *kr = 0.2627, *kb = 0.0593;
            return;
        default:
            *kr = 0.299, *kb = 0.114;
            return;
    }
}

SampleRange RangeOf(AVColorRange range, int32_t depth) {
    double unit = double(1 << (depth - 8));
    if (range == AVCOL_RANGE_JPEG) {
        double full = double((1 << depth) - 1);
        return {0.0, full, double(1 << (depth - 1)), full};
    }
    return {16 * unit, 219 * unit, 128 * unit, 224 * unit};
}

namespace {

// The fixed-point constants of a matrix and range (the bounds on their
// rounding: "8-bit samples in fixed point" in colour_rows.cpp).
FixedCoefficients FixedCoefficientsFor(double kr, double kb, const SampleRange& s) {
    const double kg = 1 - kr - kb;
    FixedCoefficients f;
    const double ky = 4.0 * kScale / s.ys;  // quarter units per luma step
    f.y_mul = uint16_t(std::lround(ky * 65536 / 257));
    // The floor of mulhi takes half a quarter unit off on average.
    f.y_sub = int16_t(std::lround(s.y0 * ky - 0.5));
    const double kc = 4.0 * kScale / s.cs;  // quarter units per chroma step
    const double terms[3][2] = {
        {0, 2 * (1 - kr)}, {-2 * kb * (1 - kb) / kg, -2 * kr * (1 - kr) / kg}, {2 * (1 - kb), 0}};
    for (int t = 0; t < 3; ++t) {
        double big = std::max(std::fabs(terms[t][0]), std::fabs(terms[t][1])) * kc;
        int32_t shift = 1;
        while (big * double(1 << (shift + 1)) <= 32767.0)
            ++shift;
        f.term_shift[t] = shift;
        int32_t sum = 0;
        for (int i = 0; i < 2; ++i) {
            f.term_mul[t][i] = int16_t(std::lround(terms[t][i] * kc * double(1 << shift)));
            sum += f.term_mul[t][i];
        }
        // Rounding, and the centre of the chroma samples taken off.
        f.term_add[t] = (1 << (shift - 1)) - int32_t(std::lround(s.c0)) * sum;
    }
    f.kr = int16_t(std::lround(kr * 32768));
    f.kg = int16_t(std::lround(kg * 32768));
    f.kb = int16_t(std::lround(kb * 32768));
    f.y_mul_out = int16_t(std::lround(s.ys * 128));  // 16 * ys / 4096 in Q15
    f.y_add_out = int16_t(std::lround(s.y0 * 16) + 8);
    f.cb_mul = int16_t(std::lround(s.cs * 64 / (1 - kb)));  // 16 * cs / (4096 * 2 (1 - kb)) in Q15
    f.cr_mul = int16_t(std::lround(s.cs * 64 / (1 - kr)));
    return f;
}

}  // namespace

DirectCoefficients CoefficientsFor(ColourSpec colour, int32_t depth) {
    double kr, kb;
    LumaWeights(colour.matrix, &kr, &kb);
    double kg = 1 - kr - kb;
    SampleRange s = RangeOf(colour.range, depth);
    DirectCoefficients c{};
    c.y_mul = float(kScale / s.ys);
    c.y_add = float(-s.y0 * kScale / s.ys);
    c.c_mul = float(kScale / s.cs);
    c.c_add = float(-s.c0 * kScale / s.cs);
    c.r_cr = float(2 * (1 - kr));
    c.g_cb = float(-2 * kb * (1 - kb) / kg);
    c.g_cr = float(-2 * kr * (1 - kr) / kg);
    c.b_cb = float(2 * (1 - kb));
    c.kr = float(kr);
    c.kg = float(kg);
    c.kb = float(kb);
    c.y_scale = float(s.ys / kScale);
    c.y_offset = float(s.y0);
    c.cb_scale = float(s.cs / kScale / (2 * (1 - kb)));
    c.cr_scale = float(s.cs / kScale / (2 * (1 - kr)));
    c.c_centre = float(s.c0);
    c.max_sample = (1 << depth) - 1;
    if (depth == 8) c.fixed = FixedCoefficientsFor(kr, kb, s);
    return c;
}

}  // namespace colour_detail
