// The exact path of lossless work (see colour_exact.h): its maps from a
// matrix, range and depth, and the rows that apply them, in double precision.
#include "colour/colour_exact.h"

#include <algorithm>
#include <cmath>

#include "colour/colour_coefficients.h"

namespace colour_detail {

namespace {

// The plug-in's YC: BT.601 luma weights, chroma spans of 2 (1 - Kb) and
// 2 (1 - Kr), all on the 4096 scale.
constexpr double kPluginKr = 0.299, kPluginKb = 0.114;

// A YC value rounded to the nearest integer (halves up). The way in's values
// lie well inside -32768..32767 for samples of any depth.
inline int16_t RoundYC(double v) {
    return int16_t(int32_t(v + 32768.5) - 32768);
}

// A sample rounded to the nearest integer and clamped to 0..max.
inline int32_t RoundSample(double v, int32_t max) {
    return int32_t(std::clamp(v + 0.5, 0.0, max + 0.5));
}

}  // namespace

ExactCoefficients ExactCoefficientsFor(ColourSpec colour, int32_t depth) {
    double kr, kb;
    LumaWeights(colour.matrix, &kr, &kb);
    const double kg = 1 - kr - kb;
    const SampleRange s = RangeOf(colour.range, depth);
    // R, G and B of the source's normalised chroma (luma adds to all three).
    const double r_v = 2 * (1 - kr), b_u = 2 * (1 - kb);
    const double g_u = -2 * kb * (1 - kb) / kg, g_v = -2 * kr * (1 - kr) / kg;
    // The plug-in's luma of them: its weights add up to 1, so luma passes.
    const double pkg = 1 - kPluginKr - kPluginKb;
    const double y_u = pkg * g_u + kPluginKb * b_u, y_v = kPluginKr * r_v + pkg * g_v;
    const double cb_span = 2 * (1 - kPluginKb), cr_span = 2 * (1 - kPluginKr);
    ExactCoefficients k;
    const double c_scale = kScale / s.cs;
    k.in_y[0] = kScale / s.ys;
    k.in_y[1] = y_u * c_scale;
    k.in_y[2] = y_v * c_scale;
    k.in_c[0][0] = (b_u - y_u) / cb_span * c_scale;
    k.in_c[0][1] = -y_v / cb_span * c_scale;
    k.in_c[1][0] = -y_u / cr_span * c_scale;
    k.in_c[1][1] = (r_v - y_v) / cr_span * c_scale;
    // The inverse of the block-triangular map.
    const double det = k.in_c[0][0] * k.in_c[1][1] - k.in_c[0][1] * k.in_c[1][0];
    k.out_c[0][0] = k.in_c[1][1] / det;
    k.out_c[0][1] = -k.in_c[0][1] / det;
    k.out_c[1][0] = -k.in_c[1][0] / det;
    k.out_c[1][1] = k.in_c[0][0] / det;
    k.out_y[0] = 1 / k.in_y[0];
    k.out_y[1] = -(k.in_y[1] * k.out_c[0][0] + k.in_y[2] * k.out_c[1][0]) / k.in_y[0];
    k.out_y[2] = -(k.in_y[1] * k.out_c[0][1] + k.in_y[2] * k.out_c[1][1]) / k.in_y[0];
    k.black = s.y0;
    k.centre = s.c0;
    k.max_sample = (1 << depth) - 1;
    return k;
}

double ExactDrift(const ExactCoefficients& k) {
    double luma = std::fabs(k.out_y[0]) + std::fabs(k.out_y[1]) + std::fabs(k.out_y[2]);
    double cb = std::fabs(k.out_c[0][0]) + std::fabs(k.out_c[0][1]);
    double cr = std::fabs(k.out_c[1][0]) + std::fabs(k.out_c[1][1]);
    return std::max({luma, cb, cr}) / 2;
}

template <typename T>
void ExactToYC(const AVFrame* f, const YuvLayout& l, const ExactCoefficients& k, int32_t cy,
               RowGroup g, PixelYC* const* rows) {
    const T* cb = SampleRow<T>(f, l.plane[1], cy, l.offset[1]);
    const T* cr = SampleRow<T>(f, l.plane[2], cy, l.offset[2]);
    const T* luma[2];
    for (int32_t r = 0; r < g.rows; ++r)
        luma[r] = SampleRow<T>(f, l.plane[0], g.y0 + r, l.offset[0]);
    const int32_t w = f->width;
    for (int32_t c = 0; (c << l.log2_cw) < w; ++c) {
        const double u = double(cb[c * l.step[1]] >> l.shift[1]) - k.centre;
        const double v = double(cr[c * l.step[2]] >> l.shift[2]) - k.centre;
        const int16_t yc_cb = RoundYC(k.in_c[0][0] * u + k.in_c[0][1] * v);
        const int16_t yc_cr = RoundYC(k.in_c[1][0] * u + k.in_c[1][1] * v);
        const double chroma_y = k.in_y[1] * u + k.in_y[2] * v;
        const int32_t x0 = c << l.log2_cw, x1 = std::min(w, x0 + (1 << l.log2_cw));
        for (int32_t r = 0; r < g.rows; ++r) {
            for (int32_t x = x0; x < x1; ++x) {
                const double y = double(luma[r][x] >> l.shift[0]) - k.black;
                rows[r][x] = PixelYC{RoundYC(k.in_y[0] * y + chroma_y), yc_cb, yc_cr};
            }
        }
    }
}

template <typename T>
void ExactFromYC(const PixelYC* const* in, const YuvLayout& l, const ExactCoefficients& k,
                 int32_t cy, RowGroup g, AVFrame* f) {
    const int32_t w = f->width;
    // Copies, which stores to the samples cannot change (for vectorising).
    const double by_y = k.out_y[0], by_cb = k.out_y[1], by_cr = k.out_y[2], black = k.black;
    const int32_t max = k.max_sample, shift = l.shift[0];
    for (int32_t r = 0; r < g.rows; ++r) {
        T* __restrict luma = SampleRow<T>(f, l.plane[0], g.y0 + r, l.offset[0]);
        const PixelYC* __restrict p = in[r];
        for (int32_t x = 0; x < w; ++x) {
            const double y = by_y * p[x].y + by_cb * p[x].cb + by_cr * p[x].cr;
            luma[x] = T(RoundSample(y + black, max) << shift);
        }
    }
    // Chroma: the mean of the pixels' YC that share a sample (exact when
    // they are equal, as the way in leaves them: the counts are powers of
    // two), then the inverse.
    T* cb = SampleRow<T>(f, l.plane[1], cy, l.offset[1]);
    T* cr = SampleRow<T>(f, l.plane[2], cy, l.offset[2]);
    const double part[5] = {0, 1, 0.5, 0, 0.25};
    for (int32_t c = 0; (c << l.log2_cw) < w; ++c) {
        const int32_t x0 = c << l.log2_cw, x1 = std::min(w, x0 + (1 << l.log2_cw));
        int32_t sum_cb = 0, sum_cr = 0;
        for (int32_t r = 0; r < g.rows; ++r) {
            for (int32_t x = x0; x < x1; ++x) {
                sum_cb += in[r][x].cb;
                sum_cr += in[r][x].cr;
            }
        }
        const double share = part[g.rows * (x1 - x0)];
        const double mean_cb = sum_cb * share, mean_cr = sum_cr * share;
        const double u = k.out_c[0][0] * mean_cb + k.out_c[0][1] * mean_cr;
        const double v = k.out_c[1][0] * mean_cb + k.out_c[1][1] * mean_cr;
        cb[c * l.step[1]] = T(RoundSample(u + k.centre, k.max_sample) << l.shift[1]);
        cr[c * l.step[2]] = T(RoundSample(v + k.centre, k.max_sample) << l.shift[2]);
    }
}

template void ExactToYC<uint8_t>(const AVFrame*, const YuvLayout&, const ExactCoefficients&,
                                 int32_t, RowGroup, PixelYC* const*);
template void ExactToYC<uint16_t>(const AVFrame*, const YuvLayout&, const ExactCoefficients&,
                                  int32_t, RowGroup, PixelYC* const*);
template void ExactFromYC<uint8_t>(const PixelYC* const*, const YuvLayout&,
                                   const ExactCoefficients&, int32_t, RowGroup, AVFrame*);
template void ExactFromYC<uint16_t>(const PixelYC* const*, const YuvLayout&,
                                    const ExactCoefficients&, int32_t, RowGroup, AVFrame*);

}  // namespace colour_detail
