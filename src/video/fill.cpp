// Solid colour in a rectangle: everywhere (fill) or where a mask's Y is above
// a threshold (fill2); the _rgb twins take the colour as R, G, B on the
// 0..4096 scale.
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

namespace {

// fill(buffer, x, y, w, h, colour).
void Fill(int32_t line, const FrameInfo* frame, PixelYC color) {
    PixelYC* buffer = AcquireImageBuffer(ArgInt(line, 0));
    if (buffer == nullptr) return;
    int32_t w = ArgInt(line, 3);
    int32_t h = ArgInt(line, 4);
    if (w < 1 || h < 1) return;
    w = ClampCount(w, frame->max_w);
    h = ClampCount(h, frame->max_h);
    ClippedRect rect =
        ClipToBuffer(ArgInt(line, 1), ArgInt(line, 2), w, h, frame->max_w, frame->max_h);
    AdjustRect(buffer, frame->max_w, rect, [color](PixelYC& pixel) { pixel = color; });
}

// fill2(buffer, mask, x, y, w, h, colour, mx, my, threshold): the rectangle
// walks onto itself, so clipping is that of a masked copy; a mask that is the
// painted buffer is read as it was before the command.
void FillMasked(int32_t line, const FrameInfo* frame, PixelYC color) {
    WalkRequest request;
    request.destination = AcquireImageBuffer(ArgInt(line, 0));
    if (request.destination == nullptr) return;
    request.mask = AcquireImageBuffer(ArgInt(line, 1));
    if (request.mask == nullptr) return;
    request.source = request.destination;
    request.dx = request.sx = ArgInt(line, 2);
    request.dy = request.sy = ArgInt(line, 3);
    request.width = ArgInt(line, 4);
    request.height = ArgInt(line, 5);
    request.mx = ArgInt(line, 9);
    request.my = ArgInt(line, 10);
    const int32_t threshold = ArgInt(line, 11);
    if (request.width < 1 || request.height < 1) return;
    request.width = ClampCount(request.width, frame->max_w);
    request.height = ClampCount(request.height, frame->max_h);
    WalkRect(request, Mirror::kNone, frame,
             [color, threshold](PixelYC, PixelYC& destination, PixelYC mask) {
                 if (mask.y > threshold) destination = color;
             });
}

}  // namespace

void cmd_fill(int32_t line, FilterTable*, FrameInfo* frame) {
    Fill(line, frame, ArgColorYC(line, 5));
}

void cmd_fill_rgb(int32_t line, FilterTable*, FrameInfo* frame) {
    Fill(line, frame, ArgColorRGB(line, 5));
}

void cmd_fill2(int32_t line, FilterTable*, FrameInfo* frame) {
    FillMasked(line, frame, ArgColorYC(line, 6));
}

void cmd_fill2_rgb(int32_t line, FilterTable*, FrameInfo* frame) {
    FillMasked(line, frame, ArgColorRGB(line, 6));
}
