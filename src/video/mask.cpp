// Colour-key masks: every pixel of a source rectangle is tested against a box
// of channel ranges, and the mask pixel at the matching place becomes the in
// value (inside the box) or the out value, with Cb and Cr 0.
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

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
    WalkRect(request, Mirror::kNone, frame, [&key](PixelYC source, PixelYC& mask) {
        ColorRGB rgb = YCToRGB(source.y, source.cb, source.cr);
        mask = key.box.Holds(rgb.r, rgb.g, rgb.b) ? key.in : key.out;
    });
}
