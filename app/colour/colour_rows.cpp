// The plain row loops of colour conversion: the 16-bit and 8-bit RGB rows of
// the swscale path, and the rows of the one-pass path in single precision and,
// for 8-bit samples, in 16-bit fixed point. They are the reference that the
// AVX2 kernels (colour_rows_avx2.cpp) match bit for bit, and they convert
// whatever those leave: the columns past their last full step, layouts they do
// not know, and processors without AVX2.
#include "colour/colour_rows.h"

#include <algorithm>
#include <cstdint>

#include "common/yc_rgb.h"

using colour_detail::kScale;

// ---- rows of 16-bit and 8-bit RGB (the swscale path) ---------------------------

namespace {

inline int32_t Rgb16To4096(uint16_t v) {
    return (static_cast<int32_t>(v) * kScale + 32767) / 65535;
}

inline uint16_t Rgb4096To16(int32_t v) {
    if (v < 0) v = 0;
    if (v > kScale) v = kScale;
    return static_cast<uint16_t>((v * 65535 + kScale / 2) / kScale);
}

}  // namespace

void Rgb48RowToYC(const uint16_t* rgb, PixelYC* out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        const uint16_t* p = rgb + 3 * x;
        out[x] = RGBToYC(Rgb16To4096(p[0]), Rgb16To4096(p[1]), Rgb16To4096(p[2]));
    }
}

void YCRowToRgb48(const PixelYC* in, uint16_t* rgb, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        ColorRGB c = YCToRGB(in[x].y, in[x].cb, in[x].cr);
        uint16_t* p = rgb + 3 * x;
        p[0] = Rgb4096To16(c.r);
        p[1] = Rgb4096To16(c.g);
        p[2] = Rgb4096To16(c.b);
    }
}

void Rgb24RowToYC(const uint8_t* rgb, int32_t step, PixelYC* out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        const uint8_t* p = rgb + step * x;
        out[x] = RGBToYC(p[0] * kScale / 255, p[1] * kScale / 255, p[2] * kScale / 255);
    }
}

namespace colour_detail {

// ---- the direct path: planar and semi-planar YUV straight to and from YC ------
//
// A row is read into three float rows on the 0..4096 scale (Y from 0, Cb and
// Cr centred on 0, chroma repeated across its pixels), then one loop turns
// them into RGB, clamps it to 0..4096 and applies the plug-in's RGBToYC. The
// way back computes RGB with the plug-in's YCToRGB matrix (not truncated),
// clamps it, and writes Y rounded and the chroma averaged over the pixels that
// share a sample. Every step is a plain loop over a row, with no calls and no
// division per pixel, so the compiler vectorises it. 8-bit samples take the
// same steps in 16-bit fixed point instead (see "8-bit samples in fixed
// point"): on one thread a 1080p 4:2:0 picture of saturated colours took 1.6
// ms instead of 2.6 ms to YC (two pictures written) and 1.2 ms instead of 2.6
// ms back.

namespace {

inline float Clamp4096(float v) {
    v = v < 0.0f ? 0.0f : v;
    return v > 4096.0f ? 4096.0f : v;
}

// Samples of one component of a row, scaled: out[x] = sample * mul + add,
// with the sample of pixel x >> log2_w (chroma repeated across its pixels).
// The heaviest row loops get a second build for AVX2 where the processor has
// it (chosen when the program loads); the arithmetic is the same IEEE single
// precision either way, without fused multiply-adds, so results do not
// depend on the build taken.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KINETRA_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KINETRA_ROW_CLONES
#endif

template <typename T>
KINETRA_ROW_CLONES void ReadSamples(const T* __restrict row, int32_t step, int32_t shift, float mul,
                                    float add, float* __restrict out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        out[x] = float(row[x * step] >> shift) * mul + add;
    }
}

// Chroma shared by pairs of pixels: each sample is written twice.
template <typename T>
KINETRA_ROW_CLONES void ReadPairedSamples(const T* __restrict row, int32_t step, int32_t shift,
                                          float mul, float add, float* __restrict out,
                                          int32_t width) {
    int32_t pairs = width / 2;
    for (int32_t i = 0; i < pairs; ++i) {
        float v = float(row[i * step] >> shift) * mul + add;
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
    if (width % 2 != 0) out[width - 1] = float(row[pairs * step] >> shift) * mul + add;
}

template <typename T>
void ReadComponent(const T* row, int32_t step, int32_t shift, int32_t log2_w, float mul, float add,
                   float* out, int32_t width) {
    if (log2_w == 0) {
        ReadSamples<T>(row, step, shift, mul, add, out, width);
    } else {
        ReadPairedSamples<T>(row, step, shift, mul, add, out, width);
    }
}

// Scaled Y, Cb, Cr rows to YC: RGB clamped to 0..4096, then RGBToYC.
KINETRA_ROW_CLONES void ScaledRowToYC(const float* __restrict y, const float* __restrict cb,
                                      const float* __restrict cr, const DirectCoefficients& k,
                                      PixelYC* __restrict out, int32_t width) {
    const float r_cr = k.r_cr, g_cb = k.g_cb, g_cr = k.g_cr, b_cb = k.b_cb;
    for (int32_t x = 0; x < width; ++x) {
        float r = Clamp4096(y[x] + r_cr * cr[x]);
        float g = Clamp4096((y[x] + g_cb * cb[x]) + g_cr * cr[x]);
        float b = Clamp4096(y[x] + b_cb * cb[x]);
        out[x].y = int16_t(int32_t((0.587f * g + 0.299f * r) + 0.114f * b));
        out[x].cb = int16_t(int32_t(0.5f * b - (0.331f * g + 0.169f * r)));
        out[x].cr = int16_t(int32_t((0.5f * r - 0.419f * g) - 0.081f * b));
    }
}

// One row of YC split into float rows (a plain copy loop: the compiler does
// not vectorise three-way interleaved loads, so they get a loop of their own).
void SplitYC(const PixelYC* __restrict in, float* __restrict y, float* __restrict cb,
             float* __restrict cr, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        y[x] = in[x].y;
        cb[x] = in[x].cb;
        cr[x] = in[x].cr;
    }
}

// YC rows (split) to luma samples (rounded, in `luma`) and chroma offsets from
// the centre in sample units (not yet rounded; averaged by the caller). `cb`
// and `cr` hold the pixels' Cb and Cr and are overwritten.
KINETRA_ROW_CLONES void YCRowToScaled(const float* __restrict y, float* __restrict cb,
                                      float* __restrict cr, const DirectCoefficients& k,
                                      int32_t* __restrict luma, int32_t width) {
    const float kr = k.kr, kg = k.kg, kb = k.kb, y_scale = k.y_scale, y_offset = k.y_offset;
    const float cb_scale = k.cb_scale, cr_scale = k.cr_scale;
    const int32_t max_sample = k.max_sample;
    for (int32_t x = 0; x < width; ++x) {
        float yv = y[x], u = cb[x], v = cr[x];
        float r = Clamp4096(yv + 1.402f * v);
        float g = Clamp4096((yv - 0.344f * u) - 0.714f * v);
        float b = Clamp4096(yv + 1.772f * u);
        float l = (kr * r + kg * g) + kb * b;
        int32_t s = int32_t(l * y_scale + y_offset + 0.5f);
        luma[x] = s > max_sample ? max_sample : s;
        cb[x] = (b - l) * cb_scale;
        cr[x] = (r - l) * cr_scale;
    }
}

template <typename T>
void StoreSamples(const int32_t* __restrict in, int32_t shift, T* __restrict out, int32_t width) {
    const int32_t step = 1 << shift;
    for (int32_t x = 0; x < width; ++x)
        out[x] = T(in[x] * step);
}

inline int32_t RoundChroma(float offset, const DirectCoefficients& k) {
    int32_t s = int32_t(offset + k.c_centre + 0.5f);
    s = s < 0 ? 0 : s;
    return s > k.max_sample ? k.max_sample : s;
}

// Chroma samples of a row from per-pixel offsets: one row (rows == 1) or the
// mean of two rows, over one pixel or pairs of pixels.
template <typename T>
void WriteChroma(const float* a, const float* b, int32_t log2_w, const DirectCoefficients& k,
                 int32_t shift, int32_t step, T* out, int32_t width) {
    if (log2_w == 0) {
        if (b == nullptr) {
            for (int32_t x = 0; x < width; ++x)
                out[x * step] = T(RoundChroma(a[x], k) << shift);
        } else {
            for (int32_t x = 0; x < width; ++x)
                out[x * step] = T(RoundChroma((a[x] + b[x]) * 0.5f, k) << shift);
        }
        return;
    }
    int32_t pairs = width / 2;
    if (b == nullptr) {
        for (int32_t i = 0; i < pairs; ++i)
            out[i * step] = T(RoundChroma((a[2 * i] + a[2 * i + 1]) * 0.5f, k) << shift);
    } else {
        for (int32_t i = 0; i < pairs; ++i) {
            float sum = (a[2 * i] + a[2 * i + 1]) + (b[2 * i] + b[2 * i + 1]);
            out[i * step] = T(RoundChroma(sum * 0.25f, k) << shift);
        }
    }
    if (width % 2 != 0) {
        int32_t x = width - 1;
        float v = b == nullptr ? a[x] : (a[x] + b[x]) * 0.5f;
        out[pairs * step] = T(RoundChroma(v, k) << shift);
    }
}

// ---- 8-bit samples in fixed point -------------------------------------------
//
// 8-bit pictures, the common case, convert with 16-bit integers instead of
// floats: sixteen values to a vector instead of eight, and no conversions
// between integers and floats. The plain loops below and the AVX2 kernels
// (colour_rows_avx2.cpp) take the same integer steps (mulhi and mulhrs are the
// vector instructions' products: the high half, and the high half rounded, of
// a 16-bit product), so they give the same bits. Errors below are against the
// exact (real-number) conversion; the weights in Q15 are the kFixed constants
// of colour_coefficients.h, the others those of FixedCoefficients.
//
// In, per pixel, in quarter units of the 0..4096 scale (u/4):
//   y = mulhi(Y * 257, y_mul) - y_sub: Y * ky with ky = 16384 / ys, less the
//     black level. y_mul = ky * 65536 / 257 rounded is off by at most 1/2, so
//     the product by at most 255 * 257 / 2 / 65536 < 1/2; the floor takes
//     [0, 1) off and y_sub (rounded from the black level less 1/2) centres
//     that: |error| < 1/2 + 1/2 + 1/2 = 1.5 u/4.
//   The chroma terms of R, G and B, once per chroma sample from the stored
//     Cb and Cr with 32-bit products and one rounding. The multipliers are
//     scaled by 2^shift, shift the largest that keeps them in 16 bits; a
//     rounded one is off by at most 2^-(shift+1) per step of Cb - 128 (at
//     most 128 steps). The largest term, B's, is below 138 per step (BT.2020,
//     limited range), so 2^shift >= 128 and R's and B's multipliers are off by
//     at most 1/2 u/4 over all samples; G's two are below 53 per step, so
//     2^shift >= 512 and each is off by at most 1/8: |error| <= 1/2 + 1/2
//     (R, B) or 1/2 + 1/4 (G).
//   R, G, B = y + term, added with saturation (the sum of two 16-bit values
//     clamped to 16 bits, which the clamp that follows makes exact), clamped
//     to 0..16384: |error| <= 2.5 u/4 (R, B) and 2.25 u/4 (G), i.e. 0.625 u
//     and 0.5625 u (clamping does not add to it).
// Then the plug-in's RGBToYC in eighth units (R, G, B above are already twice
// the eighths):
//   Y8 = G + mulhrs(G, 2*0.587-1) + mulhrs(R, 2*0.299) + mulhrs(B, 2*0.114)
//   Cb8 = B - mulhrs(G, 2*0.331) - mulhrs(R, 2*0.169)
//   Cr8 = R - mulhrs(G, 2*0.419) - mulhrs(B, 2*0.081)
// Each rounded product is off by at most 1/2 of an eighth from rounding and
// 16384 / 2 / 32768 = 1/4 of an eighth from its rounded weight: at most
// 3 * 3/4 / 8 = 0.28 u in all. The weights of each output add up to at most 1
// in magnitude, so the error of R, G, B adds at most 0.625 u (0.61 u at most
// to Cb, 0.60 u to Cr, 0.59 u to Y). In all |error| < 0.91 u < 1 before
// truncating (Y is a sum of non-negative terms, so its floor is
// its truncation), and |trunc(a) - trunc(b)| <= 1 whenever |a - b| < 1: every
// channel is within 1 of the exact conversion.
//
// Out, per pixel, from YC (any 16-bit values):
//   R = y + cr + mulhrs(cr, 0.402), G = y - mulhrs(cb, 0.344) - mulhrs(cr,
//     0.714), B = y + cb + mulhrs(cb, 0.772), in units, added with saturation
//     (a sum that saturates is beyond 32767 - 25297 of 0..4096 either way, so
//     the clamp that follows is exact), clamped to 0..4096. Rounding and
//     rounded weights over |value| <= 32768: |error| <= 0.77 (R), 1.54 (G),
//     0.61 (B).
//   L = mulhrs(R, kr) + mulhrs(G, kg) + mulhrs(B, kb): |error| <= 1.54 +
//     3 * (1/2 + 1/16) = 3.23 u.
//   The luma sample in sixteenths, mulhrs(L, 16 * ys / 4096) plus the black
//     level and a half: off by at most 3.23 * 255 / 4096 + 1/32 + 1/32 < 0.27
//     of a sample; the chroma offsets in sixteenths, mulhrs(B - L, 16 * cs /
//     (4096 * 2 (1 - kb))) and mulhrs(R - L, ... (1 - kr)), by at most (3.23 +
//     0.77) * 255 / (8192 * 0.7) + 1/32 + 1/32 < 0.25 of a sample (Kr and Kb
//     are at most 0.3).
//   The chroma sample: the offsets of the pixels that share it summed exactly,
//     plus the centre and a half, divided by their count with a shift (a
//     floor). Each value is within 0.27 of a sample of the exact one before
//     rounding, and |floor(a) - floor(b)| <= 1 whenever |a - b| < 1.

// The vector instructions' 16-bit products: the high half of an unsigned
// product, and the high half rounded (half up) of a signed one.
inline int32_t MulHi(int32_t a, int32_t b) {
    return int32_t((uint32_t(a) * uint32_t(b)) >> 16);
}
inline int32_t MulHrs(int32_t a, int32_t b) {
    return (a * b + 0x4000) >> 15;
}
// A sum cut to 16 bits, as the vector instructions' saturating additions do.
inline int32_t Saturate16(int32_t v) {
    return std::clamp(v, -32768, 32767);
}

// The chroma terms of R, G and B of one chroma sample, in quarter units.
struct FixedTerms {
    int32_t t[3];
};

inline FixedTerms FixedTermsOf(int32_t cb, int32_t cr, const FixedCoefficients& k) {
    FixedTerms f;
    for (int i = 0; i < 3; ++i) {
        int32_t v = cb * k.term_mul[i][0] + cr * k.term_mul[i][1] + k.term_add[i];
        f.t[i] = Saturate16(v >> k.term_shift[i]);
    }
    return f;
}

// One pixel to YC.
inline PixelYC FixedToYC(int32_t luma, const FixedTerms& c, const FixedCoefficients& k) {
    int32_t y = int16_t(MulHi(luma * 257, k.y_mul) - k.y_sub);
    int32_t r = std::clamp(Saturate16(y + c.t[0]), 0, kFixedTop);
    int32_t g = std::clamp(Saturate16(y + c.t[1]), 0, kFixedTop);
    int32_t b = std::clamp(Saturate16(y + c.t[2]), 0, kFixedTop);
    int32_t y8 = g + MulHrs(g, kFixedYG) + MulHrs(r, kFixedYR) + MulHrs(b, kFixedYB);
    int32_t cb8 = b - MulHrs(g, kFixedCbG) - MulHrs(r, kFixedCbR);
    int32_t cr8 = r - MulHrs(g, kFixedCrG) - MulHrs(b, kFixedCrB);
    // Truncated toward zero, as the plug-in's RGBToYC does.
    auto eighths = [](int32_t v) { return v < 0 ? -(-v >> 3) : v >> 3; };
    return PixelYC{int16_t(y8 >> 3), int16_t(eighths(cb8)), int16_t(eighths(cr8))};
}

// One YC pixel to its luma sample and its chroma offsets (sixteenths).
inline void FixedFromYC(PixelYC p, const FixedCoefficients& k, int32_t* luma, int32_t* cb,
                        int32_t* cr) {
    int32_t y = p.y, u = p.cb, v = p.cr;
    int32_t r = std::clamp(Saturate16(Saturate16(y + v) + MulHrs(v, kFixedRCr)), 0, kScale);
    int32_t g = std::clamp(Saturate16(Saturate16(y - MulHrs(u, kFixedGCb)) - MulHrs(v, kFixedGCr)),
                           0, kScale);
    int32_t b = std::clamp(Saturate16(Saturate16(y + u) + MulHrs(u, kFixedBCb)), 0, kScale);
    int32_t l = MulHrs(r, k.kr) + MulHrs(g, k.kg) + MulHrs(b, k.kb);
    *luma = std::clamp((MulHrs(l, k.y_mul_out) + k.y_add_out) >> 4, 0, 255);
    *cb = MulHrs(b - l, k.cb_mul);
    *cr = MulHrs(r - l, k.cr_mul);
}

// The chroma sample of the sum of `count` (1, 2 or 4) offsets in sixteenths.
inline uint8_t FixedChroma(int32_t sum, int32_t count) {
    int32_t shift = FixedChromaShift(count);
    return uint8_t(std::clamp((sum + FixedChromaAdd(shift)) >> shift, 0, 255));
}

}  // namespace

template <typename T>
void PlainToYC(const AVFrame* f, const YuvLayout& l, const DirectCoefficients& k, int32_t cy,
               RowGroup g, int32_t x, float* scratch, PixelYC* const* first) {
    int32_t n = f->width - x;
    float *ys = scratch, *cbs = scratch + n, *crs = scratch + 2 * n;
    int32_t cx = x >> l.log2_cw;
    ReadComponent(SampleRow<T>(f, l.plane[1], cy, l.offset[1]) + cx * l.step[1], l.step[1],
                  l.shift[1], l.log2_cw, k.c_mul, k.c_add, cbs, n);
    ReadComponent(SampleRow<T>(f, l.plane[2], cy, l.offset[2]) + cx * l.step[2], l.step[2],
                  l.shift[2], l.log2_cw, k.c_mul, k.c_add, crs, n);
    for (int32_t r = 0; r < g.rows; ++r) {
        ReadComponent(SampleRow<T>(f, l.plane[0], g.y0 + r, l.offset[0]) + x, 1, l.shift[0], 0,
                      k.y_mul, k.y_add, ys, n);
        ScaledRowToYC(ys, cbs, crs, k, first[r] + x, n);
    }
}

// PlainToYC for 8-bit samples, in fixed point.
void PlainFixedToYC(const AVFrame* f, const YuvLayout& l, const FixedCoefficients& k, int32_t cy,
                    RowGroup g, int32_t x, PixelYC* const* first) {
    const uint8_t* cb = SampleRow<uint8_t>(f, l.plane[1], cy, l.offset[1]);
    const uint8_t* cr = SampleRow<uint8_t>(f, l.plane[2], cy, l.offset[2]);
    for (int32_t r = 0; r < g.rows; ++r) {
        const uint8_t* luma = SampleRow<uint8_t>(f, l.plane[0], g.y0 + r, l.offset[0]);
        for (int32_t i = x; i < f->width; ++i) {
            int32_t c = i >> l.log2_cw;
            first[r][i] =
                FixedToYC(luma[i], FixedTermsOf(cb[c * l.step[1]], cr[c * l.step[2]], k), k);
        }
    }
}

// Columns [x, width) of the YC rows `in` of group `g` to samples with the
// plain loops.
template <typename T>
void PlainFromYC(const PixelYC* const* in, const YuvLayout& l, const DirectCoefficients& k,
                 int32_t cy, RowGroup g, int32_t x, float* scratch, AVFrame* f) {
    int32_t n = f->width - x;
    float* cb[2] = {scratch, scratch + n};
    float* cr[2] = {scratch + 2 * n, scratch + 3 * n};
    float* ys = scratch + 4 * n;
    int32_t* luma = reinterpret_cast<int32_t*>(scratch + 5 * n);
    for (int32_t r = 0; r < g.rows; ++r) {
        SplitYC(in[r] + x, ys, cb[r], cr[r], n);
        YCRowToScaled(ys, cb[r], cr[r], k, luma, n);
        StoreSamples(luma, l.shift[0], SampleRow<T>(f, l.plane[0], g.y0 + r, l.offset[0]) + x, n);
    }
    int32_t cx = x >> l.log2_cw;
    const float* second_cb = g.rows > 1 ? cb[1] : nullptr;
    const float* second_cr = g.rows > 1 ? cr[1] : nullptr;
    WriteChroma(cb[0], second_cb, l.log2_cw, k, l.shift[1], l.step[1],
                SampleRow<T>(f, l.plane[1], cy, l.offset[1]) + cx * l.step[1], n);
    WriteChroma(cr[0], second_cr, l.log2_cw, k, l.shift[2], l.step[2],
                SampleRow<T>(f, l.plane[2], cy, l.offset[2]) + cx * l.step[2], n);
}

// PlainFromYC for 8-bit samples, in fixed point.
void PlainFixedFromYC(const PixelYC* const* in, const YuvLayout& l, const FixedCoefficients& k,
                      int32_t cy, RowGroup g, int32_t x, AVFrame* f) {
    const int32_t w = f->width;
    uint8_t* luma[2];
    for (int32_t r = 0; r < g.rows; ++r)
        luma[r] = SampleRow<uint8_t>(f, l.plane[0], g.y0 + r, l.offset[0]);
    uint8_t* cb = SampleRow<uint8_t>(f, l.plane[1], cy, l.offset[1]);
    uint8_t* cr = SampleRow<uint8_t>(f, l.plane[2], cy, l.offset[2]);
    for (int32_t c = x >> l.log2_cw; (c << l.log2_cw) < w; ++c) {
        int32_t sum_cb = 0, sum_cr = 0, count = 0;
        for (int32_t r = 0; r < g.rows; ++r) {
            for (int32_t i = c << l.log2_cw; i < std::min(w, (c + 1) << l.log2_cw); ++i) {
                int32_t y, u, v;
                FixedFromYC(in[r][i], k, &y, &u, &v);
                luma[r][i] = uint8_t(y);
                sum_cb += u;
                sum_cr += v;
                ++count;
            }
        }
        cb[c * l.step[1]] = FixedChroma(sum_cb, count);
        cr[c * l.step[2]] = FixedChroma(sum_cr, count);
    }
}

template void PlainToYC<uint16_t>(const AVFrame*, const YuvLayout&, const DirectCoefficients&,
                                  int32_t, RowGroup, int32_t, float*, PixelYC* const*);
template void PlainFromYC<uint16_t>(const PixelYC* const*, const YuvLayout&,
                                    const DirectCoefficients&, int32_t, RowGroup, int32_t, float*,
                                    AVFrame*);

}  // namespace colour_detail
