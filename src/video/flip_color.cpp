// Mirrored copies (flipv top to bottom, fliph left to right) and gain and
// offset per channel in place, in YC (color) or RGB (color_rgb).
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

namespace {

void Flip(int32_t line, const FrameInfo* frame, Mirror mirror) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    WalkRect(request, mirror, frame,
             [](PixelYC source, PixelYC& destination) { destination = source; });
}

// Gain and offset of one channel, fixed point on the 4096 scale.
struct ChannelAdjust {
    int32_t gain, offset;
    // (c * gain + offset) >> 12, in 64 bits so that large gains and offsets
    // keep the low bits of the exact result.
    int64_t Apply(int32_t c) const { return (static_cast<int64_t>(c) * gain + offset) >> 12; }
};

// Arguments 0 buffer, 1 left, 2 top, 3 width, 4 height, 5..7 gains, 8..10
// offsets.
struct ColorCommand {
    PixelYC* buffer;
    ClippedRect rect;
    ChannelAdjust adjust[3];
};

bool PrepareColorCommand(int32_t line, const FrameInfo* frame, ColorCommand* command) {
    for (int c = 0; c < 3; ++c) {
        command->adjust[c] = {ArgFixed4096(line, 5 + c), ArgFixed4096(line, 8 + c)};
    }
    command->buffer = AcquireImageBuffer(ArgInt(line, 0));
    if (command->buffer == nullptr) return false;
    int32_t w = ArgInt(line, 3);
    int32_t h = ArgInt(line, 4);
    if (w < 1 || h < 1) return false;
    w = ClampCount(w, frame->max_w);
    h = ClampCount(h, frame->max_h);
    command->rect =
        ClipToBuffer(ArgInt(line, 1), ArgInt(line, 2), w, h, frame->max_w, frame->max_h);
    return true;
}

// An adjusted R, G or B as the 32-bit input of RGBToYC; only gains of
// magnitude 16 or more or offsets in the hundreds of thousands leave the range,
// and those saturate.
int32_t SaturateToInt32(int64_t v) {
    return v > INT32_MAX ? INT32_MAX : (v < INT32_MIN ? INT32_MIN : static_cast<int32_t>(v));
}

}  // namespace

// flipv(source, destination, sx, sy, w, h, dx, dy): the first source row
// lands in the last destination row.
void cmd_flipv(int32_t line, FilterTable*, FrameInfo* frame) {
    Flip(line, frame, Mirror::kRows);
}

// fliph: the first source column lands in the last destination column.
void cmd_fliph(int32_t line, FilterTable*, FrameInfo* frame) {
    Flip(line, frame, Mirror::kColumns);
}

// color(buffer, x, y, w, h, Y gain, Cb gain, Cr gain, Y offset, Cb offset, Cr offset)
void cmd_color(int32_t line, FilterTable*, FrameInfo* frame) {
    ColorCommand command;
    if (!PrepareColorCommand(line, frame, &command)) return;
    const ChannelAdjust y = command.adjust[0], cb = command.adjust[1], cr = command.adjust[2];
    AdjustRect(command.buffer, frame->max_w, command.rect, [y, cb, cr](PixelYC& pixel) {
        pixel.y = Low16(y.Apply(pixel.y));
        pixel.cb = Low16(cb.Apply(pixel.cb));
        pixel.cr = Low16(cr.Apply(pixel.cr));
    });
}

// color_rgb: the same on R, G, B, converted from the pixel and back.
void cmd_color_rgb(int32_t line, FilterTable*, FrameInfo* frame) {
    ColorCommand command;
    if (!PrepareColorCommand(line, frame, &command)) return;
    const ChannelAdjust r = command.adjust[0], g = command.adjust[1], b = command.adjust[2];
    AdjustRect(command.buffer, frame->max_w, command.rect, [r, g, b](PixelYC& pixel) {
        ColorRGB rgb = YCToRGB(pixel.y, pixel.cb, pixel.cr);
        pixel = RGBToYC(SaturateToInt32(r.Apply(rgb.r)), SaturateToInt32(g.Apply(rgb.g)),
                        SaturateToInt32(b.Apply(rgb.b)));
    });
}
