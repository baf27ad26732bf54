// Rectangle copies: every pixel (copy), pixels whose own Y is above a
// threshold (copy2), pixels whose mask Y is above a threshold (copy3).
#include "script/arguments.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

// copy(source, destination, sx, sy, w, h, dx, dy)
void cmd_copy(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    CopyRect(request, frame);
}

// copy2(source, destination, sx, sy, w, h, dx, dy, threshold)
void cmd_copy2(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, false, &request)) return;
    const int32_t threshold = ArgInt(line, 8);
    WalkRect(request, Mirror::kNone, frame, [threshold](PixelYC source, PixelYC& destination) {
        if (source.y > threshold) destination = source;
    });
}

// copy3(source, destination, mask, sx, sy, w, h, dx, dy, mx, my, threshold)
void cmd_copy3(int32_t line, FilterTable*, FrameInfo* frame) {
    WalkRequest request;
    if (!PrepareWalkCommand(line, frame, true, &request)) return;
    const int32_t threshold = ArgInt(line, 11);
    WalkRect(request, Mirror::kNone, frame,
             [threshold](PixelYC source, PixelYC& destination, PixelYC mask) {
                 if (mask.y > threshold) destination = source;
             });
}
