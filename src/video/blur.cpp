// Spreading and averaging a rectangle into another buffer: mosaic (block
// averages), defocus (separable Gaussian blur) and diffuse (each pixel taken
// from a random neighbour).
#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "common/parallel.h"
#include "formula/random.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/source_rect.h"
#include "video/video_commands.h"

namespace {

int32_t ClampTo(int64_t v, int32_t max) {
    return static_cast<int32_t>(std::clamp<int64_t>(v, 0, max));
}

// ---- mosaic ----------------------------------------------------------------

// One block's sums; 64 bits, so no block size can overflow them.
struct BlockSum {
    int64_t y, cb, cr, count;
};

struct MosaicJob {
    const PixelYC* source;
    PixelYC* dest;
    BlockSum* blocks;  // block_cols x block_rows, row by row
    int32_t max_w, max_h;
    int64_t sx, sy, dx, dy;
    int32_t width, height;  // rectangle size (clamped)
    int32_t block_w, block_h;
    int32_t block_cols, block_rows;
};

// Adds the source pixels of block row `block_row` that lie inside the buffer
// to their blocks. Each block row has one worker, so every sum is exact.
void AccumulateBlockRow(const MosaicJob& job, int32_t block_row) {
    int32_t j_end = std::min(job.height, (block_row + 1) * job.block_h);
    int32_t i_begin = ClampTo(-job.sx, job.width);
    int32_t i_end = ClampTo(job.max_w - job.sx, job.width);
    BlockSum* sums = job.blocks + static_cast<int64_t>(block_row) * job.block_cols;
    for (int32_t j = block_row * job.block_h; j < j_end; ++j) {
        int64_t y = job.sy + j;
        if (y < 0 || y >= job.max_h) continue;
        const PixelYC* row = job.source + y * job.max_w;
        for (int32_t i = i_begin; i < i_end;) {
            BlockSum& sum = sums[i / job.block_w];
            int32_t block_end = std::min(i_end, (i / job.block_w + 1) * job.block_w);
            for (; i < block_end; ++i) {
                const PixelYC& p = row[job.sx + i];
                sum.y += p.y;
                sum.cb += p.cb;
                sum.cr += p.cr;
                ++sum.count;
            }
        }
    }
}

// Writes rectangle row j: each pixel becomes its block's average (truncated
// toward zero); blocks that had no pixel inside the buffer leave it alone.
void WriteMosaicRow(const MosaicJob& job, int32_t j) {
    int64_t y = job.dy + j;
    const BlockSum* sums = job.blocks + static_cast<int64_t>(j / job.block_h) * job.block_cols;
    int32_t i_begin = ClampTo(-job.dx, job.width);
    int32_t i_end = ClampTo(job.max_w - job.dx, job.width);
    PixelYC* row = job.dest + y * job.max_w;
    for (int32_t i = i_begin; i < i_end;) {
        const BlockSum& sum = sums[i / job.block_w];
        int32_t block_end = std::min(i_end, (i / job.block_w + 1) * job.block_w);
        if (sum.count == 0) {
            i = block_end;
            continue;
        }
        PixelYC average;
        average.y = static_cast<int16_t>(sum.y / sum.count);
        average.cb = static_cast<int16_t>(sum.cb / sum.count);
        average.cr = static_cast<int16_t>(sum.cr / sum.count);
        for (; i < block_end; ++i) {
            row[job.dx + i] = average;
        }
    }
}

// ---- defocus ---------------------------------------------------------------

constexpr double kDefocusPi = 3.14159265358979;
// Columns a worker handles together: each tap row is read once for all of
// them, instead of walking the buffer column by column.
constexpr int32_t kDefocusStrip = 16;

struct DefocusJob {
    const PixelYC* source;
    PixelYC* work;
    PixelYC* dest;
    const double* weights;  // 2r + 1 taps
    int64_t radius;
    int32_t max_w, max_h;
    int32_t row_begin, row_end;  // rectangle rows inside the buffer
};

inline int16_t TruncateSum(double sum) {
    return Low16(static_cast<int32_t>(sum));
}

// Adds one tap, weight w times pixels[c], to the running sums of n columns.
inline void AddTap(double (*sums)[3], double w, const PixelYC* pixels, int32_t n) {
    for (int32_t c = 0; c < n; ++c) {
        sums[c][0] += w * pixels[c].y;
        sums[c][1] += w * pixels[c].cb;
        sums[c][2] += w * pixels[c].cr;
    }
}

// Vertical pass over columns [c_begin, c_end) of the rectangle's rows:
// work(c, l) = trunc(sum over k of w[k] * source(c, l - r + k)), rows clamped
// to the buffer, each sum taken in order of k.
void DefocusVertical(const DefocusJob& job, int32_t c_begin, int32_t c_end) {
    const int64_t taps = 2 * job.radius + 1;
    double sums[kDefocusStrip][3];
    const int32_t n = c_end - c_begin;
    for (int32_t l = job.row_begin; l < job.row_end; ++l) {
        for (int32_t c = 0; c < n; ++c) {
            sums[c][0] = sums[c][1] = sums[c][2] = 0.0;
        }
        for (int64_t k = 0; k < taps; ++k) {
            int64_t r = std::clamp<int64_t>(l - job.radius + k, 0, job.max_h - 1);
            AddTap(sums, job.weights[k], job.source + r * job.max_w + c_begin, n);
        }
        PixelYC* out = job.work + static_cast<int64_t>(l) * job.max_w + c_begin;
        for (int32_t c = 0; c < n; ++c) {
            out[c].y = TruncateSum(sums[c][0]);
            out[c].cb = TruncateSum(sums[c][1]);
            out[c].cr = TruncateSum(sums[c][2]);
        }
    }
}

// Horizontal pass over columns [c_begin, c_end): dest(c, l) = trunc(sum over
// k of w[k] * work(c - r + k, l)), columns clamped to the buffer, each sum
// taken in order of k. The strip's sums advance together, tap by tap, so the
// additions of different pixels overlap instead of each pixel's waiting on
// its previous one (whole blur at r = 10, 1920 x 1080, one worker: 97 ms
// with one pixel at a time, 73 ms so).
void DefocusHorizontal(const DefocusJob& job, int32_t c_begin, int32_t c_end) {
    const int64_t taps = 2 * job.radius + 1;
    const int32_t n = c_end - c_begin;
    const bool interior = c_begin - job.radius >= 0 && c_end - 1 + job.radius < job.max_w;
    double sums[kDefocusStrip][3];
    for (int32_t l = job.row_begin; l < job.row_end; ++l) {
        const PixelYC* row = job.work + static_cast<int64_t>(l) * job.max_w;
        for (int32_t c = 0; c < n; ++c) {
            sums[c][0] = sums[c][1] = sums[c][2] = 0.0;
        }
        for (int64_t k = 0; k < taps; ++k) {
            const double w = job.weights[k];
            const int64_t first = c_begin - job.radius + k;
            if (interior) {
                AddTap(sums, w, row + first, n);
                continue;
            }
            for (int32_t c = 0; c < n; ++c) {
                const PixelYC& p = row[std::clamp<int64_t>(first + c, 0, job.max_w - 1)];
                sums[c][0] += w * p.y;
                sums[c][1] += w * p.cb;
                sums[c][2] += w * p.cr;
            }
        }
        PixelYC* out = job.dest + static_cast<int64_t>(l) * job.max_w + c_begin;
        for (int32_t c = 0; c < n; ++c) {
            out[c].y = TruncateSum(sums[c][0]);
            out[c].cb = TruncateSum(sums[c][1]);
            out[c].cr = TruncateSum(sums[c][2]);
        }
    }
}

// Runs one pass over columns [c_begin, c_end), split into strips between the
// workers (each strip is whole columns, top to bottom).
void RunDefocusPass(const DefocusJob& job, int32_t c_begin, int32_t c_end,
                    void (*pass)(const DefocusJob&, int32_t, int32_t)) {
    const int32_t strips = (c_end - c_begin + kDefocusStrip - 1) / kDefocusStrip;
    // Each strip is kDefocusStrip columns of every row, 2r + 1 taps each.
    const int64_t strip_cost =
        int64_t{kDefocusStrip} * (job.row_end - job.row_begin) * (2 * job.radius + 1);
    parallel::ParallelFor(0, strips, strip_cost, [&](int32_t s) {
        int32_t first = c_begin + s * kDefocusStrip;
        pass(job, first, std::min(c_end, first + kDefocusStrip));
    });
}

// The blur's taps: w[k] = exp(-i^2 / (2 sigma^2)) / sqrt(2 sigma^2 pi) for
// i = k - r, sigma = r / 3. Not normalised: flat areas drift slightly
// (their sum is 1.00026 for r = 2, 0.99843 for r = 10).
void BuildDefocusKernel(double* weights, int64_t radius) {
    double sigma = static_cast<double>(radius) / 3.0;
    double two_sigma_sq = sigma * 2.0 * sigma;
    double scale = std::sqrt(two_sigma_sq * kDefocusPi);
    for (int64_t k = 0; k < 2 * radius + 1; ++k) {
        double i = static_cast<double>(k - radius);
        weights[k] = std::exp(-(i * i) / two_sigma_sq) / scale;
    }
}

// ---- diffuse ---------------------------------------------------------------

struct DiffuseJob {
    SourceRect source;
    PixelYC* dest;
    int32_t max_w, max_h;
    int64_t sx, sy, width, height;  // source rectangle (sizes clamped)
    int64_t shift_x, shift_y;       // destination - source position
    int64_t spread_x, spread_y;
    int32_t col_begin, col_end;  // source columns inside the buffer whose destination is too
    uint32_t seed;               // this command's seed
};

// Diffuse's generators: each row draws from a generator of its own, started
// from a hash of the command's seed and the row number. The shared generator
// behind "rand(" is never touched, and the picture does not depend on how the
// rows are split between workers.
uint32_t s_diffuse_commands;

uint32_t Mix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

// Source row y: every pixel whose destination lies inside the buffer becomes a
// copy of a source pixel up to (spread_x, spread_y) away, kept inside the
// source rectangle and the buffer.
void DiffuseRow(const DiffuseJob& job, int32_t y) {
    int64_t dest_y = y + job.shift_y;
    if (dest_y < 0 || dest_y >= job.max_h) return;
    RandomState random{Mix32(job.seed + static_cast<uint32_t>(y) * 0x9E3779B9u)};
    PixelYC* out = job.dest + dest_y * job.max_w;
    const int64_t last_x = std::min<int64_t>(job.sx + job.width, job.max_w) - 1;
    const int64_t last_y = std::min<int64_t>(job.sy + job.height, job.max_h) - 1;
    const int64_t first_x = std::max<int64_t>(job.sx, 0);
    const int64_t first_y = std::max<int64_t>(job.sy, 0);
    for (int32_t x = job.col_begin; x < job.col_end; ++x) {
        int64_t r1 = RandomNext(&random);
        int64_t r2 = RandomNext(&random);
        int64_t ox = r1 * (2 * job.spread_x + 1) / 32768 - job.spread_x;
        int64_t oy = r2 * (2 * job.spread_y + 1) / 32768 - job.spread_y;
        int64_t px = std::clamp<int64_t>(x + ox, first_x, last_x);
        int64_t py = std::clamp<int64_t>(y + oy, first_y, last_y);
        out[x + job.shift_x] = SourceRow(job.source, py)[px - job.source.left];
    }
}

}  // namespace

// mosaic(src, dst, sx, sy, W, H, dx, dy, bw, bh)
void cmd_mosaic(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t w = ArgInt(line, 4), h = ArgInt(line, 5);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;

    MosaicJob job;
    job.source = src;
    job.dest = dst;
    job.max_w = max_w;
    job.max_h = max_h;
    job.width = ClampCount(w, max_w);
    job.height = ClampCount(h, max_h);
    job.sx = ArgInt(line, 2);
    job.sy = ArgInt(line, 3);
    job.dx = ArgInt(line, 6);
    job.dy = ArgInt(line, 7);
    job.block_w = ClampCount(ArgInt(line, 8), max_w);
    job.block_h = ClampCount(ArgInt(line, 9), max_h);
    job.block_cols = (job.width + job.block_w - 1) / job.block_w;
    job.block_rows = (job.height + job.block_h - 1) / job.block_h;
    size_t block_count = static_cast<size_t>(job.block_cols) * job.block_rows;
    job.blocks = static_cast<BlockSum*>(std::calloc(block_count, sizeof(BlockSum)));
    if (job.blocks == nullptr) return;

    // All sums are complete before the first pixel is written, so the source
    // may be the destination.
    // Each block row sums its own blocks: no two workers share a sum.
    parallel::ParallelFor(0, job.block_rows, int64_t{job.block_h} * job.width,
                          [&job](int32_t block_row) { AccumulateBlockRow(job, block_row); });
    int32_t j_begin = ClampTo(-job.dy, job.height);
    int32_t j_end = ClampTo(max_h - job.dy, job.height);
    parallel::ParallelFor(j_begin, j_end, job.width, [&job](int32_t j) { WriteMosaicRow(job, j); });
    std::free(job.blocks);
}

// defocus(src, dst, x, y, W, H, -, -, r)
void cmd_defocus(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t w = ArgInt(line, 4), h = ArgInt(line, 5);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;
    int64_t x = ArgInt(line, 2), y = ArgInt(line, 3);
    int64_t radius = std::max(ArgInt(line, 8), 2);

    DefocusJob job;
    job.source = src;
    job.dest = dst;
    job.radius = radius;
    job.max_w = max_w;
    job.max_h = max_h;
    job.row_begin = ClampTo(y, max_h);
    job.row_end = ClampTo(y + ClampCount(h, max_h), max_h);
    int32_t col_begin = ClampTo(x, max_w);
    int32_t col_end = ClampTo(x + ClampCount(w, max_w), max_w);
    if (col_begin >= col_end || job.row_begin >= job.row_end) return;

    size_t pixels = static_cast<size_t>(max_w) * static_cast<size_t>(max_h);
    double* weights = static_cast<double*>(std::malloc((2 * radius + 1) * sizeof(double)));
    PixelYC* work = static_cast<PixelYC*>(std::calloc(pixels, sizeof(PixelYC)));
    if (weights != nullptr && work != nullptr) {
        BuildDefocusKernel(weights, radius);
        job.weights = weights;
        job.work = work;
        // The vertical pass also fills the r columns either side of the
        // rectangle, so the horizontal taps there read blurred source pixels
        // (not black) and the left and right edges blur like the top and bottom.
        RunDefocusPass(job, ClampTo(col_begin - radius, max_w), ClampTo(col_end + radius, max_w),
                       DefocusVertical);
        RunDefocusPass(job, col_begin, col_end, DefocusHorizontal);
    }
    std::free(weights);
    std::free(work);
}

// diffuse(src, dst, sx, sy, W, H, dx, dy, rx, ry)
void cmd_diffuse(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t w = ArgInt(line, 4), h = ArgInt(line, 5);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;

    DiffuseJob job;
    job.dest = dst;
    job.max_w = max_w;
    job.max_h = max_h;
    job.sx = ArgInt(line, 2);
    job.sy = ArgInt(line, 3);
    job.width = ClampCount(w, max_w);
    job.height = ClampCount(h, max_h);
    job.shift_x = static_cast<int64_t>(ArgInt(line, 6)) - job.sx;
    job.shift_y = static_cast<int64_t>(ArgInt(line, 7)) - job.sy;
    job.spread_x = ClampCount(ArgInt(line, 8), max_w);
    job.spread_y = ClampCount(ArgInt(line, 9), max_h);
    job.seed = Mix32(++s_diffuse_commands);
    // Source columns inside the buffer whose destination column is inside too.
    job.col_begin = ClampTo(std::max<int64_t>(job.sx, -job.shift_x), max_w);
    job.col_end = ClampTo(std::min<int64_t>(job.sx + job.width, max_w - job.shift_x), max_w);
    int32_t row_begin = ClampTo(job.sy, max_h);
    int32_t row_end = ClampTo(job.sy + job.height, max_h);
    if (job.col_begin >= job.col_end || row_begin >= row_end) return;
    if (!OpenSourceRect(&job.source, src, src == dst, job.sx, job.sy, job.width, job.height, max_w,
                        max_h)) {
        return;
    }
    // Every row draws from its own generator (see DiffuseRow).
    parallel::ParallelFor(row_begin, row_end, 2 * (job.col_end - job.col_begin),
                          [&job](int32_t y) { DiffuseRow(job, y); });
    CloseSourceRect(&job.source);
}
