// Filled axis-aligned ellipses of one colour.
//
// The outline is an integer error-term walk along one quarter: starting at
// half-width x = a on row offset y = 0, each step goes down (y + 1), in
// (x - 1) or diagonally, and every position fills the span cx - x .. cx + x on
// rows cy + y and cy - y; the walk ends when x reaches -1. Two terms decide
// the steps. Written as functions of (x, y) rather than updated step by step:
//
//   e1(x, y) = 2a^2 (y + 1)^2 + b^2 ((x - 1)^2 + x^2) - 2a^2 b^2
//   e2(x, y) = a^2 (y^2 + (y + 1)^2) + 2b^2 (x - 1)^2 - 2a^2 b^2
//
// e1 < 0: step down; otherwise e2 >= 0: step in; otherwise diagonal.
//
// A row offset can receive several spans; the first (widest) one decides its
// pixels, so a row's picture is its half-width at the walk's first arrival,
// X(y). Rather than walking every step (a + b of them, 10^8 and more for
// large semi-axes), X is computed for the visible rows only:
//
// - e1 grows with x (x >= 0) and with y; e2 grows with x (x >= 1) and with y.
//   So on row y the walk steps in until the largest x with e1 < 0 (D(y)) or
//   with e2 < 0 (E(y)), both found by bisection, which gives X(y + 1) from
//   X(y) in one go (NextHalfWidth).
// - Those bounds also pin X down without the rows before: the walk keeps
//   min(a, D(y - 1)) <= X(y) <= min(a, max(D(y - 1), E(y - 1) - 1)), and when
//   X(y - 1) is known to exceed max(D(y - 1), E(y - 1)) the upper bound is
//   exact. Where neither settles X(y) (short stretches near the 45-degree
//   part of the outline), the rows before are tried until one does, and
//   NextHalfWidth walks forward from there.
//
// The terms reach about 2^126 for semi-axes near 2^31; they are computed in
// 128 bits, exactly.
#include <algorithm>

#include "common/int128.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/video_commands.h"

namespace {

using Wide = Int128;

struct EllipseShape {
    int64_t a, b;  // semi-axes, >= 1
    Wide a2, b2;   // a^2, b^2
    Wide a2b2x2;   // 2 a^2 b^2
};

Wide StepDownTerm(const EllipseShape& s, int64_t x, int64_t y) {
    Wide y1 = y + 1, xm = x - 1;
    return 2 * s.a2 * y1 * y1 + s.b2 * (xm * xm + Wide(x) * x) - s.a2b2x2;
}

Wide StepInTerm(const EllipseShape& s, int64_t x, int64_t y) {
    Wide y1 = y + 1, xm = x - 1;
    return s.a2 * (Wide(y) * y + y1 * y1) + 2 * s.b2 * xm * xm - s.a2b2x2;
}

// The largest x in [low, a] where term(x, y) < 0, or low - 1 when there is
// none; term must grow with x over that range.
template <typename Term>
int64_t LastNegative(const EllipseShape& s, int64_t y, int64_t low, Term term) {
    int64_t lo = low - 1, hi = s.a;
    while (lo < hi) {
        int64_t mid = lo + (hi - lo + 1) / 2;
        if (term(s, mid, y) < 0) {
            lo = mid;
        } else {
            hi = mid - 1;
        }
    }
    return lo;
}

// D(y): the largest x >= 0 from which the walk may step down on row y; -1 if none.
int64_t LastDown(const EllipseShape& s, int64_t y) {
    return LastNegative(s, y, 0, StepDownTerm);
}
// E(y): the largest x >= 1 where e2 < 0 on row y; 0 if none.
int64_t LastDiagonal(const EllipseShape& s, int64_t y) {
    return LastNegative(s, y, 1, StepInTerm);
}

// The half-width at which the walk, arriving on row y at half-width x,
// arrives on row y + 1; -1 when it ends on row y.
int64_t NextHalfWidth(const EllipseShape& s, int64_t x, int64_t y) {
    int64_t down = LastDown(s, y);
    int64_t diagonal = LastDiagonal(s, y);
    // Where the steps in stop: the largest x' <= x with e1 < 0 or e2 < 0.
    int64_t stop = -1;
    if (down >= 0) stop = std::min(x, down);
    if (diagonal >= 1 && x >= 1) stop = std::max(stop, std::min(x, diagonal));
    // (e2 < 0 at x = 0 alone would end the walk all the same: a diagonal step
    // from x = 0 leaves the quarter.)
    if (stop < 0) return -1;
    return StepDownTerm(s, stop, y) < 0 ? stop : stop - 1;
}

// X(y) when the bounds above settle it: true and *half_width set (-1: the
// walk ended before row y).
bool SettledHalfWidth(const EllipseShape& s, int64_t y, int64_t* half_width) {
    if (y == 0) {
        *half_width = s.a;
        return true;
    }
    int64_t down = LastDown(s, y - 1);
    int64_t diagonal = LastDiagonal(s, y - 1);
    int64_t upper = std::max(down, diagonal - 1);
    if (down >= 0 && std::min(s.a, down) == std::min(s.a, upper)) {
        *half_width = std::min(s.a, down);
        return true;
    }
    if (y >= 2) {
        int64_t down_before = LastDown(s, y - 2);
        if (down_before >= 0 && std::min(s.a, down_before) > std::max(down, diagonal)) {
            *half_width = upper;
            return true;
        }
    }
    return false;
}

// X(y), or -1 when the walk never reaches row y.
int64_t HalfWidthAt(const EllipseShape& s, int64_t y) {
    int64_t from = y, half_width = 0;
    while (!SettledHalfWidth(s, from, &half_width)) {
        --from;
    }
    for (; from < y && half_width >= 0; ++from) {
        half_width = NextHalfWidth(s, half_width, from);
    }
    return half_width;
}

struct EllipseJob {
    PixelYC* pixels;
    int32_t max_w, max_h;
    int64_t cx, cy;
    PixelYC color;
};

void FillSpan(const EllipseJob& job, int64_t row, int64_t x0, int64_t x1) {
    if (row < 0 || row >= job.max_h || x1 < 0 || x0 >= job.max_w || x0 > x1) return;
    PixelYC* p = job.pixels + row * job.max_w;
    std::fill(p + std::max<int64_t>(x0, 0), p + std::min<int64_t>(x1, job.max_w - 1) + 1,
              job.color);
}

// Fills row offsets first..last (visible ones, in order) with their spans.
// False once the walk has ended.
bool FillRows(const EllipseJob& job, const EllipseShape& s, int64_t first, int64_t last) {
    int64_t half_width = HalfWidthAt(s, first);
    for (int64_t y = first;; ++y) {
        if (half_width < 0) return false;
        FillSpan(job, job.cy + y, job.cx - half_width, job.cx + half_width);
        if (y != 0) FillSpan(job, job.cy - y, job.cx - half_width, job.cx + half_width);
        if (y == last) return true;
        half_width = NextHalfWidth(s, half_width, y);
    }
}

void DrawEllipse(const EllipseJob& job, int64_t a, int64_t b) {
    EllipseShape s;
    s.a = a;
    s.b = b;
    s.a2 = Wide(a) * a;
    s.b2 = Wide(b) * b;
    s.a2b2x2 = 2 * s.a2 * s.b2;
    // Row offsets whose rows lie inside the buffer: cy + y in 0..max_h-1
    // (below the centre) and cy - y in 0..max_h-1 (above); the walk never
    // passes y = b. Each range is filled in increasing order of y.
    int64_t ranges[2][2] = {
        {std::max<int64_t>(-job.cy, 0), std::min<int64_t>(job.max_h - 1 - job.cy, b)},
        {std::max<int64_t>(job.cy - (job.max_h - 1), 0), std::min<int64_t>(job.cy, b)},
    };
    bool present[2] = {ranges[0][0] <= ranges[0][1], ranges[1][0] <= ranges[1][1]};
    if (!present[0] || !present[1]) {
        int k = present[0] ? 0 : 1;
        if (present[k]) FillRows(job, s, ranges[k][0], ranges[k][1]);
        return;
    }
    int first = ranges[0][0] <= ranges[1][0] ? 0 : 1, second = 1 - first;
    if (ranges[second][0] <= ranges[first][1] + 1) {
        FillRows(job, s, ranges[first][0], std::max(ranges[0][1], ranges[1][1]));
    } else if (FillRows(job, s, ranges[first][0], ranges[first][1])) {
        FillRows(job, s, ranges[second][0], ranges[second][1]);
    }
}

void RunEllipse(int32_t line, const FrameInfo* frame, PixelYC color) {
    EllipseJob job;
    job.pixels = AcquireImageBuffer(ArgInt(line, 0));
    if (job.pixels == nullptr) return;
    int32_t a = ArgInt(line, 3), b = ArgInt(line, 4);
    if (a < 1 || b < 1) return;
    job.max_w = frame->max_w;
    job.max_h = frame->max_h;
    job.cx = ArgInt(line, 1);
    job.cy = ArgInt(line, 2);
    job.color = color;
    DrawEllipse(job, a, b);
}

}  // namespace

// ellipse(buf, cx, cy, a, b, Y, Cb, Cr)
void cmd_ellipse(int32_t line, FilterTable*, FrameInfo* frame) {
    RunEllipse(line, frame, ArgColorYC(line, 5));
}

// ellipse_rgb(buf, cx, cy, a, b, R, G, B)
void cmd_ellipse_rgb(int32_t line, FilterTable*, FrameInfo* frame) {
    RunEllipse(line, frame, ArgColorRGB(line, 5));
}
