// Alpha blends of a source rectangle into a destination: one opacity for
// every pixel (alpha), where the source Y is above a threshold (alpha2), where
// a mask Y is above a threshold (alpha3), or the mask Y as the opacity of each
// pixel (alpha4). Opacity is fixed point on the 4096 scale.
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

}  // namespace

// alpha(source, destination, sx, sy, w, h, dx, dy, opacity)
void cmd_alpha(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    const int32_t opacity = ArgFixed4096(line, 8);
    WalkRect(request, Mirror::kNone, frame, [opacity](PixelYC source, PixelYC& destination) {
        BlendPixel(source, destination, opacity);
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
