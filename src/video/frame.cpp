// Whole images in and out of the buffers: frames of other video files, frames
// of the project, the exchange of the host's two images, the output size.
#include "host/buffers.h"
#include "host/video_file_cache.h"
#include "script/arguments.h"
#include "script/run_failures.h"
#include "video/rect_walk.h"
#include "video/video_commands.h"

// readvideo(buffer, frame, file): the host writes frame `frame` (rounded
// down) of the file into the buffer; the file is opened once and cached.
void cmd_readvideo(int32_t line, FilterTable* filter, FrameInfo* frame) {
    PixelYC* buffer = AcquireImageBuffer(ArgInt(line, 0));
    if (buffer == nullptr) return;
    if (!ReadVideoFrame(filter, ArgText(line, 2), ArgFrame(line, 1), buffer)) {
        ReportFileFailure(line, ArgText(line, 2), frame->frame);
    }
}

// copyframe(buffer, frame, sx, sy, w, h, dx, dy): a rectangle of any frame
// of the project, as the host renders it, into a buffer; pixels whose source
// or destination lies outside the image are skipped.
void cmd_copyframe(int32_t line, FilterTable* filter, FrameInfo* frame) {
    WalkRequest request;
    request.destination = AcquireImageBuffer(ArgInt(line, 0));
    if (request.destination == nullptr) return;
    request.sx = ArgInt(line, 2);
    request.sy = ArgInt(line, 3);
    request.width = ArgInt(line, 4);
    request.height = ArgInt(line, 5);
    request.dx = ArgInt(line, 6);
    request.dy = ArgInt(line, 7);
    request.mx = request.my = 0;
    request.mask = nullptr;
    if (request.width < 1 || request.height < 1) return;
    request.width = ClampCount(request.width, frame->max_w);
    request.height = ClampCount(request.height, frame->max_h);

    const HostServices* services = filter->services;
    if (services == nullptr || services->get_rendered_frame == nullptr) return;
    if (services->reserve_frame_cache != nullptr) {
        services->reserve_frame_cache(filter, frame->max_w, frame->max_h, 5, 0);
    }
    request.source = services->get_rendered_frame(filter, frame->edit_handle, ArgFrame(line, 1),
                                                  nullptr, nullptr);
    if (request.source == nullptr) return;
    CopyRect(request, frame);
}

// swapbuf: exchanges the host's two images; later lines see buffer 0 and 1
// exchanged, and the host shows the image that was buffer 1.
void cmd_swapbuf(int32_t, FilterTable*, FrameInfo* frame) {
    PixelYC* shown = frame->edit_pixels;
    frame->edit_pixels = frame->temp_pixels;
    frame->temp_pixels = shown;
    g_image_buffers.entry[0] = frame->edit_pixels;
    g_image_buffers.entry[1] = frame->temp_pixels;
}

// dispsize(w, h): the output frame becomes the top-left w x h of buffer 0,
// for 16 <= w <= max_w and 16 <= h <= max_h; other sizes change nothing.
void cmd_dispsize(int32_t line, FilterTable*, FrameInfo* frame) {
    constexpr int32_t kSmallestSide = 16;
    int32_t w = ArgInt(line, 0);
    int32_t h = ArgInt(line, 1);
    if (w < kSmallestSide || w > frame->max_w || h < kSmallestSide || h > frame->max_h) return;
    frame->width = w;
    frame->height = h;
}
