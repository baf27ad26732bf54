// The rectangle walk: the per-pixel walk over a source rectangle, with a
// destination position, an optional mask position and per-pixel clipping on
// all three, that the masks, copies, alpha blends, flips and masked fills run
// with their own pixel operations. Also the clipped in-place rectangle of the
// plain fills and the colour commands, and the argument layout these commands
// share.
//
// Clipping is per pixel and on every side: a pixel is skipped when its source,
// destination or mask position lies outside the max_w x max_h buffer, and the
// other pixels stay where they are (nothing shifts, nothing wraps). Since the
// tests do not depend on the row, the surviving columns form one range and the
// surviving rows another; the walk computes both once and the row workers
// carry no tests at all.
//
// A source or mask that is also the destination buffer is read as it was
// before the command (memmove semantics): when the areas overlap and the
// mapping is not pixel onto itself, the part that will be read is copied into
// a scratch block first. So no result depends on the thread count, and an
// in-place flip of a whole buffer really flips it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "common/parallel.h"
#include "common/stream_copy.h"
#include "host/buffers.h"
#include "kinetra/plugin_abi.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/source_rect.h"

// A weight argument (opacity, gain, offset) as fixed point on the 4096 scale:
// the value times 4096, truncated toward zero (0.3 gives 1228).
inline int32_t ArgFixed4096(int32_t line, int k) {
    return ToInt32(ArgValue(line, k) * 4096.0);
}

// ---- the clipped in-place rectangle (fill, color) ------------------------

// Columns x0..x1-1 and rows y0..y1-1 of a buffer; empty when x0 >= x1 or
// y0 >= y1.
struct ClippedRect {
    int32_t x0, x1, y0, y1;
};

// The part of the rectangle (left, top, width x height) inside the buffer.
inline ClippedRect ClipToBuffer(int32_t left, int32_t top, int32_t width, int32_t height,
                                int32_t max_w, int32_t max_h) {
    ClippedRect r;
    r.x0 = ClampTo(left, max_w);
    r.x1 = ClampTo(static_cast<int64_t>(left) + width, max_w);
    r.y0 = ClampTo(top, max_h);
    r.y1 = ClampTo(static_cast<int64_t>(top) + height, max_h);
    return r;
}

template <class PixelOp>
inline void AdjustRow(PixelYC* row, int32_t x0, int32_t x1, const PixelOp& op) {
    for (int32_t x = x0; x < x1; ++x)
        op(row[x]);
}

// Runs op(PixelYC&) on every pixel of the rectangle, in place; rows in
// parallel, each row's columns in ascending order.
template <class PixelOp>
void AdjustRect(PixelYC* buffer, int32_t max_w, ClippedRect rect, const PixelOp& op) {
    if (rect.x0 >= rect.x1) return;
    parallel::ParallelFor(rect.y0, rect.y1, rect.x1 - rect.x0, [&](int32_t y) {
        AdjustRow(buffer + static_cast<size_t>(y) * max_w, rect.x0, rect.x1, op);
    });
}

// ---- the rectangle walk -------------------------------------------------

// What a walking command names, its arguments converted: buffers, the source
// origin, the size (W x H, each at least 1 and at most the buffer's), the
// destination origin and the mask origin.
struct WalkRequest {
    const PixelYC* source;
    PixelYC* destination;
    const PixelYC* mask;  // null: no mask
    int32_t sx, sy, width, height, dx, dy, mx, my;
};

// The argument layout of mkmask, copy, alpha and the flips: 0 source buffer,
// 1 destination buffer, [2 mask buffer,] then source left and top, width,
// height, destination left and top [, mask left and top]. Makes the buffers
// available in that order (the first failure ends the command, so earlier
// new buffers stay allocated) and then tests and clamps the size. False when
// the command draws nothing.
inline bool PrepareWalkCommand(int32_t line, const FrameInfo* frame, bool masked,
                               WalkRequest* request) {
    int first = masked ? 3 : 2;
    request->sx = ArgInt(line, first);
    request->sy = ArgInt(line, first + 1);
    request->width = ArgInt(line, first + 2);
    request->height = ArgInt(line, first + 3);
    request->dx = ArgInt(line, first + 4);
    request->dy = ArgInt(line, first + 5);
    request->mx = masked ? ArgInt(line, first + 6) : 0;
    request->my = masked ? ArgInt(line, first + 7) : 0;

    request->source = AcquireImageBuffer(ArgInt(line, 0));
    if (request->source == nullptr) return false;
    request->destination = AcquireImageBuffer(ArgInt(line, 1));
    if (request->destination == nullptr) return false;
    request->mask = nullptr;
    if (masked) {
        request->mask = AcquireImageBuffer(ArgInt(line, 2));
        if (request->mask == nullptr) return false;
    }

    if (request->width < 1 || request->height < 1) return false;
    request->width = ClampCount(request->width, frame->max_w);
    request->height = ClampCount(request->height, frame->max_h);
    return true;
}

// How the destination is laid out against the source.
enum class Mirror {
    kNone,     // (sx + j, sy + k) goes to (dx + j, dy + k)
    kRows,     // ... to (dx + j, dy + H - 1 - k): flipv
    kColumns,  // ... to (dx + W - 1 - j, dy + k): fliph
};

// Where the walk reads: pixel (j, k) of the rectangle is
// pixels[(y0 + k) * stride + x0 + j]. Either a whole buffer at the command's
// origin, or a scratch copy of the rows and columns that survive clipping.
struct WalkView {
    const PixelYC* pixels;
    int64_t stride, x0, y0;
};

// A planned walk: the surviving rows k0..k1-1 and columns j0..j1-1 of the
// rectangle, the views to read, and where each pixel is written. Copies it
// reads are the buffers' scratch blocks (kept for the next command).
struct RectWalk {
    int64_t k0, k1, j0, j1;
    WalkView source;
    WalkView mask;  // pixels null without a mask
    PixelYC* destination;
    int64_t max_w;
    int64_t row_base, row_step;  // destination row of k: row_base + row_step * k
    int64_t col_base, col_step;  // destination column of j: col_base + col_step * j
};

// Indices k of 0 <= origin + k < limit, or, mirrored over a count of n,
// of 0 <= origin + n - 1 - k < limit; half-open [lo, hi).
struct WalkSpan {
    int64_t lo, hi;
};
inline WalkSpan SpanWithin(int64_t origin, int64_t limit) {
    return {-origin, limit - origin};
}
inline WalkSpan MirroredSpanWithin(int64_t origin, int64_t n, int64_t limit) {
    return {origin + n - limit, origin + n};
}
inline WalkSpan Intersect(WalkSpan a, WalkSpan b) {
    return {a.lo > b.lo ? a.lo : b.lo, a.hi < b.hi ? a.hi : b.hi};
}
inline bool SpansOverlap(WalkSpan a, WalkSpan b) {
    return a.lo < b.hi && b.lo < a.hi;
}

// Makes `view` (origin ox, oy in the destination buffer) read a copy when it
// reads the destination buffer in an area that the walk writes, unless every
// pixel is read at the very place it is written. False when the copy cannot
// be allocated.
inline bool DetachFromDestination(RectWalk* walk, WalkView* view, int32_t ox, int32_t oy,
                                  int64_t dest_x, int64_t dest_y, bool mirrored, ScratchUse use) {
    if (view->pixels != walk->destination) return true;
    if (!mirrored && ox == dest_x && oy == dest_y) return true;
    WalkSpan read_cols = {ox + walk->j0, ox + walk->j1};
    WalkSpan read_rows = {oy + walk->k0, oy + walk->k1};
    WalkSpan write_cols =
        walk->col_step > 0 ? WalkSpan{walk->col_base + walk->j0, walk->col_base + walk->j1}
                           : WalkSpan{walk->col_base - walk->j1 + 1, walk->col_base - walk->j0 + 1};
    WalkSpan write_rows =
        walk->row_step > 0 ? WalkSpan{walk->row_base + walk->k0, walk->row_base + walk->k1}
                           : WalkSpan{walk->row_base - walk->k1 + 1, walk->row_base - walk->k0 + 1};
    if (!SpansOverlap(read_cols, write_cols) || !SpansOverlap(read_rows, write_rows)) return true;

    size_t count =
        static_cast<size_t>(walk->j1 - walk->j0) * static_cast<size_t>(walk->k1 - walk->k0);
    PixelYC* scratch = static_cast<PixelYC*>(AcquireScratch(use, count * sizeof(PixelYC)));
    if (scratch == nullptr) return false;
    const PixelYC* first =
        view->pixels + (view->y0 + walk->k0) * view->stride + view->x0 + walk->j0;
    CopyPixelBlock(first, view->stride, walk->j1 - walk->j0, walk->k1 - walk->k0, scratch);
    *view = {scratch, walk->j1 - walk->j0, -walk->j0, -walk->k0};
    return true;
}

// Plans the walk of a request over max_w x max_h buffers: clips it and, where
// a source or mask is read from the destination's own area, takes the copy
// that keeps the result independent of the order of the rows. False when
// a needed copy cannot be allocated (the command then draws nothing).
inline bool PlanRectWalk(const WalkRequest& request, Mirror mirror, int32_t max_w, int32_t max_h,
                         RectWalk* walk) {
    const int64_t w = request.width, h = request.height;
    walk->destination = request.destination;
    walk->max_w = max_w;
    walk->row_step = mirror == Mirror::kRows ? -1 : 1;
    walk->row_base = mirror == Mirror::kRows ? request.dy + h - 1 : request.dy;
    walk->col_step = mirror == Mirror::kColumns ? -1 : 1;
    walk->col_base = mirror == Mirror::kColumns ? request.dx + w - 1 : request.dx;

    WalkSpan rows = Intersect({0, h}, SpanWithin(request.sy, max_h));
    rows = Intersect(rows, mirror == Mirror::kRows ? MirroredSpanWithin(request.dy, h, max_h)
                                                   : SpanWithin(request.dy, max_h));
    WalkSpan cols = Intersect({0, w}, SpanWithin(request.sx, max_w));
    cols = Intersect(cols, mirror == Mirror::kColumns ? MirroredSpanWithin(request.dx, w, max_w)
                                                      : SpanWithin(request.dx, max_w));
    if (request.mask != nullptr) {
        rows = Intersect(rows, SpanWithin(request.my, max_h));
        cols = Intersect(cols, SpanWithin(request.mx, max_w));
    }
    walk->k0 = rows.lo;
    walk->k1 = rows.hi > rows.lo ? rows.hi : rows.lo;
    walk->j0 = cols.lo;
    walk->j1 = cols.hi > cols.lo ? cols.hi : cols.lo;

    walk->source = {request.source, max_w, request.sx, request.sy};
    walk->mask = {request.mask, max_w, request.mx, request.my};
    if (walk->k0 >= walk->k1 || walk->j0 >= walk->j1) return true;

    bool mirrored = mirror != Mirror::kNone;
    if (!DetachFromDestination(walk, &walk->source, request.sx, request.sy, request.dx, request.dy,
                               mirrored, kScratchWalkSource) ||
        (request.mask != nullptr &&
         !DetachFromDestination(walk, &walk->mask, request.mx, request.my, request.dx, request.dy,
                                mirrored, kScratchWalkMask))) {
        return false;
    }
    return true;
}

// One row k of the walk. The source and mask pixels are passed by value, so
// an operation may write the destination pixel even where it is the pixel it
// reads.
template <bool kMasked, bool kMirrorColumns, class PixelOp>
inline void WalkRow(const RectWalk& walk, int64_t k, const PixelOp& op) {
    const PixelYC* source = walk.source.pixels + (walk.source.y0 + k) * walk.source.stride;
    PixelYC* destination = walk.destination + (walk.row_base + walk.row_step * k) * walk.max_w;
    const int64_t sx = walk.source.x0;
    const int64_t col_base = walk.col_base;
    if constexpr (kMasked) {
        const PixelYC* mask = walk.mask.pixels + (walk.mask.y0 + k) * walk.mask.stride;
        const int64_t mx = walk.mask.x0;
        for (int64_t j = walk.j0; j < walk.j1; ++j) {
            int64_t dcol = kMirrorColumns ? col_base - j : col_base + j;
            op(source[sx + j], destination[dcol], mask[mx + j]);
        }
    } else {
        for (int64_t j = walk.j0; j < walk.j1; ++j) {
            int64_t dcol = kMirrorColumns ? col_base - j : col_base + j;
            op(source[sx + j], destination[dcol]);
        }
    }
}

template <bool kMasked, bool kMirrorColumns, class PixelOp>
void WalkRows(const RectWalk& walk, const PixelOp& op) {
    parallel::ParallelFor(walk.k0, walk.k1, walk.j1 - walk.j0,
                          [&](int64_t k) { WalkRow<kMasked, kMirrorColumns>(walk, k, op); });
}

// Runs a planned walk: op(PixelYC source, PixelYC& destination) without a
// mask, op(PixelYC source, PixelYC& destination, PixelYC mask) with one.
template <class PixelOp>
void RunRectWalk(const RectWalk& walk, const PixelOp& op) {
    if (walk.col_step < 0) {
        WalkRows<false, true>(walk, op);
    } else {
        WalkRows<false, false>(walk, op);
    }
}
template <class PixelOp>
void RunMaskedRectWalk(const RectWalk& walk, const PixelOp& op) {
    if (walk.col_step < 0) {
        WalkRows<true, true>(walk, op);
    } else {
        WalkRows<true, false>(walk, op);
    }
}

// Runs a planned walk without mirror or mask a row at a time:
// row_op(const PixelYC* source, PixelYC* destination, int64_t count) for the
// surviving pixels of each row. The source row is either the destination row
// itself or does not overlap it (see DetachFromDestination).
template <class RowOp>
void RunRectWalkRows(const RectWalk& walk, const RowOp& row_op) {
    parallel::ParallelFor(walk.k0, walk.k1, walk.j1 - walk.j0, [&](int64_t k) {
        const PixelYC* source = walk.source.pixels + (walk.source.y0 + k) * walk.source.stride +
                                walk.source.x0 + walk.j0;
        PixelYC* destination =
            walk.destination + (walk.row_base + k) * walk.max_w + walk.col_base + walk.j0;
        row_op(source, destination, walk.j1 - walk.j0);
    });
}

// Copies the request's rectangle (no mirror, no mask) as a walk would, whole
// rows at a time.
inline void CopyRect(const WalkRequest& request, const FrameInfo* frame) {
    RectWalk walk;
    if (!PlanRectWalk(request, Mirror::kNone, frame->max_w, frame->max_h, &walk)) return;
    // Copies too large for the caches write around them.
    const bool stream = static_cast<size_t>(walk.j1 - walk.j0) * sizeof(PixelYC) *
                            static_cast<size_t>(walk.k1 - walk.k0) >=
                        memory::kStreamCopyBytes;
    RunRectWalkRows(walk, [stream](const PixelYC* source, PixelYC* destination, int64_t count) {
        if (source == destination) return;
        const size_t bytes = static_cast<size_t>(count) * sizeof(PixelYC);
        if (stream) {
            memory::StreamCopy(destination, source, bytes);
            memory::StreamFence();
        } else {
            std::memcpy(destination, source, bytes);
        }
    });
}

// Plans, runs and releases a walk in one go; the operation takes a mask pixel
// exactly when the request has a mask. Nothing is drawn when a needed scratch
// copy cannot be allocated.
template <class PixelOp>
void WalkRect(const WalkRequest& request, Mirror mirror, const FrameInfo* frame,
              const PixelOp& op) {
    RectWalk walk;
    if (!PlanRectWalk(request, mirror, frame->max_w, frame->max_h, &walk)) return;
    if constexpr (std::is_invocable_v<PixelOp, PixelYC, PixelYC&, PixelYC>) {
        if (request.mask != nullptr) RunMaskedRectWalk(walk, op);
    } else {
        if (request.mask == nullptr) RunRectWalk(walk, op);
    }
}
