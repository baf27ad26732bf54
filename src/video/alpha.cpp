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
// Vectors of 8 values (SSE2), 16 (AVX2) or 32 (AVX-512); the last values one
// at a time.
typedef int16_t Short8 __attribute__((vector_size(16)));
typedef int32_t Int8 __attribute__((vector_size(32)));
typedef int16_t Short16 __attribute__((vector_size(32)));
typedef int32_t Int16 __attribute__((vector_size(64)));
typedef int16_t Short32 __attribute__((vector_size(64)));
typedef int32_t Int32 __attribute__((vector_size(128)));

template <class Short, class Int>
KINETRA_INLINE void BlendValuesOf(const int16_t* source, int16_t* destination, int64_t n,
                                  int32_t opacity) {
    constexpr int64_t kLanes = sizeof(Short) / sizeof(int16_t);
    const int32_t rest = 4096 - opacity;
    int64_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Short s, d;
        std::memcpy(&s, source + i, sizeof s);
        std::memcpy(&d, destination + i, sizeof d);
        Int sum =
            __builtin_convertvector(s, Int) * opacity + __builtin_convertvector(d, Int) * rest;
        Short out = __builtin_convertvector(sum >> 12, Short);
        std::memcpy(destination + i, &out, sizeof out);
    }
    for (; i < n; ++i)
        destination[i] = BlendOver(source[i], destination[i], opacity);
}

void BlendValuesPortable(const int16_t* source, int16_t* destination, int64_t n, int32_t opacity) {
    BlendValuesOf<Short8, Int8>(source, destination, n, opacity);
}
#if KINETRA_HAVE_AVX2
KINETRA_TARGET_AVX2 void BlendValuesAvx2(const int16_t* source, int16_t* destination, int64_t n,
                                         int32_t opacity) {
    BlendValuesOf<Short16, Int16>(source, destination, n, opacity);
}
KINETRA_TARGET_AVX512 void BlendValuesAvx512(const int16_t* source, int16_t* destination, int64_t n,
                                             int32_t opacity) {
    BlendValuesOf<Short32, Int32>(source, destination, n, opacity);
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
    if (simd::UseAvx512()) blend = BlendValuesAvx512;
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
