// Colour-key masks: every pixel of a source rectangle is tested against a box
// of channel ranges, and the mask pixel at the matching place becomes the in
// value (inside the box) or the out value, with Cb and Cr 0.
#include "common/simd.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

#if KINETRA_HAVE_AVX2
#include <immintrin.h>
#endif

namespace {

// Inclusive ranges per channel (Y, Cb, Cr or R, G, B); a range whose low
// bound is above its high bound holds nothing.
struct ColorBox {
    int32_t low[3];
    int32_t high[3];
    bool Holds(int32_t a, int32_t b, int32_t c) const {
        return low[0] <= a && a <= high[0] && low[1] <= b && b <= high[1] && low[2] <= c &&
               c <= high[2];
    }
};

// Arguments 8..10 low bounds, 11..13 high bounds, 14 in value, 15 out value.
struct MaskKey {
    ColorBox box;
    PixelYC in, out;
};

MaskKey ArgMaskKey(int32_t line) {
    MaskKey key;
    for (int c = 0; c < 3; ++c) {
        key.box.low[c] = ArgInt(line, 8 + c);
        key.box.high[c] = ArgInt(line, 11 + c);
    }
    key.in = {Low16(ArgInt(line, 14)), 0, 0};
    key.out = {Low16(ArgInt(line, 15)), 0, 0};
    return key;
}

// The mask pixels of n source pixels keyed in R, G, B.
void MaskRGBRowPortable(const PixelYC* source, PixelYC* mask, int64_t n, const MaskKey& key) {
    for (int64_t i = 0; i < n; ++i) {
        ColorRGB rgb = YCToRGB(source[i].y, source[i].cb, source[i].cr);
        mask[i] = key.box.Holds(rgb.r, rgb.g, rgb.b) ? key.in : key.out;
    }
}

#if KINETRA_HAVE_AVX2
// The same four pixels at a time: the conversion in four-wide doubles, the
// same products and sums in the same order as YCToRGB, truncated the same
// way. The source may be the mask row itself: each group is read whole
// before it is written.
KINETRA_TARGET_AVX2 void MaskRGBRowAvx2(const PixelYC* source, PixelYC* mask, int64_t n,
                                        const MaskKey& key) {
    // The 12 values of four pixels come as values 0..7 (a) and 4..11 (b);
    // gathered to Y0..3 Cb0..3 (ycb) and Cr0..3 (cr). -1 leaves a zero.
    const __m128i ycb_a = _mm_setr_epi8(0, 1, 6, 7, -1, -1, -1, -1, 2, 3, 8, 9, -1, -1, -1, -1);
    const __m128i ycb_b = _mm_setr_epi8(-1, -1, -1, -1, 4, 5, 10, 11, -1, -1, -1, -1, 6, 7, 12, 13);
    const __m128i cr_a =
        _mm_setr_epi8(4, 5, 10, 11, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i cr_b =
        _mm_setr_epi8(-1, -1, -1, -1, 8, 9, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    // Mask values 0..3 spread to Y of pixels 0..2 (first 16 bytes) and 3.
    const __m128i spread_low =
        _mm_setr_epi8(0, 1, -1, -1, -1, -1, 2, 3, -1, -1, -1, -1, 4, 5, -1, -1);
    const __m128i spread_high =
        _mm_setr_epi8(-1, -1, 6, 7, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256d k1402 = _mm256_set1_pd(1.402), k0344 = _mm256_set1_pd(0.344);
    const __m256d k0714 = _mm256_set1_pd(0.714), k1772 = _mm256_set1_pd(1.772);
    const __m128i low_r = _mm_set1_epi32(key.box.low[0]), high_r = _mm_set1_epi32(key.box.high[0]);
    const __m128i low_g = _mm_set1_epi32(key.box.low[1]), high_g = _mm_set1_epi32(key.box.high[1]);
    const __m128i low_b = _mm_set1_epi32(key.box.low[2]), high_b = _mm_set1_epi32(key.box.high[2]);
    const __m128i in = _mm_set1_epi32(key.in.y), out = _mm_set1_epi32(key.out.y);
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const int16_t* values = reinterpret_cast<const int16_t*>(source + i);
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(values + 4));
        const __m128i ycb = _mm_or_si128(_mm_shuffle_epi8(a, ycb_a), _mm_shuffle_epi8(b, ycb_b));
        const __m128i crs = _mm_or_si128(_mm_shuffle_epi8(a, cr_a), _mm_shuffle_epi8(b, cr_b));
        const __m256d y = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(ycb));
        const __m256d cb = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(_mm_srli_si128(ycb, 8)));
        const __m256d cr = _mm256_cvtepi32_pd(_mm_cvtepi16_epi32(crs));
        const __m128i r = _mm256_cvttpd_epi32(_mm256_add_pd(y, _mm256_mul_pd(k1402, cr)));
        const __m128i g = _mm256_cvttpd_epi32(
            _mm256_sub_pd(_mm256_sub_pd(y, _mm256_mul_pd(k0344, cb)), _mm256_mul_pd(k0714, cr)));
        const __m128i bl = _mm256_cvttpd_epi32(_mm256_add_pd(y, _mm256_mul_pd(k1772, cb)));
        __m128i outside = _mm_or_si128(_mm_cmpgt_epi32(low_r, r), _mm_cmpgt_epi32(r, high_r));
        outside = _mm_or_si128(outside, _mm_cmpgt_epi32(low_g, g));
        outside = _mm_or_si128(outside, _mm_cmpgt_epi32(g, high_g));
        outside = _mm_or_si128(outside, _mm_cmpgt_epi32(low_b, bl));
        outside = _mm_or_si128(outside, _mm_cmpgt_epi32(bl, high_b));
        const __m128i chosen = _mm_blendv_epi8(in, out, outside);
        const __m128i packed = _mm_packs_epi32(chosen, chosen);  // already 16-bit values
        int16_t* to = reinterpret_cast<int16_t*>(mask + i);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(packed, spread_low));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to + 8), _mm_shuffle_epi8(packed, spread_high));
    }
    MaskRGBRowPortable(source + i, mask + i, n - i, key);
}
#endif

}  // namespace

// mkmask(source, mask, sx, sy, w, h, dx, dy, Ylo, Cblo, Crlo, Yhi, Cbhi, Crhi, in, out)
void cmd_mkmask(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    const MaskKey key = ArgMaskKey(line);
    WalkRect(request, Mirror::kNone, frame, [&key](PixelYC source, PixelYC& mask) {
        mask = key.box.Holds(source.y, source.cb, source.cr) ? key.in : key.out;
    });
}

// mkmask_rgb: the same with the box in R, G, B of the source pixel.
void cmd_mkmask_rgb(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    const MaskKey key = ArgMaskKey(line);
    auto row = MaskRGBRowPortable;
#if KINETRA_HAVE_AVX2
    if (simd::UseAvx2()) row = MaskRGBRowAvx2;
#endif
    RectWalk walk;
    if (!PlanRectWalk(request, Mirror::kNone, frame->max_w, frame->max_h, &walk)) return;
    RunRectWalkRows(walk, [row, &key](const PixelYC* source, PixelYC* mask, int64_t count) {
        row(source, mask, count, key);
    });
}
