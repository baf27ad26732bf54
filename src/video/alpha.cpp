// Alpha blends of a source rectangle into a destination: one opacity for
// every pixel (alpha), where the source Y is above a threshold (alpha2), where
// a mask Y is above a threshold (alpha3), or the mask Y as the opacity of each
// pixel (alpha4). Opacity is fixed point on the 4096 scale.
#include <cstring>

#include "common/simd.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

#if KINETRA_HAVE_AVX2
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// s * a + d * (4096 - a), shifted right arithmetically by 12 (rounding toward
// minus infinity), stored as the low 16 bits. In 64 bits, so that opacities
// beyond the range where the 32-bit sum holds still give the low bits of the
// exact result.
int16_t BlendOver(int32_t s, int32_t d, int32_t opacity) {
    int64_t sum =
        static_cast<int64_t>(s) * opacity + static_cast<int64_t>(d) * (4096 - int64_t(opacity));
    return Low16(sum >> 12);
}

void BlendPixel(PixelYC source, PixelYC& destination, int32_t opacity) {
    destination.y = BlendOver(source.y, destination.y, opacity);
    destination.cb = BlendOver(source.cb, destination.cb, opacity);
    destination.cr = BlendOver(source.cr, destination.cr, opacity);
}

// BlendOver on a row of values at once, for opacities 0..4096: there each
// product and their sum fit in 32 bits, so the 32-bit sum is the exact one.
// The last values one at a time.
#if defined(__SSE2__)
// SSE2 has no 32-bit multiply, but its multiply-add of 16-bit pairs takes
// s * a + d * (4096 - a) in one step, exactly: both weights fit in 16 bits.
// The blend lies between s and d, so packing with saturation keeps it whole.
void BlendValuesPortable(const int16_t* source, int16_t* destination, int64_t n, int32_t opacity) {
    const __m128i weights =
        _mm_set1_epi32(int32_t(uint32_t(opacity) | uint32_t(4096 - opacity) << 16));
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m128i s = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(destination + i));
        const __m128i low = _mm_srai_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(s, d), weights), 12);
        const __m128i high = _mm_srai_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(s, d), weights), 12);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_packs_epi32(low, high));
    }
    for (; i < n; ++i)
        destination[i] = BlendOver(source[i], destination[i], opacity);
}
#else
// Vectors of eight values.
void BlendValuesPortable(const int16_t* source, int16_t* destination, int64_t n, int32_t opacity) {
    typedef int16_t Short8 __attribute__((vector_size(16)));
    typedef int32_t Int8 __attribute__((vector_size(32)));
    const int32_t rest = 4096 - opacity;
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Short8 s, d;
        std::memcpy(&s, source + i, sizeof s);
        std::memcpy(&d, destination + i, sizeof d);
        Int8 sum =
            __builtin_convertvector(s, Int8) * opacity + __builtin_convertvector(d, Int8) * rest;
        Short8 out = __builtin_convertvector(sum >> 12, Short8);
        std::memcpy(destination + i, &out, sizeof out);
    }
    for (; i < n; ++i)
        destination[i] = BlendOver(source[i], destination[i], opacity);
}
#endif

#if KINETRA_HAVE_AVX2
// BlendValuesPortable's multiply-adds, sixteen values a vector. Unpacking and
// packing both work within each 128-bit lane, so the values come back in
// their order. (An AVX-512 build of the same was slower on a machine that has
// it, and a blend in a render waits on memory.)
KINETRA_TARGET_AVX2 void BlendValuesAvx2(const int16_t* source, int16_t* destination, int64_t n,
                                         int32_t opacity) {
    const __m256i weights =
        _mm256_set1_epi32(int32_t(uint32_t(opacity) | uint32_t(4096 - opacity) << 16));
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m256i s = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(source + i));
        const __m256i d = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(destination + i));
        const __m256i low =
            _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(s, d), weights), 12);
        const __m256i high =
            _mm256_srai_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(s, d), weights), 12);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(destination + i),
                            _mm256_packs_epi32(low, high));
    }
    BlendValuesPortable(source + i, destination + i, n - i, opacity);
}
#endif

}  // namespace

// alpha(source, destination, sx, sy, w, h, dx, dy, opacity)
void cmd_alpha(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    const int32_t opacity = ArgFixed4096(line, 8);
    if (opacity < 0 || opacity > 4096) {
        WalkRect(request, Mirror::kNone, frame, [opacity](PixelYC source, PixelYC& destination) {
            BlendPixel(source, destination, opacity);
        });
        return;
    }
    auto blend = BlendValuesPortable;
#if KINETRA_HAVE_AVX2
    if (simd::UseAvx2()) blend = BlendValuesAvx2;
#endif
    RectWalk walk;
    if (!PlanRectWalk(request, Mirror::kNone, frame->max_w, frame->max_h, &walk)) return;
    RunRectWalkRows(walk,
                    [blend, opacity](const PixelYC* source, PixelYC* destination, int64_t count) {
                        blend(reinterpret_cast<const int16_t*>(source),
                              reinterpret_cast<int16_t*>(destination), 3 * count, opacity);
                    });
}

// alpha2(source, destination, sx, sy, w, h, dx, dy, opacity, threshold)
void cmd_alpha2(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    const int32_t opacity = ArgFixed4096(line, 8);
    const int32_t threshold = ArgInt(line, 9);
    WalkRect(request, Mirror::kNone, frame,
             [opacity, threshold](PixelYC source, PixelYC& destination) {
                 if (source.y > threshold) BlendPixel(source, destination, opacity);
             });
}

// alpha3(source, destination, mask, sx, sy, w, h, dx, dy, mx, my, opacity, threshold)
void cmd_alpha3(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, true, &request)) return;
    const int32_t opacity = ArgFixed4096(line, 11);
    const int32_t threshold = ArgInt(line, 12);
    WalkRect(request, Mirror::kNone, frame,
             [opacity, threshold](PixelYC source, PixelYC& destination, PixelYC mask) {
                 if (mask.y > threshold) BlendPixel(source, destination, opacity);
             });
}

// alpha4(source, destination, mask, sx, sy, w, h, dx, dy, mx, my)
void cmd_alpha4(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, true, &request)) return;
    WalkRect(request, Mirror::kNone, frame, [](PixelYC source, PixelYC& destination, PixelYC mask) {
        BlendPixel(source, destination, mask.y);
    });
}
