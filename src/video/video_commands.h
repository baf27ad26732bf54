// The video command handlers, one per command, each with the same three
// parameters: the script line's index, the filter, the call.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

#define KINETRA_VIDEO_COMMAND(name) void name(int32_t line, FilterTable* filter, FrameInfo* frame)

// Frames and buffers (frame.cpp)
KINETRA_VIDEO_COMMAND(cmd_readvideo);
KINETRA_VIDEO_COMMAND(cmd_copyframe);
KINETRA_VIDEO_COMMAND(cmd_swapbuf);
KINETRA_VIDEO_COMMAND(cmd_dispsize);
// Image files (image.cpp)
KINETRA_VIDEO_COMMAND(cmd_readimage);
// Fills (fill.cpp)
KINETRA_VIDEO_COMMAND(cmd_fill);
KINETRA_VIDEO_COMMAND(cmd_fill_rgb);
KINETRA_VIDEO_COMMAND(cmd_fill2);
KINETRA_VIDEO_COMMAND(cmd_fill2_rgb);
// Masks (mask.cpp)
KINETRA_VIDEO_COMMAND(cmd_mkmask);
KINETRA_VIDEO_COMMAND(cmd_mkmask_rgb);
// Copies (copy.cpp)
KINETRA_VIDEO_COMMAND(cmd_copy);
KINETRA_VIDEO_COMMAND(cmd_copy2);
KINETRA_VIDEO_COMMAND(cmd_copy3);
// Alpha blends (alpha.cpp)
KINETRA_VIDEO_COMMAND(cmd_alpha);
KINETRA_VIDEO_COMMAND(cmd_alpha2);
KINETRA_VIDEO_COMMAND(cmd_alpha3);
KINETRA_VIDEO_COMMAND(cmd_alpha4);
// Flips and colour (flip_color.cpp)
KINETRA_VIDEO_COMMAND(cmd_flipv);
KINETRA_VIDEO_COMMAND(cmd_fliph);
KINETRA_VIDEO_COMMAND(cmd_color);
KINETRA_VIDEO_COMMAND(cmd_color_rgb);
// Resize and rotate (resize_rotate.cpp)
KINETRA_VIDEO_COMMAND(cmd_resize);
KINETRA_VIDEO_COMMAND(cmd_rotate);
// Mosaic, defocus, diffuse (blur.cpp)
KINETRA_VIDEO_COMMAND(cmd_mosaic);
KINETRA_VIDEO_COMMAND(cmd_defocus);
KINETRA_VIDEO_COMMAND(cmd_diffuse);
// Gamma and posterize (tone.cpp)
KINETRA_VIDEO_COMMAND(cmd_gamma);
KINETRA_VIDEO_COMMAND(cmd_posterize);
KINETRA_VIDEO_COMMAND(cmd_posterize_rgb);
// Text (text.cpp)
KINETRA_VIDEO_COMMAND(cmd_font);
KINETRA_VIDEO_COMMAND(cmd_font_rgb);
KINETRA_VIDEO_COMMAND(cmd_font2);
KINETRA_VIDEO_COMMAND(cmd_font2_rgb);
KINETRA_VIDEO_COMMAND(cmd_text);
// Ellipse (ellipse.cpp)
KINETRA_VIDEO_COMMAND(cmd_ellipse);
KINETRA_VIDEO_COMMAND(cmd_ellipse_rgb);

#undef KINETRA_VIDEO_COMMAND

// Releases the text canvas (at exit).
void ReleaseTextCanvas();

// The radius defocus blurs with: below 2 acts as 2; above the buffer's larger
// side less one it acts as that, since a tap farther out than any pixel of
// the buffer could be only repeats an edge pixel. Every radius up to that
// bound blurs exactly as asked.
constexpr int32_t kMinDefocusRadius = 2;
int64_t DefocusRadius(int32_t radius, int32_t max_w, int32_t max_h);

// Values defocus has summed in double precision because their float sum came
// too near an integer to be trusted (a count since load, for tests and
// benchmarks).
int64_t DefocusDoubleSums();
