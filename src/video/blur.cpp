// Spreading and averaging a rectangle into another buffer: mosaic (block
// averages), defocus (separable Gaussian blur) and diffuse (each pixel taken
// from a random neighbour).
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/clamp.h"
#include "common/constants.h"
#include "common/parallel.h"
#include "formula/random.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/source_rect.h"
#include "video/video_commands.h"

namespace {

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

}  // namespace

int64_t DefocusRadius(int32_t radius, int32_t max_w, int32_t max_h) {
    const int64_t reach = std::max<int64_t>(std::max(max_w, max_h) - 1, kMinDefocusRadius);
    return std::clamp<int64_t>(radius, kMinDefocusRadius, reach);
}

namespace {

// ---- defocus ---------------------------------------------------------------

// A pixel's three channels as three consecutive values: both passes treat a
// row as one run of values, since every channel gets the same weights.
static_assert(sizeof(PixelYC) == 3 * sizeof(int16_t), "PixelYC is three packed channels");
constexpr int64_t kChannels = 3;

// Values summed together, their running sums held in registers: eight
// pixels. Each tap is then one load, multiply and add per value for many
// values at once, instead of one pixel's sum waiting on its previous tap.
constexpr int32_t kBlockValues = 24;
// Columns one vertical-pass task covers, top to bottom, while its rows of
// converted values stay small (kRingValues doubles at most).
constexpr int32_t kDefocusStrip = 64;
constexpr int64_t kRingValues = 8192;

inline int16_t TruncateSum(double sum) {
    return Low16(static_cast<int32_t>(sum));
}

// Two doubles handled as one (two lanes of a vector register where the
// machine has them; plain doubles otherwise).
typedef double Double2 __attribute__((vector_size(16)));

inline Double2 LoadPair(const double* p) {
    Double2 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// out[b] = trunc(sum over k of w[k] * base[offsets[k] + j + b]) for b < N,
// each sum taken in order of k from 0.0, exactly as one value at a time.
// The values were converted to double once; the products and sums are the
// same as those of the 16-bit values themselves.
template <int32_t N>
inline void SumTaps(const double* base, const int64_t* offsets, const double* weights, int64_t taps,
                    int64_t j, int16_t* out) {
    static_assert(N % 2 == 0, "values go in pairs");
    constexpr int32_t kPairs = N / 2;
    Double2 sums[kPairs];
#pragma GCC unroll 16
    for (int32_t v = 0; v < kPairs; ++v)
        sums[v] = Double2{0.0, 0.0};
    for (int64_t k = 0; k < taps; ++k) {
        const double* p = base + (offsets[k] + j);
        const Double2 w = Double2{weights[k], weights[k]};
#pragma GCC unroll 16
        for (int32_t v = 0; v < kPairs; ++v)
            sums[v] += w * LoadPair(p + 2 * v);
    }
#pragma GCC unroll 16
    for (int32_t v = 0; v < kPairs; ++v) {
        out[2 * v] = TruncateSum(sums[v][0]);
        out[2 * v + 1] = TruncateSum(sums[v][1]);
    }
}

// One pixel's three values.
inline void SumTapsPixel(const double* base, const int64_t* offsets, const double* weights,
                         int64_t taps, int64_t j, int16_t* out) {
    double sums[3] = {0.0, 0.0, 0.0};
    for (int64_t k = 0; k < taps; ++k) {
        const double* p = base + (offsets[k] + j);
        for (int32_t b = 0; b < 3; ++b)
            sums[b] += weights[k] * p[b];
    }
    for (int32_t b = 0; b < 3; ++b)
        out[b] = TruncateSum(sums[b]);
}

// The same for values j .. j + n - 1 (whole pixels): blocks, then pixels.
inline void SumTapsRun(const double* base, const int64_t* offsets, const double* weights,
                       int64_t taps, int64_t j, int64_t n, int16_t* out) {
    int64_t b = 0;
    for (; b + kBlockValues <= n; b += kBlockValues)
        SumTaps<kBlockValues>(base, offsets, weights, taps, j + b, out + b);
    for (; b < n; b += kChannels)
        SumTapsPixel(base, offsets, weights, taps, j + b, out + b);
}

struct DefocusJob {
    const PixelYC* source;
    PixelYC* work;  // the vertical pass's result: rectangle rows x work columns
    PixelYC* dest;
    const double* weights;  // 2r + 1 taps
    int64_t radius;
    int32_t max_w, max_h;
    int32_t row_begin, row_end;    // rectangle rows inside the buffer
    int32_t col_begin, col_end;    // rectangle columns inside the buffer
    int32_t work_begin, work_end;  // columns the vertical pass fills
    int32_t strip;                 // columns of one vertical-pass task
};

const int16_t* Values(const PixelYC* p) {
    return reinterpret_cast<const int16_t*>(p);
}
int16_t* Values(PixelYC* p) {
    return reinterpret_cast<int16_t*>(p);
}

void ConvertValues(const int16_t* from, int64_t n, double* to) {
    for (int64_t i = 0; i < n; ++i)
        to[i] = from[i];
}

// Vertical pass over work columns [c_begin, c_end): work(c, l) = trunc(sum
// over k of w[k] * source(c, l - r + k)), rows clamped to the buffer. The
// strip's rows l - r .. l + r are kept converted in a ring of 2r + 1 rows.
void DefocusVertical(const DefocusJob& job, int32_t c_begin, int32_t c_end,
                     std::vector<double>* ring, std::vector<int64_t>* offsets) {
    const int64_t taps = 2 * job.radius + 1;
    const int64_t n = kChannels * (c_end - c_begin);
    ring->resize(static_cast<size_t>(taps * n));
    offsets->resize(static_cast<size_t>(taps));
    const int16_t* source = Values(job.source) + kChannels * c_begin;
    const int64_t pitch = kChannels * job.max_w;
    // Row index i (l - r + k, unclamped) lives in slot i mod (2r + 1).
    const int64_t first = job.row_begin - job.radius;
    auto slot = [&](int64_t i) { return (i - first) % taps; };
    auto load = [&](int64_t i) {
        const int64_t row = std::clamp<int64_t>(i, 0, job.max_h - 1);
        ConvertValues(source + row * pitch, n, ring->data() + slot(i) * n);
    };
    for (int64_t i = first; i < first + taps - 1; ++i)
        load(i);
    const int32_t work_cols = job.work_end - job.work_begin;
    for (int32_t l = job.row_begin; l < job.row_end; ++l) {
        load(l + job.radius);
        for (int64_t k = 0; k < taps; ++k)
            (*offsets)[size_t(k)] = slot(l - job.radius + k) * n;
        int16_t* out = Values(job.work + static_cast<int64_t>(l - job.row_begin) * work_cols +
                              (c_begin - job.work_begin));
        SumTapsRun(ring->data(), offsets->data(), job.weights, taps, 0, n, out);
    }
}

// Horizontal pass over rectangle row l: dest(c, l) = trunc(sum over k of
// w[k] * work(c - r + k, l)), columns clamped to the buffer. The work row is
// converted once; pixels whose taps all lie inside the buffer run as blocks,
// the others one by one.
void DefocusHorizontalRow(const DefocusJob& job, int32_t l, std::vector<double>* row,
                          std::vector<int64_t>* offsets) {
    const int64_t taps = 2 * job.radius + 1;
    const int32_t work_cols = job.work_end - job.work_begin;
    row->resize(static_cast<size_t>(kChannels * work_cols));
    offsets->resize(static_cast<size_t>(taps));
    // Starts at work column job.work_begin.
    ConvertValues(Values(job.work + static_cast<int64_t>(l - job.row_begin) * work_cols),
                  kChannels * work_cols, row->data());
    int16_t* out = Values(job.dest + static_cast<int64_t>(l) * job.max_w);
    // Columns whose every tap is inside the buffer.
    const int32_t inner_begin =
        static_cast<int32_t>(std::clamp<int64_t>(job.radius, job.col_begin, job.col_end));
    const int32_t inner_end =
        static_cast<int32_t>(std::clamp<int64_t>(job.max_w - job.radius, inner_begin, job.col_end));
    int64_t* offset = offsets->data();
    for (int64_t k = 0; k < taps; ++k)
        offset[k] = kChannels * (k - job.radius - job.work_begin);
    SumTapsRun(row->data(), offset, job.weights, taps, kChannels * inner_begin,
               kChannels * (inner_end - inner_begin), out + kChannels * inner_begin);
    // The columns within r of the buffer's left or right side.
    auto edge = [&](int32_t c) {
        for (int64_t k = 0; k < taps; ++k) {
            offset[k] = kChannels * (std::clamp<int64_t>(c - job.radius + k, 0, job.max_w - 1) -
                                     job.work_begin);
        }
        SumTapsPixel(row->data(), offset, job.weights, taps, 0, out + kChannels * c);
    };
    for (int32_t c = job.col_begin; c < inner_begin; ++c)
        edge(c);
    for (int32_t c = inner_end; c < job.col_end; ++c)
        edge(c);
}

// The blur's taps: w[k] = exp(-i^2 / (2 sigma^2)) / sqrt(2 sigma^2 pi) for
// i = k - r, sigma = r / 3. Not normalised: flat areas drift slightly
// (their sum is 1.00026 for r = 2, 0.99843 for r = 10).
void BuildDefocusKernel(double* weights, int64_t radius) {
    double sigma = static_cast<double>(radius) / 3.0;
    double two_sigma_sq = sigma * 2.0 * sigma;
    double scale = std::sqrt(two_sigma_sq * kPi);
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

    DefocusJob job;
    job.source = src;
    job.dest = dst;
    job.radius = DefocusRadius(ArgInt(line, 8), max_w, max_h);
    job.max_w = max_w;
    job.max_h = max_h;
    job.row_begin = ClampTo(y, max_h);
    job.row_end = ClampTo(y + ClampCount(h, max_h), max_h);
    job.col_begin = ClampTo(x, max_w);
    job.col_end = ClampTo(x + ClampCount(w, max_w), max_w);
    if (job.col_begin >= job.col_end || job.row_begin >= job.row_end) return;
    // The vertical pass also fills the r columns either side of the
    // rectangle, so the horizontal taps there read blurred source pixels (not
    // black) and the left and right edges blur like the top and bottom. Every
    // column a horizontal tap reads lies in this range, so the work image
    // needs no clearing.
    job.work_begin = ClampTo(job.col_begin - job.radius, max_w);
    job.work_end = ClampTo(job.col_end + job.radius, max_w);

    const size_t work_pixels = static_cast<size_t>(job.work_end - job.work_begin) *
                               static_cast<size_t>(job.row_end - job.row_begin);
    double* weights = static_cast<double*>(std::malloc((2 * job.radius + 1) * sizeof(double)));
    PixelYC* work = static_cast<PixelYC*>(std::malloc(work_pixels * sizeof(PixelYC)));
    if (weights != nullptr && work != nullptr) {
        BuildDefocusKernel(weights, job.radius);
        job.weights = weights;
        job.work = work;
        const int64_t taps = 2 * job.radius + 1;
        // Narrower strips for wide kernels keep a strip's ring of rows small.
        job.strip = static_cast<int32_t>(
            std::clamp<int64_t>(kRingValues / (kChannels * taps), 8, kDefocusStrip));
        const int32_t strips = (job.work_end - job.work_begin + job.strip - 1) / job.strip;
        // A strip is job.strip columns of every rectangle row, a row every
        // column of the rectangle, each pixel 2r + 1 taps.
        const int64_t rows = job.row_end - job.row_begin;
        parallel::ParallelForRanges(
            0, strips, int64_t{job.strip} * rows * taps, [&](int64_t first, int64_t last) {
                std::vector<double> ring;
                std::vector<int64_t> offsets;
                for (int64_t s = first; s < last; ++s) {
                    int32_t c = job.work_begin + int32_t(s) * job.strip;
                    DefocusVertical(job, c, std::min(job.work_end, c + job.strip), &ring, &offsets);
                }
            });
        // The second pass reads only the work image, so the source may be the
        // destination.
        parallel::ParallelForRanges(job.row_begin, job.row_end,
                                    int64_t{job.col_end - job.col_begin} * taps,
                                    [&](int64_t first, int64_t last) {
                                        std::vector<double> row;
                                        std::vector<int64_t> offsets;
                                        for (int64_t l = first; l < last; ++l)
                                            DefocusHorizontalRow(job, int32_t(l), &row, &offsets);
                                    });
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
