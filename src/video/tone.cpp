// Remapping the values of a rectangle in place: gamma (a power curve per
// channel, through tables kept between calls) and posterize (levels per
// channel, on Y, Cb, Cr or on R, G, B).
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/clamp.h"
#include "common/parallel.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/video_commands.h"

namespace {

// The rectangle of a tone command cut to the buffer: columns col_begin..col_end-1,
// rows row_begin..row_end-1.
struct ToneArea {
    PixelYC* pixels;
    int32_t max_w;
    int32_t col_begin, col_end, row_begin, row_end;
};

// Reads buffer, x, y, W, H (arguments 0..4). False when the command must do
// nothing: a buffer that cannot be acquired, a size below 1, or nothing of the
// rectangle inside the buffer.
bool OpenToneArea(int32_t line, const FrameInfo* frame, ToneArea* area) {
    area->pixels = AcquireImageBuffer(ArgInt(line, 0));
    if (area->pixels == nullptr) return false;
    int32_t w = ArgInt(line, 3), h = ArgInt(line, 4);
    if (w < 1 || h < 1) return false;
    int64_t x = ArgInt(line, 1), y = ArgInt(line, 2);
    area->max_w = frame->max_w;
    area->col_begin = ClampTo(x, frame->max_w);
    area->col_end = ClampTo(x + ClampCount(w, frame->max_w), frame->max_w);
    area->row_begin = ClampTo(y, frame->max_h);
    area->row_end = ClampTo(y + ClampCount(h, frame->max_h), frame->max_h);
    return area->col_begin < area->col_end && area->row_begin < area->row_end;
}

// ---- gamma -----------------------------------------------------------------

constexpr int32_t kGammaEntries = 4098;
constexpr double kOneOver4096 = 0.000244140625;
constexpr double kOneOver2048 = 0.00048828125;

// The curves of the last gamma values used: Y indexed by Y (0..4097), Cb and
// Cr by C + 2048 (C = -2048..2049). Kept for the life of the plug-in.
struct GammaTables {
    int16_t y[kGammaEntries];
    int16_t cb[kGammaEntries];
    int16_t cr[kGammaEntries];
    double built_for[3];  // gY, gCb, gCr
    bool built;
    // Channels whose table maps every value to itself (a gamma of 1): rows
    // inside the tables leave them as they are.
    bool unchanged[3];
};
GammaTables g_gamma;

// A curve value as stored: truncated to 32 bits, low 16 bits kept. Not a
// number, infinite or outside the 32-bit range stores as -2147483648, so 0.
int16_t CurveValue(double v) {
    if (!(v >= -2147483648.0 && v < 2147483648.0)) return 0;
    return Low16(static_cast<int32_t>(v));
}

int16_t LumaCurve(int32_t y, double exponent) {
    return CurveValue(std::pow(y * kOneOver4096, exponent) * 4096);
}
int16_t ChromaCurve(int32_t c, double exponent) {
    return CurveValue(std::pow(c * kOneOver2048, exponent) * 2048);
}

// Rebuilds the tables unless they were built for these same values.
void PrepareGammaTables(const double gammas[3]) {
    if (g_gamma.built && g_gamma.built_for[0] == gammas[0] && g_gamma.built_for[1] == gammas[1] &&
        g_gamma.built_for[2] == gammas[2]) {
        return;
    }
    double ey = 1.0 / gammas[0], ecb = 1.0 / gammas[1], ecr = 1.0 / gammas[2];
    for (int32_t i = 0; i < kGammaEntries; ++i) {
        g_gamma.y[i] = LumaCurve(i, ey);
        g_gamma.cb[i] = ChromaCurve(i - 2048, ecb);
        g_gamma.cr[i] = ChromaCurve(i - 2048, ecr);
    }
    for (int k = 0; k < 3; ++k) {
        g_gamma.built_for[k] = gammas[k];
        g_gamma.unchanged[k] = true;
    }
    for (int32_t i = 0; i < kGammaEntries; ++i) {
        g_gamma.unchanged[0] &= g_gamma.y[i] == i;
        g_gamma.unchanged[1] &= g_gamma.cb[i] == i - 2048;
        g_gamma.unchanged[2] &= g_gamma.cr[i] == i - 2048;
    }
    g_gamma.built = true;
}

struct GammaJob {
    ToneArea area;
    double exponent_y, exponent_cb, exponent_cr;  // 1 / g
};

// True when a value of the n values (whole pixels) lies outside its
// channel's table: Y outside 0..4097, Cb or Cr outside -2048..2048. Eight
// pixels at a time as three vectors of eight values, whose channels repeat
// every three values.
typedef int16_t Short8 __attribute__((vector_size(16)));
bool AnyOutsideTables(const int16_t* values, int64_t n) {
    const Short8 low[3] = {{0, -2048, -2048, 0, -2048, -2048, 0, -2048},
                           {-2048, 0, -2048, -2048, 0, -2048, -2048, 0},
                           {-2048, -2048, 0, -2048, -2048, 0, -2048, -2048}};
    const Short8 high[3] = {{4097, 2048, 2048, 4097, 2048, 2048, 4097, 2048},
                            {2048, 4097, 2048, 2048, 4097, 2048, 2048, 4097},
                            {2048, 2048, 4097, 2048, 2048, 4097, 2048, 2048}};
    Short8 outside = {};
    int64_t i = 0;
    for (; i + 24 <= n; i += 24) {
        for (int32_t v = 0; v < 3; ++v) {
            Short8 x;
            std::memcpy(&x, values + i + 8 * v, sizeof x);
            outside |= (x < low[v]) | (x > high[v]);
        }
    }
    bool any = false;
    for (int32_t lane = 0; lane < 8; ++lane)
        any |= outside[lane] != 0;
    for (; i < n; i += 3) {
        any |= values[i] < 0 || values[i] > 4097 || values[i + 1] < -2048 || values[i + 1] > 2048 ||
               values[i + 2] < -2048 || values[i + 2] > 2048;
    }
    return any;
}

// Values inside the tables are looked up; the others are computed the same
// way. A row whose values all lie inside (the usual case) is looked up without
// a test per value.
void GammaRow(const GammaJob& job, int32_t y) {
    PixelYC* row = job.area.pixels + static_cast<int64_t>(y) * job.area.max_w;
    const int32_t begin = job.area.col_begin, end = job.area.col_end;
    const bool outside = AnyOutsideTables(reinterpret_cast<const int16_t*>(row + begin),
                                          3 * static_cast<int64_t>(end - begin));
    if (!outside) {
        const int16_t* tables[3] = {g_gamma.y, g_gamma.cb + 2048, g_gamma.cr + 2048};
        int16_t* values = reinterpret_cast<int16_t*>(row + begin);
        const int64_t n = 3 * static_cast<int64_t>(end - begin);
        for (int32_t c = 0; c < 3; ++c) {
            if (g_gamma.unchanged[c]) continue;
            const int16_t* table = tables[c];
            for (int64_t i = c; i < n; i += 3)
                values[i] = table[values[i]];
        }
        return;
    }
    for (int32_t x = begin; x < end; ++x) {
        PixelYC& p = row[x];
        p.y = (p.y >= 0 && p.y <= 4097) ? g_gamma.y[p.y] : LumaCurve(p.y, job.exponent_y);
        p.cb = (p.cb >= -2048 && p.cb <= 2048) ? g_gamma.cb[p.cb + 2048]
                                               : ChromaCurve(p.cb, job.exponent_cb);
        p.cr = (p.cr >= -2048 && p.cr <= 2048) ? g_gamma.cr[p.cr + 2048]
                                               : ChromaCurve(p.cr, job.exponent_cr);
    }
}

// ---- posterize -------------------------------------------------------------

// The step between levels: 4096 / (levels - 1), with fewer than 2 levels
// acting as 2 and more than 4097 as 4097 (step 1).
int32_t LevelStep(int32_t levels) {
    return 4096 / (std::clamp(levels, 2, 4097) - 1);
}

// The nearest multiple of the step (halves round up), kept within 0..4096.
inline int32_t Quantise(int32_t v, int32_t step) {
    return std::clamp(step * ((v + step / 2) / step), 0, 4096);
}

struct PosterizeJob {
    ToneArea area;
    int32_t steps[3];  // Y, Cb, Cr or R, G, B
};

void PosterizeRow(const PosterizeJob& job, int32_t y) {
    PixelYC* row = job.area.pixels + static_cast<int64_t>(y) * job.area.max_w;
    for (int32_t x = job.area.col_begin; x < job.area.col_end; ++x) {
        PixelYC& p = row[x];
        p.y = static_cast<int16_t>(Quantise(p.y, job.steps[0]));
        p.cb = static_cast<int16_t>(Quantise(p.cb + 2048, job.steps[1]) - 2048);
        p.cr = static_cast<int16_t>(Quantise(p.cr + 2048, job.steps[2]) - 2048);
    }
}

void PosterizeRGBRow(const PosterizeJob& job, int32_t y) {
    PixelYC* row = job.area.pixels + static_cast<int64_t>(y) * job.area.max_w;
    for (int32_t x = job.area.col_begin; x < job.area.col_end; ++x) {
        PixelYC& p = row[x];
        ColorRGB rgb = YCToRGB(p.y, p.cb, p.cr);
        p = RGBToYC(Quantise(rgb.r, job.steps[0]), Quantise(rgb.g, job.steps[1]),
                    Quantise(rgb.b, job.steps[2]));
    }
}

void RunPosterize(int32_t line, const FrameInfo* frame,
                  void (*row_pass)(const PosterizeJob&, int32_t)) {
    PosterizeJob job;
    if (!OpenToneArea(line, frame, &job.area)) return;
    for (int k = 0; k < 3; ++k) {
        job.steps[k] = LevelStep(ArgInt(line, 5 + k));
    }
    parallel::ParallelFor(job.area.row_begin, job.area.row_end,
                          job.area.col_end - job.area.col_begin,
                          [&](int32_t y) { row_pass(job, y); });
}

}  // namespace

// gamma(buf, x, y, W, H, gY, gCb, gCr)
void cmd_gamma(int32_t line, FilterTable*, FrameInfo* frame) {
    GammaJob job;
    if (!OpenToneArea(line, frame, &job.area)) return;
    double gammas[3] = {ArgValue(line, 5), ArgValue(line, 6), ArgValue(line, 7)};
    PrepareGammaTables(gammas);
    job.exponent_y = 1.0 / gammas[0];
    job.exponent_cb = 1.0 / gammas[1];
    job.exponent_cr = 1.0 / gammas[2];
    parallel::ParallelFor(job.area.row_begin, job.area.row_end,
                          job.area.col_end - job.area.col_begin,
                          [&job](int32_t y) { GammaRow(job, y); });
}

// posterize(buf, x, y, W, H, levels Y, levels Cb, levels Cr)
void cmd_posterize(int32_t line, FilterTable*, FrameInfo* frame) {
    RunPosterize(line, frame, PosterizeRow);
}

// posterize_rgb(buf, x, y, W, H, levels R, levels G, levels B)
void cmd_posterize_rgb(int32_t line, FilterTable*, FrameInfo* frame) {
    RunPosterize(line, frame, PosterizeRGBRow);
}
