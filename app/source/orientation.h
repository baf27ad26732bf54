// The way a video is meant to be seen when its file says it was stored
// turned or mirrored (a display matrix, as phones write for portrait
// clips), and the turning of decoded frames into that upright picture.
// Quarter turns and mirrors only: they move samples without changing them,
// so a turned frame keeps every value of the stored one.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

// Where the stored picture's sample (x, y) is shown: at
// (a*x + c*y, b*x + d*y), moved so that the picture starts at (0, 0). The
// entries are -1, 0 or 1, one nonzero per row and column.
struct Orientation {
    int a = 1, b = 0, c = 0, d = 1;

    bool upright() const { return a == 1 && b == 0 && c == 0 && d == 1; }
    // Width and height change places (a quarter turn).
    bool swaps_sides() const { return a == 0; }
    // "turned 90° clockwise", "turned 180°", "mirrored left to right", ...
    std::string Describe() const;
};

// The orientation a display matrix (nine 16.16 and 2.30 fixed-point
// numbers, FFmpeg's layout) asks for. False when it asks for a turn that is
// not a multiple of a quarter turn; `degrees` is then the turn
// (counterclockwise, as FFmpeg counts).
bool OrientationOf(const int32_t* matrix, Orientation* orientation, double* degrees);

// The pixel format of `format`'s frames once turned: the same where its
// chroma is subsampled alike both ways (or not at all); for 4:2:2, 4:4:0 and
// 4:1:1 planes, their 4:4:4 kin (the same planes and depths, chroma repeated);
// NONE where frames cannot be turned (packed 4:2:2, bit-packed, palettes,
// hardware frames).
AVPixelFormat TurnedFormat(AVPixelFormat format);

// Writes `frame` turned by `orientation` into `out`, whose buffers are
// allocated when its size or format does not fit and reused otherwise. The
// time stamps and colour tags go with it. False when the format cannot be
// turned or memory runs out.
bool TurnFrame(const AVFrame* frame, const Orientation& orientation, AVFrame* out);
