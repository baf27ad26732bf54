// Resampling a rectangle into another buffer: resize (any scale) and rotate
// (about the rectangle's centre). Both work in 8-bit sub-pixel positions, blend
// with BlendYC4 and draw only where a source pixel exists.
#include <algorithm>
#include <cmath>

#include "common/clamp.h"
#include "common/int128.h"
#include "common/parallel.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/source_rect.h"
#include "video/video_commands.h"

namespace {

// Source pixel (x, y), inside the source, blended with its right, lower and
// lower-right neighbours. The last column and the last row of the source (cut
// to the buffer) blend with themselves only, so nothing outside is read.
inline PixelYC SampleSource(const SourceRect& source, int64_t x, int64_t y, int32_t wx,
                            int32_t wy) {
    const PixelYC* row = SourceRow(source, y);
    int64_t i = x - source.left;
    PixelYC p00 = row[i];
    if (x == source.right - 1 || y == source.bottom - 1) {
        return BlendYC4(wx, wy, p00, p00, p00, p00);
    }
    const PixelYC* below = row + source.stride;
    return BlendYC4(wx, wy, p00, row[i + 1], below[i], below[i + 1]);
}

// ---- resize ----------------------------------------------------------------

struct ResizeJob {
    SourceRect source;
    PixelYC* dest;
    int32_t max_w;
    int64_t sx, sy, sw, sh;      // source rectangle (sizes clamped)
    int64_t dx, dy, dw, dh;      // destination rectangle (sizes clamped)
    int32_t col_begin, col_end;  // destination columns inside the buffer
};

// Destination row y: pixel (x, y) samples source position
// (sx, sy) + ((x - dx) * sw * 256 / dw, (y - dy) * sh * 256 / dh) / 256.
void ResizeRow(const ResizeJob& job, int32_t y) {
    int64_t fy = (Int128(y - job.dy) * job.sh * 256 / job.dh).ToInt64();
    int64_t src_y = job.sy + (fy >> 8);
    if (src_y < job.source.top || src_y >= job.source.bottom) return;
    int32_t wy = static_cast<int32_t>(fy & 255);

    // fx = i * span / dw for column i = x - dx, stepped exactly: quotient and
    // remainder advance by those of span / dw, so no division per pixel.
    int64_t span = job.sw * 256;
    Int128 start = Int128(job.col_begin - job.dx) * span;
    int64_t fx = (start / job.dw).ToInt64();
    int64_t rest = (start % job.dw).ToInt64();
    int64_t step = span / job.dw;
    int64_t step_rest = span % job.dw;

    PixelYC* out = job.dest + static_cast<int64_t>(y) * job.max_w;
    for (int32_t x = job.col_begin; x < job.col_end; ++x) {
        int64_t src_x = job.sx + (fx >> 8);
        if (src_x >= job.source.left && src_x < job.source.right) {
            out[x] = SampleSource(job.source, src_x, src_y, static_cast<int32_t>(fx & 255), wy);
        }
        fx += step;
        rest += step_rest;
        if (rest >= job.dw) {
            ++fx;
            rest -= job.dw;
        }
    }
}

// ---- rotate ----------------------------------------------------------------

struct RotateJob {
    SourceRect source;
    PixelYC* dest;
    int32_t max_w;
    int64_t sin4096, cos4096;      // sine and cosine scaled by 4096, truncated
    int64_t source_cx, source_cy;  // sx + W/2, sy + H/2
    int64_t dest_cx, dest_cy;      // dx + W/2, dy + H/2
    int32_t col_begin, col_end;    // destination columns of the area inside the buffer
};

// Destination row y: the offset (ex, ey) from the destination centre turns
// into the source offset (u, v) / 4096 = (ex*C - ey*S, ex*S + ey*C) / 4096;
// along the row u and v grow by C and S per column.
void RotateRow(const RotateJob& job, int32_t y) {
    int64_t ey = y - job.dest_cy;
    int64_t ex = job.col_begin - job.dest_cx;
    int64_t u = ex * job.cos4096 - ey * job.sin4096;
    int64_t v = ex * job.sin4096 + ey * job.cos4096;
    PixelYC* out = job.dest + static_cast<int64_t>(y) * job.max_w;
    for (int32_t x = job.col_begin; x < job.col_end; ++x) {
        int64_t src_x = job.source_cx + (u >> 12);
        int64_t src_y = job.source_cy + (v >> 12);
        if (src_x >= job.source.left && src_x < job.source.right && src_y >= job.source.top &&
            src_y < job.source.bottom) {
            out[x] = SampleSource(job.source, src_x, src_y, static_cast<int32_t>((u >> 4) & 255),
                                  static_cast<int32_t>((v >> 4) & 255));
        }
        u += job.cos4096;
        v += job.sin4096;
    }
}

}  // namespace

// resize(src, dst, sx, sy, sw, sh, dx, dy, dw, dh)
void cmd_resize(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t sw = ArgInt(line, 4), sh = ArgInt(line, 5);
    int32_t dw = ArgInt(line, 8), dh = ArgInt(line, 9);
    if (sw < 1 || sh < 1 || dw < 1 || dh < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;

    ResizeJob job;
    job.dest = dst;
    job.max_w = max_w;
    job.sx = ArgInt(line, 2);
    job.sy = ArgInt(line, 3);
    job.sw = ClampCount(sw, max_w);
    job.sh = ClampCount(sh, max_h);
    job.dx = ArgInt(line, 6);
    job.dy = ArgInt(line, 7);
    job.dw = ClampCount(dw, max_w);
    job.dh = ClampCount(dh, max_h);
    job.col_begin = ClampTo(job.dx, max_w);
    job.col_end = ClampTo(job.dx + job.dw, max_w);
    int32_t row_begin = ClampTo(job.dy, max_h);
    int32_t row_end = ClampTo(job.dy + job.dh, max_h);
    if (job.col_begin >= job.col_end || row_begin >= row_end) return;
    if (!OpenSourceRect(&job.source, src, src == dst, job.sx, job.sy, job.sw, job.sh, max_w,
                        max_h)) {
        return;
    }
    parallel::ParallelFor(row_begin, row_end, job.col_end - job.col_begin,
                          [&job](int32_t y) { ResizeRow(job, y); });
    CloseSourceRect(&job.source);
}

// rotate(src, dst, angle, sx, sy, W, H, dx, dy)
void cmd_rotate(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int64_t w = ArgInt(line, 5), h = ArgInt(line, 6);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;

    double angle = ArgValue(line, 2);
    int64_t s = ToInt32(std::sin(angle) * 4096);
    int64_t c = ToInt32(std::cos(angle) * 4096);
    int64_t clamped_w = ClampCount(static_cast<int32_t>(w), max_w);
    int64_t clamped_h = ClampCount(static_cast<int32_t>(h), max_h);
    // How far the turned rectangle's bounding box reaches beyond the unturned
    // one on each side (from the unclamped sizes; may be negative).
    int64_t margin_x = ((std::abs(c * w) + std::abs(s * h)) / 4096 - w) / 2;
    int64_t margin_y = ((std::abs(s * w) + std::abs(c * h)) / 4096 - h) / 2;
    int64_t sx = ArgInt(line, 3), sy = ArgInt(line, 4);
    int64_t dx = ArgInt(line, 7), dy = ArgInt(line, 8);

    RotateJob job;
    job.dest = dst;
    job.max_w = max_w;
    job.sin4096 = s;
    job.cos4096 = c;
    job.source_cx = sx + w / 2;
    job.source_cy = sy + h / 2;
    job.dest_cx = dx + w / 2;
    job.dest_cy = dy + h / 2;
    job.col_begin = ClampTo(dx - margin_x, max_w);
    job.col_end = ClampTo(dx + clamped_w + margin_x, max_w);
    int32_t row_begin = ClampTo(dy - margin_y, max_h);
    int32_t row_end = ClampTo(dy + clamped_h + margin_y, max_h);
    if (job.col_begin >= job.col_end || row_begin >= row_end) return;
    if (!OpenSourceRect(&job.source, src, src == dst, sx, sy, clamped_w, clamped_h, max_w, max_h)) {
        return;
    }
    parallel::ParallelFor(row_begin, row_end, 2 * (job.col_end - job.col_begin),
                          [&job](int32_t y) { RotateRow(job, y); });
    CloseSourceRect(&job.source);
}
