// Resampling a rectangle into another buffer: resize (any scale) and rotate
// (about the rectangle's centre). Both work in 8-bit sub-pixel positions, blend
// with BlendYC4 and draw only where a source pixel exists.
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/clamp.h"
#include "common/int128.h"
#include "common/parallel.h"
#include "common/simd.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/source_rect.h"
#include "video/video_commands.h"

#if KINETRA_HAVE_AVX2
#include <immintrin.h>
#endif

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
    // Destination columns [draw_begin, draw_end) have a source column inside
    // the source; columns[x - draw_begin] says where each reads.
    // Of these, the first `blended` read a source column with a right
    // neighbour; the others read the source's last column. The first `wide`
    // also have a second column to their right inside the source, so the
    // vector kernel may load 16 bytes from them.
    int32_t draw_begin, draw_end, blended, wide;
    const struct ResizeColumn* columns;
    bool avx2;  // rows blended by the AVX2 kernel
};

// Where a destination column reads: the source column (from source.left) and
// the weight toward its right neighbour; `weights` holds 255 - wx in its low
// and wx in its high 16 bits, the pair a vector multiply-add takes.
struct ResizeColumn {
    int32_t index;
    int32_t wx;
    int32_t weights;
};

// Fills job->columns for the destination columns: column x samples source
// column sx + (fx >> 8) with weight fx & 255, fx = (x - dx) * sw * 256 / dw,
// stepped exactly: quotient and remainder advance by those of span / dw, so
// no division per column. Those columns are contiguous, since fx grows with x.
void PlanResizeColumns(ResizeJob* job, ResizeColumn* columns) {
    int64_t span = job->sw * 256;
    Int128 start = Int128(job->col_begin - job->dx) * span;
    int64_t fx = (start / job->dw).ToInt64();
    int64_t rest = (start % job->dw).ToInt64();
    int64_t step = span / job->dw;
    int64_t step_rest = span % job->dw;
    job->draw_begin = job->col_end;
    job->draw_end = job->col_end;
    job->blended = 0;
    job->wide = 0;
    const int64_t width = job->source.right - job->source.left;
    int32_t count = 0;
    for (int32_t x = job->col_begin; x < job->col_end; ++x) {
        int64_t src_x = job->sx + (fx >> 8);
        if (src_x >= job->source.left && src_x < job->source.right) {
            if (count == 0) job->draw_begin = x;
            const int32_t index = static_cast<int32_t>(src_x - job->source.left);
            const int32_t wx = static_cast<int32_t>(fx & 255);
            if (index + 1 < width) job->blended = count + 1;
            if (index + 2 < width) job->wide = count + 1;
            columns[count++] = {index, wx, (255 - wx) | (wx << 16)};
            job->draw_end = x + 1;
        } else if (count > 0) {
            break;
        }
        fx += step;
        rest += step_rest;
        if (rest >= job->dw) {
            ++fx;
            rest -= job->dw;
        }
    }
    job->columns = columns;
}

#if KINETRA_HAVE_AVX2
// The 16 bytes at `a` in the low lane and those at `b` in the high lane.
KINETRA_TARGET_AVX2 KINETRA_INLINE __m256i LoadLanes(const int16_t* a, const int16_t* b) {
    return _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(a))),
        _mm_loadu_si128(reinterpret_cast<const __m128i*>(b)), 1);
}

// Pixel i of each lane's 8 values (pixel i, its right neighbour and a part of
// the next) mixed across: c00 * (255 - wx) + c10 * wx per channel, as 32-bit
// lanes Y, Cb, Cr, 0; `weights` holds each lane's pair (255 - wx, wx).
KINETRA_TARGET_AVX2 KINETRA_INLINE __m256i MixAcross(__m256i values, __m256i weights) {
    // Each channel beside its neighbour's: y0 y1 cb0 cb1 cr0 cr1 0 0.
    const __m256i pairs = _mm256_setr_epi8(0, 1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1, 0,
                                           1, 6, 7, 2, 3, 8, 9, 4, 5, 10, 11, -1, -1, -1, -1);
    return _mm256_madd_epi16(_mm256_shuffle_epi8(values, pairs), weights);
}

// Columns [0, count) of a destination row, count a multiple of 4, all with
// their right neighbour inside the source and another column beyond it (the
// loads take 16 bytes). The blend as BlendChannel does it: each source row
// mixed across, then the two rows mixed down; with wy 0 the lower row has no
// weight and is not read. Four pixels at a time, two per lane: the first
// vector holds pixels i and i + 2, the second i + 1 and i + 3, so that packing
// them puts the four in order.
template <bool kBelow>
KINETRA_TARGET_AVX2 void ResizeColumnsAvx2(const int16_t* top, const int16_t* below,
                                           const ResizeColumn* columns, int32_t count, int32_t wy,
                                           int16_t* out) {
    const __m256i keep = _mm256_setr_epi8(0, 1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1, 0,
                                          1, 2, 3, 4, 5, 8, 9, 10, 11, 12, 13, -1, -1, -1, -1);
    const __m256i close_up = _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7);
    const __m256i wy_top = _mm256_set1_epi32(255 - wy), wy_below = _mm256_set1_epi32(wy);
    for (int32_t i = 0; i < count; i += 4, out += 12) {
        const ResizeColumn* c = columns + i;
        const int64_t a0 = 3 * int64_t(c[0].index), a1 = 3 * int64_t(c[1].index);
        const int64_t a2 = 3 * int64_t(c[2].index), a3 = 3 * int64_t(c[3].index);
        const __m256i w02 = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_set1_epi32(c[0].weights)), _mm_set1_epi32(c[2].weights), 1);
        const __m256i w13 = _mm256_inserti128_si256(
            _mm256_castsi128_si256(_mm_set1_epi32(c[1].weights)), _mm_set1_epi32(c[3].weights), 1);
        __m256i v02 = _mm256_mullo_epi32(MixAcross(LoadLanes(top + a0, top + a2), w02), wy_top);
        __m256i v13 = _mm256_mullo_epi32(MixAcross(LoadLanes(top + a1, top + a3), w13), wy_top);
        if (kBelow) {
            v02 = _mm256_add_epi32(
                v02,
                _mm256_mullo_epi32(MixAcross(LoadLanes(below + a0, below + a2), w02), wy_below));
            v13 = _mm256_add_epi32(
                v13,
                _mm256_mullo_epi32(MixAcross(LoadLanes(below + a1, below + a3), w13), wy_below));
        }
        // Lanes: pixels i, i + 1 | i + 2, i + 3, each Y Cb Cr 0; then the
        // twelve values closed up and stored as 24 bytes.
        __m256i packed = _mm256_packs_epi32(_mm256_srai_epi32(v02, 16), _mm256_srai_epi32(v13, 16));
        packed = _mm256_permutevar8x32_epi32(_mm256_shuffle_epi8(packed, keep), close_up);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(packed));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), _mm256_extracti128_si256(packed, 1));
    }
}
#endif

// Destination row y: pixel (x, y) samples source position
// (sx, sy) + ((x - dx) * sw * 256 / dw, (y - dy) * sh * 256 / dh) / 256,
// blended with its right, lower and lower-right neighbours; the source's last
// row and column blend with themselves only, so nothing outside is read.
void ResizeRow(const ResizeJob& job, int32_t y, int32_t* mixed) {
    int64_t fy = (Int128(y - job.dy) * job.sh * 256 / job.dh).ToInt64();
    int64_t src_y = job.sy + (fy >> 8);
    if (src_y < job.source.top || src_y >= job.source.bottom) return;
    const int32_t wy = static_cast<int32_t>(fy & 255);
    const PixelYC* row = SourceRow(job.source, src_y);
    PixelYC* out = job.dest + static_cast<int64_t>(y) * job.max_w + job.draw_begin;
    const ResizeColumn* columns = job.columns;
    const int32_t count = job.draw_end - job.draw_begin;
    // Pixels of the source's last row or column blend with themselves only.
    const bool last_row = src_y == job.source.bottom - 1;
    const int32_t blended = last_row ? 0 : job.blended;
    const int16_t* top = reinterpret_cast<const int16_t*>(row);
    // Only read with a right neighbour, so never past the source's last row.
    const int16_t* below =
        reinterpret_cast<const int16_t*>(row + (last_row ? 0 : job.source.stride));
    int16_t* values = reinterpret_cast<int16_t*>(out);
    int32_t done = 0;  // pixels written
#if KINETRA_HAVE_AVX2
    if (job.avx2 && blended > 0) {
        done = std::min(blended, job.wide) & ~3;
        if (wy == 0) {
            ResizeColumnsAvx2<false>(top, below, columns, done, wy, values);
        } else {
            ResizeColumnsAvx2<true>(top, below, columns, done, wy, values);
        }
    }
#endif
    if (mixed != nullptr && done < blended) {
        // The blend is exact integer arithmetic well inside 32 bits, so it
        // may mix the two rows first: mixed = top * (255 - wy) + below * wy
        // over the columns read, one pass of vectors, then each pixel mixes
        // two of those.
        const int64_t first = 3 * static_cast<int64_t>(columns[done].index);
        const int64_t n = 3 * static_cast<int64_t>(columns[blended - 1].index + 2) - first;
        const int32_t wy_rest = 255 - wy;
        if (wy == 0) {
            for (int64_t k = 0; k < n; ++k)
                mixed[k] = top[first + k] * 255;
        } else {
            for (int64_t k = 0; k < n; ++k)
                mixed[k] = top[first + k] * wy_rest + below[first + k] * wy;
        }
        for (int32_t i = done; i < blended; ++i) {
            const int64_t at = 3 * static_cast<int64_t>(columns[i].index) - first;
            const int32_t wx = columns[i].wx, wx_rest = 255 - wx;
            for (int32_t c = 0; c < 3; ++c) {
                values[3 * i + c] =
                    static_cast<int16_t>((mixed[at + c] * wx_rest + mixed[at + 3 + c] * wx) >> 16);
            }
        }
    } else {
        for (int32_t i = done; i < blended; ++i) {
            const int32_t at = 3 * columns[i].index, wx = columns[i].wx;
            for (int32_t c = 0; c < 3; ++c) {
                values[3 * i + c] = BlendChannel(wx, wy, top[at + c], top[at + 3 + c],
                                                 below[at + c], below[at + 3 + c]);
            }
        }
    }
    for (int32_t i = std::max(done, blended); i < count; ++i) {
        const PixelYC p = row[columns[i].index];
        out[i] = BlendYC4(columns[i].wx, wy, p, p, p, p);
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

// a floor-divided by b > 0.
inline int64_t FloorDiv(int64_t a, int64_t b) {
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Steps t in [0, count) where L <= a + t * d < R, as [first, last).
void StepsWithin(int64_t a, int64_t d, int64_t L, int64_t R, int64_t count, int64_t* first,
                 int64_t* last) {
    int64_t lo = 0, hi = count;
    if (d > 0) {
        lo = std::max<int64_t>(lo, -FloorDiv(a - L, d));  // ceil((L - a) / d)
        hi = std::min<int64_t>(hi, -FloorDiv(a - R, d));  // ceil((R - a) / d)
    } else if (d < 0) {
        lo = std::max<int64_t>(lo, FloorDiv(a - R, -d) + 1);  // a + t d < R
        hi = std::min<int64_t>(hi, FloorDiv(a - L, -d) + 1);  // a + t d >= L
    } else if (a < L || a >= R) {
        hi = 0;
    }
    *first = lo;
    *last = std::max(lo, hi);
}

// Destination row y: the offset (ex, ey) from the destination centre turns
// into the source offset (u, v) / 4096 = (ex*C - ey*S, ex*S + ey*C) / 4096;
// along the row u and v grow by C and S per column. The columns whose source
// lies inside the source form one run, found once per row: a source column
// sx + (u >> 12) lies in left..right-1 exactly when 4096 (left - sx) <= u <
// 4096 (right - sx), and likewise for rows.
void RotateRow(const RotateJob& job, int32_t y) {
    int64_t ey = y - job.dest_cy;
    int64_t ex = job.col_begin - job.dest_cx;
    int64_t u = ex * job.cos4096 - ey * job.sin4096;
    int64_t v = ex * job.sin4096 + ey * job.cos4096;
    const int64_t count = job.col_end - job.col_begin;
    int64_t u_first, u_last, v_first, v_last;
    StepsWithin(u, job.cos4096, 4096 * (job.source.left - job.source_cx),
                4096 * (job.source.right - job.source_cx), count, &u_first, &u_last);
    StepsWithin(v, job.sin4096, 4096 * (job.source.top - job.source_cy),
                4096 * (job.source.bottom - job.source_cy), count, &v_first, &v_last);
    const int64_t first = std::max(u_first, v_first), last = std::min(u_last, v_last);
    if (first >= last) return;
    u += first * job.cos4096;
    v += first * job.sin4096;
    PixelYC* out = job.dest + static_cast<int64_t>(y) * job.max_w + job.col_begin;
    for (int64_t t = first; t < last; ++t) {
        int64_t src_x = job.source_cx + (u >> 12);
        int64_t src_y = job.source_cy + (v >> 12);
        out[t] = SampleSource(job.source, src_x, src_y, static_cast<int32_t>((u >> 4) & 255),
                              static_cast<int32_t>((v >> 4) & 255));
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
    ResizeColumn* columns = static_cast<ResizeColumn*>(
        std::malloc(static_cast<size_t>(job.col_end - job.col_begin) * sizeof(ResizeColumn)));
    if (columns != nullptr) {
        PlanResizeColumns(&job, columns);
        job.avx2 = simd::UseAvx2();
        // Room for the mixed rows: every column of the source, and one.
        const size_t mixed_values = 3 * static_cast<size_t>(job.source.right - job.source.left + 1);
        parallel::ParallelForRanges(
            row_begin, row_end, job.draw_end - job.draw_begin, [&](int64_t first, int64_t last) {
                int32_t* mixed = static_cast<int32_t*>(std::malloc(mixed_values * sizeof(int32_t)));
                for (int64_t y = first; y < last; ++y)
                    ResizeRow(job, int32_t(y), mixed);  // without room, pixel by pixel
                std::free(mixed);
            });
    }
    std::free(columns);
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
