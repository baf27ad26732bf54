// The explicit AVX2 kernels of the one-pass path (see colour_rows_avx2.h).
//
// For samples of more than 8 bits (8-bit ones have kernels of their own,
// below): the same single-precision arithmetic as the plain loops
// (colour_rows.cpp), step for step (no fused multiply-adds, the same order of
// additions), so that they give the same bits, but in one pass over the rows
// that share a chroma row (two in 4:2:0), sixteen pixels at a time, all in
// registers: the samples are read and widened in the kernel; on the way in,
// the chroma terms of the matrix are computed once per chroma sample, for both
// rows and both pixels that share it; on the way out, the chroma of the two
// rows is averaged while their luma is written. The byte-shuffle unit is the
// scarce one, so PixelYC's three-way interleave takes one shuffle per
// component and some word blends, and the pixels stay in the order in which
// words unpack to 32-bit lanes (no lane-crossing permutes). The kernels are
// chosen once, at run time, where the processor has AVX2, for planar and
// semi-planar layouts; elsewhere the plain loops run.
#include "colour/colour_rows_avx2.h"

#if defined(__x86_64__) && defined(__GNUC__)
#define KINETRA_AVX2_ROWS 1
#include <immintrin.h>
#endif

namespace colour_detail {

#ifdef KINETRA_AVX2_ROWS

namespace {

#define KINETRA_AVX2 __attribute__((target("avx2")))

// PixelYC's interleave, eight pixels to a 128-bit lane: of the 24 words of
// eight pixels, word w (word p of vector j, w = 8j + p) is component w % 3 of
// pixel w / 3. Each component's words are shuffled once into "blend order",
// where word p is that of the pixel (8j + p) / 3 for the j with
// (8j + p) % 3 == c; then every output vector j is two word blends of the
// three, and the way back is the same blends and one shuffle per component
// and half. scatter[c]: component c's words from pixel order to blend order;
// gather[c][h]: from blend order, pixels 4h..4h+3 each in the high word of a
// 32-bit lane (an arithmetic shift then extends the sign). Bytes of -128 give
// zero.
struct YCShuffles {
    int8_t scatter[3][16];
    int8_t gather[3][2][16];
    int8_t unscatter[3][16];  // from blend order back to pixel order
};

// The pixel whose component c sits at word p in blend order.
constexpr int BlendOrderPixel(int c, int p) {
    int j = 0;
    while ((8 * j + p) % 3 != c)
        ++j;
    return (8 * j + p) / 3;
}

// The words of output vector j that hold component c.
constexpr int BlendMask(int c, int j) {
    int mask = 0;
    for (int p = 0; p < 8; ++p) {
        if ((8 * j + p) % 3 == c) mask |= 1 << p;
    }
    return mask;
}
// BlendMask as a constant expression: a blend's mask must be an immediate,
// also in builds that do not fold constexpr calls on their own (-O0).
template <int c, int j>
constexpr int kBlendMask = BlendMask(c, j);

constexpr YCShuffles MakeYCShuffles() {
    YCShuffles s{};
    for (int c = 0; c < 3; ++c) {
        for (int p = 0; p < 8; ++p) {
            int q = BlendOrderPixel(c, p);
            s.scatter[c][2 * p] = int8_t(2 * q);
            s.scatter[c][2 * p + 1] = int8_t(2 * q + 1);
            s.unscatter[c][2 * q] = int8_t(2 * p);
            s.unscatter[c][2 * q + 1] = int8_t(2 * p + 1);
            int h = q / 4, k = q % 4;
            s.gather[c][h][4 * k] = -128;
            s.gather[c][h][4 * k + 1] = -128;
            s.gather[c][h][4 * k + 2] = int8_t(2 * p);
            s.gather[c][h][4 * k + 3] = int8_t(2 * p + 1);
        }
    }
    return s;
}

alignas(16) constexpr YCShuffles kYCShuffles = MakeYCShuffles();

KINETRA_AVX2 inline __m256i Mask(const int8_t* m) {
    return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(m)));
}

KINETRA_AVX2 inline __m256 Clamp4096x8(__m256 v) {
    return _mm256_min_ps(_mm256_max_ps(v, _mm256_setzero_ps()), _mm256_set1_ps(4096.0f));
}

KINETRA_AVX2 inline __m256 Scaled(__m256i v, __m256 mul, __m256 add) {
    return _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(v), mul), add);
}

// Eight 16-bit samples widened to int32 and shifted right by `shift`.
KINETRA_AVX2 inline __m256i Load8(const uint16_t* p, __m128i shift) {
    return _mm256_srl_epi32(
        _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))), shift);
}
// Eight pairs of interleaved samples: the first of each pair in *a, the second in *b.
KINETRA_AVX2 inline void Load8Pairs(const uint16_t* p, __m128i shift, __m256i* a, __m256i* b) {
    __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    *a = _mm256_srl_epi32(_mm256_and_si256(w, _mm256_set1_epi32(0xFFFF)), shift);
    *b = _mm256_srl_epi32(_mm256_srli_epi32(w, 16), shift);
}

// Sixteen pixels in "split order" are two vectors of 32-bit lanes: pixels
// 0..3 and 8..11 in the first, 4..7 and 12..15 in the second (the order of
// word unpacking and of packing back).

// Sixteen 16-bit samples in split order, shifted right by `shift`.
KINETRA_AVX2 inline void Load16Split(const uint16_t* p, __m128i shift, __m256i* a, __m256i* b) {
    __m256i w = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    *a = _mm256_srl_epi32(_mm256_unpacklo_epi16(w, _mm256_setzero_si256()), shift);
    *b = _mm256_srl_epi32(_mm256_unpackhi_epi16(w, _mm256_setzero_si256()), shift);
}

// Sixteen samples (0..65535, in split order) stored.
KINETRA_AVX2 inline void Store16(uint16_t* p, __m256i a, __m256i b) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), _mm256_packus_epi32(a, b));
}
// Eight samples stored.
KINETRA_AVX2 inline void Store8(uint16_t* p, __m256i s) {
    __m128i w = _mm_packus_epi32(_mm256_castsi256_si128(s), _mm256_extracti128_si256(s, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), w);
}
// Eight pairs of samples stored interleaved, a first.
KINETRA_AVX2 inline void Store8Pairs(uint16_t* p, __m256i a, __m256i b) {
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                        _mm256_or_si256(a, _mm256_slli_epi32(b, 16)));
}

// Sixteen pixels [x, x + 16) of the rows of a group to YC, for pixels
// [0, width16): Y rows `luma`, their chroma `c`, written to `outs` (row r of
// picture i at outs[r * count + i]).
template <typename T, int kLog2Cw, bool kPaired>
KINETRA_AVX2 void ToYCGroupAvx2(const T* const* luma, int32_t rows, ChromaRow<const T> c,
                                const DirectCoefficients& k, int32_t y_bits, int32_t c_bits,
                                PixelYC* const* outs, int32_t count, int32_t width16) {
    const __m128i shift_y = _mm_cvtsi32_si128(y_bits), shift_c = _mm_cvtsi32_si128(c_bits);
    const __m256 y_mul = _mm256_set1_ps(k.y_mul), y_add = _mm256_set1_ps(k.y_add);
    const __m256 c_mul = _mm256_set1_ps(k.c_mul), c_add = _mm256_set1_ps(k.c_add);
    const __m256 r_cr = _mm256_set1_ps(k.r_cr), g_cb = _mm256_set1_ps(k.g_cb);
    const __m256 g_cr = _mm256_set1_ps(k.g_cr), b_cb = _mm256_set1_ps(k.b_cb);
    const __m256 c587 = _mm256_set1_ps(0.587f), c299 = _mm256_set1_ps(0.299f);
    const __m256 c114 = _mm256_set1_ps(0.114f), half = _mm256_set1_ps(0.5f);
    const __m256 c331 = _mm256_set1_ps(0.331f), c169 = _mm256_set1_ps(0.169f);
    const __m256 c419 = _mm256_set1_ps(0.419f), c081 = _mm256_set1_ps(0.081f);
    const YCShuffles& m = kYCShuffles;
    for (int32_t x = 0; x < width16; x += 16) {
        // The chroma terms of the sixteen pixels, in split order.
        __m256 rcr[2], gcb[2], gcr[2], bcb[2];
        __m256i u[2], v[2];
        if (kLog2Cw == 1) {  // eight samples in order, each serving two pixels
            if (kPaired) {
                Load8Pairs(c.pairs + x, shift_c, c.cb_first ? &u[0] : &v[0],
                           c.cb_first ? &v[0] : &u[0]);
            } else {
                u[0] = Load8(c.cb + x / 2, shift_c);
                v[0] = Load8(c.cr + x / 2, shift_c);
            }
        } else if (kPaired) {  // two groups of eight pairs in order
            __m256i u8[2], v8[2];
            for (int h = 0; h < 2; ++h) {
                Load8Pairs(c.pairs + 2 * (x + 8 * h), shift_c, c.cb_first ? &u8[h] : &v8[h],
                           c.cb_first ? &v8[h] : &u8[h]);
            }
            u[0] = _mm256_permute2x128_si256(u8[0], u8[1], 0x20);
            u[1] = _mm256_permute2x128_si256(u8[0], u8[1], 0x31);
            v[0] = _mm256_permute2x128_si256(v8[0], v8[1], 0x20);
            v[1] = _mm256_permute2x128_si256(v8[0], v8[1], 0x31);
        } else {
            Load16Split(c.cb + x, shift_c, &u[0], &u[1]);
            Load16Split(c.cr + x, shift_c, &v[0], &v[1]);
        }
        for (int h = 0; h < (kLog2Cw == 1 ? 1 : 2); ++h) {
            __m256 fu = Scaled(u[h], c_mul, c_add), fv = Scaled(v[h], c_mul, c_add);
            rcr[h] = _mm256_mul_ps(r_cr, fv);
            gcb[h] = _mm256_mul_ps(g_cb, fu);
            gcr[h] = _mm256_mul_ps(g_cr, fv);
            bcb[h] = _mm256_mul_ps(b_cb, fu);
        }
        if (kLog2Cw == 1) {  // samples 0 0 1 1 | 4 4 5 5 and 2 2 3 3 | 6 6 7 7
            rcr[1] = _mm256_unpackhi_ps(rcr[0], rcr[0]);
            gcb[1] = _mm256_unpackhi_ps(gcb[0], gcb[0]);
            gcr[1] = _mm256_unpackhi_ps(gcr[0], gcr[0]);
            bcb[1] = _mm256_unpackhi_ps(bcb[0], bcb[0]);
            rcr[0] = _mm256_unpacklo_ps(rcr[0], rcr[0]);
            gcb[0] = _mm256_unpacklo_ps(gcb[0], gcb[0]);
            gcr[0] = _mm256_unpacklo_ps(gcr[0], gcr[0]);
            bcb[0] = _mm256_unpacklo_ps(bcb[0], bcb[0]);
        }
        for (int32_t row = 0; row < rows; ++row) {
            __m256i yi[2], bi[2], ri[2], ys[2];
            Load16Split(luma[row] + x, shift_y, &ys[0], &ys[1]);
            for (int h = 0; h < 2; ++h) {
                __m256 vy = Scaled(ys[h], y_mul, y_add);
                __m256 r = Clamp4096x8(_mm256_add_ps(vy, rcr[h]));
                __m256 g = Clamp4096x8(_mm256_add_ps(_mm256_add_ps(vy, gcb[h]), gcr[h]));
                __m256 b = Clamp4096x8(_mm256_add_ps(vy, bcb[h]));
                __m256 oy =
                    _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(c587, g), _mm256_mul_ps(c299, r)),
                                  _mm256_mul_ps(c114, b));
                __m256 ob =
                    _mm256_sub_ps(_mm256_mul_ps(half, b),
                                  _mm256_add_ps(_mm256_mul_ps(c331, g), _mm256_mul_ps(c169, r)));
                __m256 orr =
                    _mm256_sub_ps(_mm256_sub_ps(_mm256_mul_ps(half, r), _mm256_mul_ps(c419, g)),
                                  _mm256_mul_ps(c081, b));
                yi[h] = _mm256_cvttps_epi32(oy);
                bi[h] = _mm256_cvttps_epi32(ob);
                ri[h] = _mm256_cvttps_epi32(orr);
            }
            // To words (the values fit: no saturation), pixels x..x+7 in the
            // low lane and x+8..x+15 in the high one, then in blend order.
            __m256i wy = _mm256_shuffle_epi8(_mm256_packs_epi32(yi[0], yi[1]), Mask(m.scatter[0]));
            __m256i wb = _mm256_shuffle_epi8(_mm256_packs_epi32(bi[0], bi[1]), Mask(m.scatter[1]));
            __m256i wr = _mm256_shuffle_epi8(_mm256_packs_epi32(ri[0], ri[1]), Mask(m.scatter[2]));
            // p[j]: bytes 16j.. of the eight pixels of each lane.
            __m256i p[3] = {_mm256_blend_epi16(_mm256_blend_epi16(wy, wb, (kBlendMask<1, 0>)), wr,
                                               (kBlendMask<2, 0>)),
                            _mm256_blend_epi16(_mm256_blend_epi16(wy, wb, (kBlendMask<1, 1>)), wr,
                                               (kBlendMask<2, 1>)),
                            _mm256_blend_epi16(_mm256_blend_epi16(wy, wb, (kBlendMask<1, 2>)), wr,
                                               (kBlendMask<2, 2>))};
            __m256i o0 = _mm256_permute2x128_si256(p[0], p[1], 0x20);
            __m256i o1 = _mm256_blend_epi32(p[2], p[0], 0xF0);
            __m256i o2 = _mm256_permute2x128_si256(p[1], p[2], 0x31);
            for (int32_t i = 0; i < count; ++i) {
                __m256i* to = reinterpret_cast<__m256i*>(outs[row * count + i] + x);
                _mm256_storeu_si256(to, o0);
                _mm256_storeu_si256(to + 1, o1);
                _mm256_storeu_si256(to + 2, o2);
            }
        }
    }
}

// Offsets of one chroma component from the centre, rounded to samples.
// `wide`: 16-bit samples, shifted left by `shift`.
KINETRA_AVX2 inline __m256i RoundChroma8(__m256 offset, __m256 centre, __m256i max_sample,
                                         bool wide, __m128i shift) {
    __m256i s =
        _mm256_cvttps_epi32(_mm256_add_ps(_mm256_add_ps(offset, centre), _mm256_set1_ps(0.5f)));
    s = _mm256_min_epi32(_mm256_max_epi32(s, _mm256_setzero_si256()), max_sample);
    return wide ? _mm256_sll_epi32(s, shift) : s;
}

// Chroma samples of a group from the offsets of its rows' pixels x..x+15:
// o[row][0] for pixels x..x+7, o[row][1] for x+8..x+15. With kLog2Cw == 1,
// eight samples in s[0]; otherwise sixteen in s[0] and s[1].
template <int kLog2Cw>
KINETRA_AVX2 inline void ChromaOf(const __m256 (*o)[2], int32_t rows, __m256 centre,
                                  __m256i max_sample, bool wide, __m128i shift, __m256i* s) {
    if (kLog2Cw == 1) {
        // Sums of neighbours: the pixels in split order give the pairs in order.
        __m256 sum = _mm256_hadd_ps(o[0][0], o[0][1]);
        __m256 mean;
        if (rows > 1) {
            mean = _mm256_mul_ps(_mm256_add_ps(sum, _mm256_hadd_ps(o[1][0], o[1][1])),
                                 _mm256_set1_ps(0.25f));
        } else {
            mean = _mm256_mul_ps(sum, _mm256_set1_ps(0.5f));
        }
        s[0] = RoundChroma8(mean, centre, max_sample, wide, shift);
        return;
    }
    for (int h = 0; h < 2; ++h) {
        __m256 mean = o[0][h];
        if (rows > 1) mean = _mm256_mul_ps(_mm256_add_ps(o[0][h], o[1][h]), _mm256_set1_ps(0.5f));
        s[h] = RoundChroma8(mean, centre, max_sample, wide, shift);
    }
}

template <typename T, int kLog2Cw, bool kPaired>
KINETRA_AVX2 inline void StoreChroma(ChromaRow<T> c, int32_t x, const __m256i* cb,
                                     const __m256i* cr) {
    constexpr int kGroups = kLog2Cw == 1 ? 1 : 2;
    for (int h = 0; h < kGroups; ++h) {
        int32_t at = kLog2Cw == 1 ? x / 2 : x + 8 * h;
        if (kPaired) {
            __m256i u = cb[h], v = cr[h];
            if (kGroups == 2) {  // from split order to pixels 8h..8h+7
                u = h == 0 ? _mm256_permute2x128_si256(cb[0], cb[1], 0x20)
                           : _mm256_permute2x128_si256(cb[0], cb[1], 0x31);
                v = h == 0 ? _mm256_permute2x128_si256(cr[0], cr[1], 0x20)
                           : _mm256_permute2x128_si256(cr[0], cr[1], 0x31);
            }
            if (c.cb_first) {
                Store8Pairs(c.pairs + 2 * at, u, v);
            } else {
                Store8Pairs(c.pairs + 2 * at, v, u);
            }
        } else if (kGroups == 1) {
            Store8(c.cb + at, cb[h]);
            Store8(c.cr + at, cr[h]);
        }
    }
    if (!kPaired && kGroups == 2) {
        Store16(c.cb + x, cb[0], cb[1]);
        Store16(c.cr + x, cr[0], cr[1]);
    }
}

// Sixteen pixels [x, x + 16) of the YC rows `in` of a group (one or two), for
// pixels [0, width16), to luma rows `luma` and the group's chroma row `c`.
template <typename T, int kLog2Cw, bool kPaired>
KINETRA_AVX2 void FromYCGroupAvx2(const PixelYC* const* in, int32_t rows,
                                  const DirectCoefficients& k, int32_t y_bits, int32_t c_bits,
                                  T* const* luma, ChromaRow<T> c, int32_t width16) {
    const __m128i shift_y = _mm_cvtsi32_si128(y_bits), shift_c = _mm_cvtsi32_si128(c_bits);
    const __m256 kr = _mm256_set1_ps(k.kr), kg = _mm256_set1_ps(k.kg), kb = _mm256_set1_ps(k.kb);
    const __m256 y_scale = _mm256_set1_ps(k.y_scale), y_offset = _mm256_set1_ps(k.y_offset);
    const __m256 cb_scale = _mm256_set1_ps(k.cb_scale), cr_scale = _mm256_set1_ps(k.cr_scale);
    const __m256 c1402 = _mm256_set1_ps(1.402f), c0344 = _mm256_set1_ps(0.344f);
    const __m256 c0714 = _mm256_set1_ps(0.714f), c1772 = _mm256_set1_ps(1.772f);
    const __m256 half = _mm256_set1_ps(0.5f), centre = _mm256_set1_ps(k.c_centre);
    const __m256i max_sample = _mm256_set1_epi32(k.max_sample);
    const YCShuffles& m = kYCShuffles;
    for (int32_t x = 0; x < width16; x += 16) {
        __m256 cbo[2][2] = {}, cro[2][2] = {};  // [row][half, in split order]
        for (int32_t row = 0; row < rows; ++row) {
            const __m256i* from = reinterpret_cast<const __m256i*>(in[row] + x);
            __m256i a = _mm256_loadu_si256(from), b = _mm256_loadu_si256(from + 1);
            __m256i cc = _mm256_loadu_si256(from + 2);
            // Bytes 0..47 of the pixels x..x+7 in the low lanes, of x+8.. in the high.
            __m256i p[3] = {_mm256_blend_epi32(a, b, 0xF0), _mm256_permute2x128_si256(a, cc, 0x21),
                            _mm256_blend_epi32(b, cc, 0xF0)};
            // Each component's words in blend order.
            __m256i w[3] = {_mm256_blend_epi16(_mm256_blend_epi16(p[0], p[1], (kBlendMask<0, 1>)),
                                               p[2], (kBlendMask<0, 2>)),
                            _mm256_blend_epi16(_mm256_blend_epi16(p[0], p[1], (kBlendMask<1, 1>)),
                                               p[2], (kBlendMask<1, 2>)),
                            _mm256_blend_epi16(_mm256_blend_epi16(p[0], p[1], (kBlendMask<2, 1>)),
                                               p[2], (kBlendMask<2, 2>))};
            __m256i s[2];
            for (int h = 0; h < 2; ++h) {  // the pixels in split order
                __m256 yv = _mm256_cvtepi32_ps(
                    _mm256_srai_epi32(_mm256_shuffle_epi8(w[0], Mask(m.gather[0][h])), 16));
                __m256 u = _mm256_cvtepi32_ps(
                    _mm256_srai_epi32(_mm256_shuffle_epi8(w[1], Mask(m.gather[1][h])), 16));
                __m256 v = _mm256_cvtepi32_ps(
                    _mm256_srai_epi32(_mm256_shuffle_epi8(w[2], Mask(m.gather[2][h])), 16));
                __m256 r = Clamp4096x8(_mm256_add_ps(yv, _mm256_mul_ps(c1402, v)));
                __m256 g = Clamp4096x8(_mm256_sub_ps(_mm256_sub_ps(yv, _mm256_mul_ps(c0344, u)),
                                                     _mm256_mul_ps(c0714, v)));
                __m256 bl = Clamp4096x8(_mm256_add_ps(yv, _mm256_mul_ps(c1772, u)));
                __m256 l = _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(kr, r), _mm256_mul_ps(kg, g)),
                                         _mm256_mul_ps(kb, bl));
                __m256i t = _mm256_cvttps_epi32(
                    _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(l, y_scale), y_offset), half));
                s[h] = _mm256_min_epi32(t, max_sample);
                if (sizeof(T) > 1) s[h] = _mm256_sll_epi32(s[h], shift_y);
                cbo[row][h] = _mm256_mul_ps(_mm256_sub_ps(bl, l), cb_scale);
                cro[row][h] = _mm256_mul_ps(_mm256_sub_ps(r, l), cr_scale);
            }
            Store16(luma[row] + x, s[0], s[1]);
        }
        __m256i cb[2], cr[2];
        ChromaOf<kLog2Cw>(cbo, rows, centre, max_sample, sizeof(T) > 1, shift_c, cb);
        ChromaOf<kLog2Cw>(cro, rows, centre, max_sample, sizeof(T) > 1, shift_c, cr);
        StoreChroma<T, kLog2Cw, kPaired>(c, x, cb, cr);
    }
}

// ---- 8-bit samples in fixed point, AVX2 ----
//
// The arithmetic of FixedToYC and FixedFromYC (colour_rows.cpp), sixteen pixels to a vector,
// thirty-two pixels a step. On the way in, a step's pixels are in two vectors
// in the order in which bytes unpack to words: pixels 0..7 and 16..23 in the
// first, 8..15 and 24..31 in the second; the chroma terms are computed once
// per chroma sample and repeated into that order with the same unpacking.

// Sixteen chroma pairs (bytes as stored, eight pairs to a lane) to the R, G
// and B terms of their samples (words, in the same order).
KINETRA_AVX2 inline void FixedTermsAvx2(__m256i pairs, const __m256i* mul, const __m256i* add,
                                        const __m128i* shift, __m256i* terms) {
    const __m256i zero = _mm256_setzero_si256();
    __m256i lo = _mm256_unpacklo_epi8(pairs, zero), hi = _mm256_unpackhi_epi8(pairs, zero);
    for (int t = 0; t < 3; ++t) {
        __m256i a =
            _mm256_sra_epi32(_mm256_add_epi32(_mm256_madd_epi16(lo, mul[t]), add[t]), shift[t]);
        __m256i b =
            _mm256_sra_epi32(_mm256_add_epi32(_mm256_madd_epi16(hi, mul[t]), add[t]), shift[t]);
        terms[t] = _mm256_packs_epi32(a, b);
    }
}

KINETRA_AVX2 inline __m256i ClampTop(__m256i v, __m256i top) {
    return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), top);
}

// Thirty-two pixels [x, x + 32) of the rows of a group of 8-bit samples to YC,
// for pixels [0, width32); as ToYCGroupAvx2.
template <int kLog2Cw, bool kPaired>
KINETRA_AVX2 void FixedToYCGroupAvx2(const uint8_t* const* luma, int32_t rows,
                                     ChromaRow<const uint8_t> c, const DirectCoefficients& dk,
                                     int32_t, int32_t, PixelYC* const* outs, int32_t count,
                                     int32_t width32) {
    const FixedCoefficients& k = dk.fixed;
    // The multipliers of each term in the order of the stored pairs.
    const int first = kPaired && !c.cb_first ? 1 : 0;
    __m256i mul[3], add[3];
    __m128i shift[3];
    for (int t = 0; t < 3; ++t) {
        uint32_t a = uint16_t(k.term_mul[t][first]), b = uint16_t(k.term_mul[t][1 - first]);
        mul[t] = _mm256_set1_epi32(int32_t(a | (b << 16)));
        add[t] = _mm256_set1_epi32(k.term_add[t]);
        shift[t] = _mm_cvtsi32_si128(k.term_shift[t]);
    }
    const __m256i y_mul = _mm256_set1_epi16(int16_t(k.y_mul)), y_sub = _mm256_set1_epi16(k.y_sub);
    const __m256i top = _mm256_set1_epi16(kFixedTop);
    const YCShuffles& m = kYCShuffles;
    for (int32_t x = 0; x < width32; x += 32) {
        __m256i terms[2][3];  // [pixels 0..7, 16..23 or 8..15, 24..31][R, G, B]
        if (kLog2Cw == 1) {
            __m256i pairs;
            if (kPaired) {
                pairs = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.pairs + x));
            } else {
                __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.cb + x / 2));
                __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c.cr + x / 2));
                pairs = _mm256_set_m128i(_mm_unpackhi_epi8(u, v), _mm_unpacklo_epi8(u, v));
            }
            __m256i s[3];
            FixedTermsAvx2(pairs, mul, add, shift, s);
            for (int t = 0; t < 3; ++t) {
                terms[0][t] = _mm256_unpacklo_epi16(s[t], s[t]);
                terms[1][t] = _mm256_unpackhi_epi16(s[t], s[t]);
            }
        } else {
            __m256i pairs[2];
            if (kPaired) {
                const __m256i* from = reinterpret_cast<const __m256i*>(c.pairs + 2 * x);
                __m256i a = _mm256_loadu_si256(from), b = _mm256_loadu_si256(from + 1);
                pairs[0] = _mm256_permute2x128_si256(a, b, 0x20);
                pairs[1] = _mm256_permute2x128_si256(a, b, 0x31);
            } else {
                __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.cb + x));
                __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c.cr + x));
                pairs[0] = _mm256_unpacklo_epi8(u, v);
                pairs[1] = _mm256_unpackhi_epi8(u, v);
            }
            for (int h = 0; h < 2; ++h)
                FixedTermsAvx2(pairs[h], mul, add, shift, terms[h]);
        }
        for (int32_t row = 0; row < rows; ++row) {
            __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma[row] + x));
            __m256i p[2][3];  // bytes 16j.. of each lane's eight pixels
            for (int h = 0; h < 2; ++h) {
                __m256i y257 = h == 0 ? _mm256_unpacklo_epi8(bytes, bytes)
                                      : _mm256_unpackhi_epi8(bytes, bytes);
                __m256i y = _mm256_sub_epi16(_mm256_mulhi_epu16(y257, y_mul), y_sub);
                __m256i r = ClampTop(_mm256_adds_epi16(y, terms[h][0]), top);
                __m256i g = ClampTop(_mm256_adds_epi16(y, terms[h][1]), top);
                __m256i b = ClampTop(_mm256_adds_epi16(y, terms[h][2]), top);
                // Y: a sum of non-negative words up to 32769, shifted as unsigned.
                __m256i oy = _mm256_add_epi16(
                    _mm256_add_epi16(
                        _mm256_add_epi16(g, _mm256_mulhrs_epi16(g, _mm256_set1_epi16(kFixedYG))),
                        _mm256_mulhrs_epi16(r, _mm256_set1_epi16(kFixedYR))),
                    _mm256_mulhrs_epi16(b, _mm256_set1_epi16(kFixedYB)));
                oy = _mm256_srli_epi16(oy, 3);
                __m256i ob = _mm256_sub_epi16(
                    _mm256_sub_epi16(b, _mm256_mulhrs_epi16(g, _mm256_set1_epi16(kFixedCbG))),
                    _mm256_mulhrs_epi16(r, _mm256_set1_epi16(kFixedCbR)));
                __m256i orr = _mm256_sub_epi16(
                    _mm256_sub_epi16(r, _mm256_mulhrs_epi16(g, _mm256_set1_epi16(kFixedCrG))),
                    _mm256_mulhrs_epi16(b, _mm256_set1_epi16(kFixedCrB)));
                // Truncated toward zero: the magnitude shifted, the sign put back.
                ob = _mm256_sign_epi16(_mm256_srli_epi16(_mm256_abs_epi16(ob), 3), ob);
                orr = _mm256_sign_epi16(_mm256_srli_epi16(_mm256_abs_epi16(orr), 3), orr);
                __m256i wy = _mm256_shuffle_epi8(oy, Mask(m.scatter[0]));
                __m256i wb = _mm256_shuffle_epi8(ob, Mask(m.scatter[1]));
                __m256i wr = _mm256_shuffle_epi8(orr, Mask(m.scatter[2]));
                p[h][0] = _mm256_blend_epi16(_mm256_blend_epi16(wy, wb, (kBlendMask<1, 0>)), wr,
                                             (kBlendMask<2, 0>));
                p[h][1] = _mm256_blend_epi16(_mm256_blend_epi16(wy, wb, (kBlendMask<1, 1>)), wr,
                                             (kBlendMask<2, 1>));
                p[h][2] = _mm256_blend_epi16(_mm256_blend_epi16(wy, wb, (kBlendMask<1, 2>)), wr,
                                             (kBlendMask<2, 2>));
            }
            // Pixels 0..7 are the low lanes of p[0], 8..15 of p[1], 16..23
            // the high lanes of p[0], 24..31 of p[1].
            __m256i o[6] = {_mm256_permute2x128_si256(p[0][0], p[0][1], 0x20),
                            _mm256_permute2x128_si256(p[0][2], p[1][0], 0x20),
                            _mm256_permute2x128_si256(p[1][1], p[1][2], 0x20),
                            _mm256_permute2x128_si256(p[0][0], p[0][1], 0x31),
                            _mm256_permute2x128_si256(p[0][2], p[1][0], 0x31),
                            _mm256_permute2x128_si256(p[1][1], p[1][2], 0x31)};
            for (int32_t i = 0; i < count; ++i) {
                __m256i* to = reinterpret_cast<__m256i*>(outs[row * count + i] + x);
                if ((reinterpret_cast<uintptr_t>(to) & 31) == 0) {
                    for (int j = 0; j < 6; ++j)
                        _mm256_stream_si256(to + j, o[j]);
                } else {
                    for (int j = 0; j < 6; ++j)
                        _mm256_storeu_si256(to + j, o[j]);
                }
            }
        }
    }
    _mm_sfence();
}

// Thirty-two pixels [x, x + 32) of the YC rows of a group to 8-bit samples,
// for pixels [0, width32); as FromYCGroupAvx2.
template <int kLog2Cw, bool kPaired>
KINETRA_AVX2 void FixedFromYCGroupAvx2(const PixelYC* const* in, int32_t rows,
                                       const DirectCoefficients& dk, int32_t, int32_t,
                                       uint8_t* const* luma, ChromaRow<uint8_t> c,
                                       int32_t width32) {
    const FixedCoefficients& k = dk.fixed;
    const __m256i kr = _mm256_set1_epi16(k.kr), kg = _mm256_set1_epi16(k.kg);
    const __m256i kb = _mm256_set1_epi16(k.kb), y_mul = _mm256_set1_epi16(k.y_mul_out);
    const __m256i y_add = _mm256_set1_epi16(k.y_add_out);
    const __m256i cb_mul = _mm256_set1_epi16(k.cb_mul), cr_mul = _mm256_set1_epi16(k.cr_mul);
    const __m256i top = _mm256_set1_epi16(kScale);
    const int32_t shift = FixedChromaShift(rows << kLog2Cw);
    const __m128i chroma_shift = _mm_cvtsi32_si128(shift);
    const YCShuffles& m = kYCShuffles;
    for (int32_t x = 0; x < width32; x += 32) {
        // The chroma offsets summed over the rows: pixels x..x+15 and x+16..x+31.
        __m256i sum_cb[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
        __m256i sum_cr[2] = {_mm256_setzero_si256(), _mm256_setzero_si256()};
        for (int32_t row = 0; row < rows; ++row) {
            __m256i samples[2];
            for (int q = 0; q < 2; ++q) {
                const __m256i* from = reinterpret_cast<const __m256i*>(in[row] + x + 16 * q);
                __m256i v0 = _mm256_loadu_si256(from), v1 = _mm256_loadu_si256(from + 1);
                __m256i v2 = _mm256_loadu_si256(from + 2);
                __m256i p[3] = {_mm256_blend_epi32(v0, v1, 0xF0),
                                _mm256_permute2x128_si256(v0, v2, 0x21),
                                _mm256_blend_epi32(v1, v2, 0xF0)};
                __m256i w[3];
                w[0] = _mm256_blend_epi16(_mm256_blend_epi16(p[0], p[1], (kBlendMask<0, 1>)), p[2],
                                          (kBlendMask<0, 2>));
                w[1] = _mm256_blend_epi16(_mm256_blend_epi16(p[0], p[1], (kBlendMask<1, 1>)), p[2],
                                          (kBlendMask<1, 2>));
                w[2] = _mm256_blend_epi16(_mm256_blend_epi16(p[0], p[1], (kBlendMask<2, 1>)), p[2],
                                          (kBlendMask<2, 2>));
                // Pixels x+16q.. in order, eight to a lane.
                __m256i y = _mm256_shuffle_epi8(w[0], Mask(m.unscatter[0]));
                __m256i u = _mm256_shuffle_epi8(w[1], Mask(m.unscatter[1]));
                __m256i v = _mm256_shuffle_epi8(w[2], Mask(m.unscatter[2]));
                __m256i r = ClampTop(
                    _mm256_adds_epi16(_mm256_adds_epi16(y, v),
                                      _mm256_mulhrs_epi16(v, _mm256_set1_epi16(kFixedRCr))),
                    top);
                __m256i g = ClampTop(
                    _mm256_subs_epi16(
                        _mm256_subs_epi16(y, _mm256_mulhrs_epi16(u, _mm256_set1_epi16(kFixedGCb))),
                        _mm256_mulhrs_epi16(v, _mm256_set1_epi16(kFixedGCr))),
                    top);
                __m256i b = ClampTop(
                    _mm256_adds_epi16(_mm256_adds_epi16(y, u),
                                      _mm256_mulhrs_epi16(u, _mm256_set1_epi16(kFixedBCb))),
                    top);
                __m256i l = _mm256_add_epi16(
                    _mm256_add_epi16(_mm256_mulhrs_epi16(r, kr), _mm256_mulhrs_epi16(g, kg)),
                    _mm256_mulhrs_epi16(b, kb));
                samples[q] =
                    _mm256_srai_epi16(_mm256_add_epi16(_mm256_mulhrs_epi16(l, y_mul), y_add), 4);
                __m256i ocb = _mm256_mulhrs_epi16(_mm256_sub_epi16(b, l), cb_mul);
                __m256i ocr = _mm256_mulhrs_epi16(_mm256_sub_epi16(r, l), cr_mul);
                sum_cb[q] = _mm256_add_epi16(sum_cb[q], ocb);
                sum_cr[q] = _mm256_add_epi16(sum_cr[q], ocr);
            }
            // Bytes of pixels 0..7, 16..23, 8..15, 24..31, put in order.
            __m256i bytes =
                _mm256_permute4x64_epi64(_mm256_packus_epi16(samples[0], samples[1]), 0xD8);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(luma[row] + x), bytes);
        }
        if (kLog2Cw == 1) {
            // Sums of neighbours, rounded and shifted: samples 0..3, 8..11 |
            // 4..7, 12..15 (words).
            const __m256i ones = _mm256_set1_epi16(1);
            const __m256i chroma_add = _mm256_set1_epi32(FixedChromaAdd(shift));
            __m256i s[2];
            for (int i = 0; i < 2; ++i) {
                const __m256i* sums = i == 0 ? sum_cb : sum_cr;
                __m256i a = _mm256_sra_epi32(
                    _mm256_add_epi32(_mm256_madd_epi16(sums[0], ones), chroma_add), chroma_shift);
                __m256i b = _mm256_sra_epi32(
                    _mm256_add_epi32(_mm256_madd_epi16(sums[1], ones), chroma_add), chroma_shift);
                s[i] = _mm256_packs_epi32(a, b);
            }
            if (kPaired) {
                __m256i one = c.cb_first ? s[0] : s[1], two = c.cb_first ? s[1] : s[0];
                __m256i bytes = _mm256_packus_epi16(_mm256_unpacklo_epi16(one, two),
                                                    _mm256_unpackhi_epi16(one, two));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(c.pairs + x),
                                    _mm256_permute4x64_epi64(bytes, 0xD8));
            } else {
                // Four bytes of Cb 0..3, 8..11, Cr 0..3, 8..11 | Cb 4..7, ...
                __m256i bytes = _mm256_permutevar8x32_epi32(
                    _mm256_packus_epi16(s[0], s[1]), _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(c.cb + x / 2),
                                 _mm256_castsi256_si128(bytes));
                _mm_storeu_si128(reinterpret_cast<__m128i*>(c.cr + x / 2),
                                 _mm256_extracti128_si256(bytes, 1));
            }
        } else {
            const __m256i chroma_add = _mm256_set1_epi16(int16_t(FixedChromaAdd(shift)));
            __m256i s[2];
            for (int i = 0; i < 2; ++i) {
                const __m256i* sums = i == 0 ? sum_cb : sum_cr;
                __m256i a = _mm256_sra_epi16(_mm256_add_epi16(sums[0], chroma_add), chroma_shift);
                __m256i b = _mm256_sra_epi16(_mm256_add_epi16(sums[1], chroma_add), chroma_shift);
                s[i] = _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
            }
            if (kPaired) {
                __m256i one = c.cb_first ? s[0] : s[1], two = c.cb_first ? s[1] : s[0];
                __m256i lo = _mm256_unpacklo_epi8(one, two), hi = _mm256_unpackhi_epi8(one, two);
                __m256i* to = reinterpret_cast<__m256i*>(c.pairs + 2 * x);
                _mm256_storeu_si256(to, _mm256_permute2x128_si256(lo, hi, 0x20));
                _mm256_storeu_si256(to + 1, _mm256_permute2x128_si256(lo, hi, 0x31));
            } else {
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(c.cb + x), s[0]);
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(c.cr + x), s[1]);
            }
        }
    }
}

}  // namespace

#endif  // KINETRA_AVX2_ROWS

bool HaveAvx2Rows() {
#ifdef KINETRA_AVX2_ROWS
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
#else
    return false;
#endif
}

template <typename T>
KernelBuilds<ToYCKernel<T>> ToYCKernels() {
    KernelBuilds<ToYCKernel<T>> k;
#ifdef KINETRA_AVX2_ROWS
    if constexpr (sizeof(T) == 1) {
        k = {FixedToYCGroupAvx2<1, false>, FixedToYCGroupAvx2<1, true>,
             FixedToYCGroupAvx2<0, false>, FixedToYCGroupAvx2<0, true>, 32};
    } else {
        k = {ToYCGroupAvx2<T, 1, false>, ToYCGroupAvx2<T, 1, true>, ToYCGroupAvx2<T, 0, false>,
             ToYCGroupAvx2<T, 0, true>, 16};
    }
#endif
    return k;
}

template <typename T>
KernelBuilds<FromYCKernel<T>> FromYCKernels() {
    KernelBuilds<FromYCKernel<T>> k;
#ifdef KINETRA_AVX2_ROWS
    if constexpr (sizeof(T) == 1) {
        k = {FixedFromYCGroupAvx2<1, false>, FixedFromYCGroupAvx2<1, true>,
             FixedFromYCGroupAvx2<0, false>, FixedFromYCGroupAvx2<0, true>, 32};
    } else {
        k = {FromYCGroupAvx2<T, 1, false>, FromYCGroupAvx2<T, 1, true>,
             FromYCGroupAvx2<T, 0, false>, FromYCGroupAvx2<T, 0, true>, 16};
    }
#endif
    return k;
}

template KernelBuilds<ToYCKernel<uint8_t>> ToYCKernels<uint8_t>();
template KernelBuilds<ToYCKernel<uint16_t>> ToYCKernels<uint16_t>();
template KernelBuilds<FromYCKernel<uint8_t>> FromYCKernels<uint8_t>();
template KernelBuilds<FromYCKernel<uint16_t>> FromYCKernels<uint16_t>();

}  // namespace colour_detail
