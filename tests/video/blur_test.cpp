// mosaic, defocus and diffuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "video/effects_support.h"
#include "video/video_script.h"
#include "video/pixel.h"
#include "video/video_commands.h"

namespace {

using namespace effects;

// ---- mosaic ----------------------------------------------------------------

TEST(Mosaic, BlocksAlignToTheRectangleAndAverageTowardZero) {
    // A 10 x 2 rectangle at (1, 1) in blocks of 3 x 2: columns 1-3, 4-6, 7-9
    // and 10. Y = 10 * column + row, Cb = -(column + row): the block of
    // columns 1-3 holds Cb -2, -3, -4, -3, -4, -5, sum -21, average -3 (-3.5
    // truncated toward zero); the one-column block holds -11 and -12.
    Picture out = Render(
        14, 5, [](int x, int y) { return YC(10 * x + y, -(x + y), 5); },
        "mosaic(1, 2, 1, 1, 10, 2, 1, 2, 3, 2)\n", 2);
    struct Block {
        int first, last, y, cb;
    } blocks[] = {{1, 3, 21, -3}, {4, 6, 51, -6}, {7, 9, 81, -9}, {10, 10, 101, -11}};
    for (const Block& b : blocks) {
        for (int x = b.first; x <= b.last; ++x) {
            for (int y = 2; y <= 3; ++y) {
                EXPECT_TRUE(SamePixel(out.at(x, y), YC(b.y, b.cb, 5))) << x << "," << y;
            }
        }
    }
    EXPECT_TRUE(SamePixel(out.at(11, 2), YC(0)));
    EXPECT_TRUE(SamePixel(out.at(1, 1), YC(0)));
    EXPECT_TRUE(SamePixel(out.at(1, 4), YC(0)));
}

TEST(Mosaic, TwoPixelAveragesTruncateTowardZero) {
    auto frame = [](int x, int) { return x == 0 ? YC(1, -1, -2) : YC(2, -2, 1); };
    Picture out = Render(2, 1, frame, "mosaic(1, 0, 0, 0, 2, 1, 0, 0, 2, 1)\n");
    EXPECT_TRUE(SamePixel(out.at(0, 0), YC(1, -1, 0)));
    EXPECT_TRUE(SamePixel(out.at(1, 0), YC(1, -1, 0)));
}

TEST(Mosaic, OneByOneBlocksCopyExactly) {
    Picture out = Render(9, 7, Noise, "mosaic(1, 2, 1, 1, 6, 5, 2, 2, 0, -4)\n", 2);
    for (int y = 2; y < 7; ++y) {
        for (int x = 2; x < 8; ++x) {
            EXPECT_TRUE(SamePixel(out.at(x, y), Noise(x - 1, y - 1))) << x << "," << y;
        }
    }
}

TEST(Mosaic, OnlyPixelsInsideTheBufferCount) {
    // Source at (-3, 0), 6 x 1 in blocks of 2: block 0 (columns -3, -2) lies
    // outside and leaves its destination alone; block 1 (-1, 0) averages
    // column 0 alone; block 2 averages columns 1 and 2.
    auto frame = [](int x, int) { return YC(100 * x + 1, 7, 7); };
    Picture out = Render(8, 2, frame, "mosaic(1, 0, -3, 0, 6, 1, 2, 1, 2, 1)\n");
    const int16_t expected[8] = {1, 101, 201, 301, 1, 1, 151, 151};
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(out.at(x, 1).y, expected[x]) << x;
    }
    EXPECT_EQ(out.at(2, 1).y, 201);  // block 0's destination, unchanged
}

TEST(Mosaic, SameBufferReadsAllSumsFirst) {
    EXPECT_EQ(FirstDifference(Render(20, 12, Noise, "mosaic(0, 0, 1, 1, 15, 9, 4, 2, 4, 3)\n"),
                              Render(20, 12, Noise, "mosaic(1, 0, 1, 1, 15, 9, 4, 2, 4, 3)\n")),
              "");
}

// ---- defocus ---------------------------------------------------------------

std::vector<double> DefocusKernel(int r) {
    double sigma = r / 3.0, t = sigma * 2.0 * sigma;
    std::vector<double> kernel;
    for (int k = 0; k <= 2 * r; ++k) {
        kernel.push_back(std::exp(-double((k - r) * (k - r)) / t) /
                         std::sqrt(t * 3.14159265358979));
    }
    return kernel;
}

// Plain two-pass blur, column by column, the vertical pass also covering r
// columns either side of the rectangle.
Picture PlainDefocus(Picture src, int x, int y, int w, int h, int r) {
    r = std::max(r, 2);
    const std::vector<double> kernel = DefocusKernel(r);
    int x0 = std::max(x, 0), x1 = std::min(x + ClampCount(w, src.width), src.width);
    int y0 = std::max(y, 0), y1 = std::min(y + ClampCount(h, src.height), src.height);
    Picture work{src.width, src.height, std::vector<PixelYC>(src.pixels.size(), YC(0))};
    Picture out = src;
    auto pass = [&](Picture& from, Picture* to, int c0, int c1, bool vertical) {
        for (int c = c0; c < c1; ++c) {
            for (int l = y0; l < y1; ++l) {
                double s[3] = {0, 0, 0};
                for (int k = 0; k <= 2 * r; ++k) {
                    PixelYC p = vertical ? from.at(c, std::clamp(l - r + k, 0, src.height - 1))
                                         : from.at(std::clamp(c - r + k, 0, src.width - 1), l);
                    s[0] += kernel[k] * p.y;
                    s[1] += kernel[k] * p.cb;
                    s[2] += kernel[k] * p.cr;
                }
                to->at(c, l) = YC(int(s[0]), int(s[1]), int(s[2]));
            }
        }
    };
    pass(src, &work, std::max(x0 - r, 0), std::min(x1 + r, src.width), true);
    pass(work, &out, x0, x1, false);
    return out;
}

// The sum of one window, in order of the taps: `split` taps of a, then b.
double StepSum(const std::vector<double>& kernel, int split, double a, double b) {
    double sum = 0.0;
    for (size_t k = 0; k < kernel.size(); ++k)
        sum += kernel[k] * (int(k) < split ? a : b);
    return sum;
}

double IntegerDistance(double v) {
    return std::fabs(v - std::nearbyint(v));
}

// A window of `split` taps of a, then b, whose sum lies within 1e-9 of a
// nonzero integer.
struct Step {
    int split, a, b;
};

// Steps between 16-bit values whose sum lands that near an integer, found by
// matching the fractions of a * P and b * Q (P, Q the weights of either
// side). `read` maps a value to what the pass reads for it.
std::vector<Step> NearIntegerSteps(int r, const std::function<int(int)>& read) {
    const std::vector<double> kernel = DefocusKernel(r);
    std::vector<Step> found;
    for (int split : {1, r, 2 * r}) {
        double p = 0.0, q = 0.0;
        for (int k = 0; k <= 2 * r; ++k)
            (k < split ? p : q) += kernel[k];
        std::vector<std::pair<double, int>> fractions;
        for (int b = -32768; b < 32768; ++b) {
            double v = read(b) * q;
            fractions.push_back({v - std::floor(v), b});
        }
        std::sort(fractions.begin(), fractions.end());
        for (int a = -32768; a < 32768; ++a) {
            double v = read(a) * p, want = std::ceil(v) - v;  // 0 < want <= 1
            auto it =
                std::lower_bound(fractions.begin(), fractions.end(), std::make_pair(want, -32769));
            for (auto c : {it, it == fractions.begin() ? it : it - 1}) {
                if (c == fractions.end()) continue;
                double sum = StepSum(kernel, split, read(a), read(c->second));
                if (IntegerDistance(sum) < 1e-9 && std::fabs(sum) >= 0.5)
                    found.push_back({split, a, c->second});
            }
        }
    }
    return found;
}

TEST(Defocus, FlatAreasDriftByTheUnnormalisedKernel) {
    // r = 2: 4096 becomes 4097 after the first pass and 4098 after the
    // second; r = 3: 4094, then 4092. Radii below 2 act as 2.
    struct Case {
        const char* radius;
        int16_t y;
    } cases[] = {{"2", 4098}, {"1", 4098}, {"0", 4098}, {"-7", 4098}, {"3", 4092}, {"10", 4082}};
    for (const Case& c : cases) {
        std::string script = std::string("defocus(1, 0, 0, 0, 24, 20, 0, 0, ") + c.radius + ")\n";
        Picture out = Render(
            24, 20, [](int, int) { return YC(4096, -1000, 0); }, script);
        for (int y = 0; y < 20; ++y) {
            for (int x = 0; x < 24; ++x) {
                ASSERT_EQ(out.at(x, y).y, c.y) << script << x << "," << y;
            }
        }
    }
}

TEST(Defocus, NarrowRectangleBlursItsSidesWithoutADarkBand) {
    Picture out = Render(
        30, 12, [](int, int) { return YC(4096); }, "defocus(1, 0, 8, 3, 10, 5, 0, 0, 4)\n");
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 30; ++x) {
            bool inside = x >= 8 && x < 18 && y >= 3 && y < 8;
            // r = 4 sums to a little under one: 4096 -> 4093 -> 4090.
            EXPECT_EQ(out.at(x, y).y, inside ? 4090 : 4096) << x << "," << y;
        }
    }
}

TEST(Defocus, MatchesThePlainVersion) {
    // {buffer w, h, rectangle x, y, w, h, radius}: clipped rectangles, blocks
    // of eight pixels with leftovers, columns near both sides of the buffer.
    const int cases[][7] = {
        {37, 21, 0, 0, 37, 21, 2},    {37, 21, 5, 3, 20, 10, 3},     {37, 21, -4, -2, 15, 30, 5},
        {37, 21, 30, 15, 20, 20, 6},  {37, 21, 10, 0, 1, 21, 25},    {37, 21, 0, 10, 37, 1, 2},
        {70, 9, 0, 0, 70, 9, 3},      {70, 9, 1, 2, 67, 5, 4},       {9, 40, -3, 5, 20, 30, 7},
        {150, 40, -5, 3, 140, 30, 6}, {180, 10, 2, 0, 170, 10, 175},
    };
    for (const auto& c : cases) {
        char script[96];
        std::snprintf(script, sizeof script, "defocus(1, 0, %d, %d, %d, %d, 0, 0, %d)\n", c[2],
                      c[3], c[4], c[5], c[6]);
        Picture expected = PlainDefocus(Frame(c[0], c[1], Noise), c[2], c[3], c[4], c[5], c[6]);
        std::string same = script;
        same[8] = '0';  // defocus(0, 0, ...): safe, the second pass reads the work image
        for (int threads : {1, 2}) {
            EXPECT_EQ(FirstDifference(Render(c[0], c[1], Noise, script, 0, threads), expected), "")
                << script << threads;
            EXPECT_EQ(FirstDifference(Render(c[0], c[1], Noise, same, 0, threads), expected), "")
                << same << threads;
        }
    }
}

// Channels over the whole 16-bit range, so that sums wrap.
PixelYC FullRange(int32_t x, int32_t y) {
    PixelYC p = Noise(x, y), q = Noise(y + 1000, x);
    return PixelYC{int16_t(p.y * 15 + q.y), int16_t(p.cb * 15 - q.cr), int16_t(q.cb * 15)};
}

// Plain mosaic: each block's pixels inside the buffer summed one by one in
// 64 bits, their average (truncated toward zero) written where the block
// lands inside the buffer.
Picture PlainMosaic(const Picture& from, int sx, int sy, int w, int h, int dx, int dy, int bw,
                    int bh) {
    w = ClampCount(w, from.width);
    h = ClampCount(h, from.height);
    bw = ClampCount(bw, from.width);
    bh = ClampCount(bh, from.height);
    Picture to = from;
    auto inside = [&](int x, int y) {
        return x >= 0 && y >= 0 && x < from.width && y < from.height;
    };
    for (int by = 0; by < h; by += bh) {
        for (int bx = 0; bx < w; bx += bw) {
            int64_t sum[3] = {0, 0, 0}, n = 0;
            for (int j = by; j < std::min(by + bh, h); ++j) {
                for (int i = bx; i < std::min(bx + bw, w); ++i) {
                    if (!inside(sx + i, sy + j)) continue;
                    const PixelYC p = from.pixels[size_t(sy + j) * from.width + sx + i];
                    sum[0] += p.y;
                    sum[1] += p.cb;
                    sum[2] += p.cr;
                    ++n;
                }
            }
            if (n == 0) continue;
            for (int j = by; j < std::min(by + bh, h); ++j) {
                for (int i = bx; i < std::min(bx + bw, w); ++i) {
                    if (inside(dx + i, dy + j)) {
                        to.at(dx + i, dy + j) =
                            YC(int(sum[0] / n), int(sum[1] / n), int(sum[2] / n));
                    }
                }
            }
        }
    }
    return to;
}

TEST(Mosaic, MatchesThePlainVersionOverTheWholeRange) {
    // {buffer w, h, source buffer, x, y, w, h, dx, dy, block w, h}: blocks cut
    // by the rectangle's end, rectangles cut on every side, the source as the
    // destination (buffer 0), blocks taller than the buffer, and sizes split
    // between workers.
    const int cases[][11] = {
        {101, 37, 1, 0, 0, 101, 37, 0, 0, 16, 16},   {101, 37, 0, -7, 5, 90, 40, 3, -2, 5, 3},
        {67, 23, 1, 20, 2, 60, 15, -4, 1, 7, 64},    {45, 50, 0, 3, -4, 30, 70, 0, 0, 1, 1},
        {300, 120, 1, 0, 0, 300, 120, 0, 0, 16, 16}, {300, 120, 0, -9, 4, 310, 117, 5, 0, 13, 9},
    };
    for (const auto& c : cases) {
        char script[128];
        std::snprintf(script, sizeof script, "mosaic(%d, 0, %d, %d, %d, %d, %d, %d, %d, %d)\n",
                      c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10]);
        Picture expected = PlainMosaic(Frame(c[0], c[1], FullRange), c[3], c[4], c[5], c[6], c[7],
                                       c[8], c[9], c[10]);
        for (int threads : {1, 2}) {
            EXPECT_EQ(FirstDifference(Render(c[0], c[1], FullRange, script, 0, threads), expected),
                      "")
                << script << threads;
        }
    }
}

TEST(Defocus, EveryKernelBuildMatchesThePlainVersion) {
    // {buffer w, h, rectangle x, y, w, h, radius, source buffer}: widths that
    // leave partial strips, blocks and vectors, rectangles clipped on every
    // side, the source as the destination (buffer 0), and bands of rows
    // that go through both passes in several chunks; one or two columns, a
    // few rows, a rectangle cut on every side of a buffer wider than two
    // strips, one several strips wide and several chunks of rows tall, and
    // bands of exactly one and two whole chunks (a chunk's rows fill its
    // strip's rows in order to the last slot).
    const int cases[][8] = {
        {101, 37, 0, 0, 101, 37, 10, 1}, {101, 37, -7, 5, 90, 40, 3, 0},
        {67, 23, 20, 2, 60, 15, 2, 0},   {45, 50, 3, -4, 30, 70, 12, 1},
        {33, 9, 0, 0, 33, 9, 30, 0},     {130, 12, 1, 1, 127, 10, 2, 1},
        {40, 300, 0, 0, 40, 300, 5, 1},  {40, 300, -3, 7, 41, 280, 9, 1},
        {9, 13, 4, 2, 1, 11, 3, 0},      {12, 5, -2, 0, 4, 5, 4, 1},
        {150, 11, 140, 3, 30, 5, 10, 1}, {200, 19, -5, -3, 210, 30, 7, 0},
        {203, 3, 0, 0, 203, 3, 2, 1},    {300, 150, -4, 3, 305, 140, 10, 1},
        {50, 128, 0, 0, 50, 128, 4, 1},  {50, 140, -2, 6, 60, 128, 2, 0},
    };
    for (const auto& c : cases) {
        for (PixelFn pixel : {PixelFn(Noise), PixelFn(FullRange)}) {
            Picture frame = Frame(c[0], c[1], pixel);
            videotest::ExpectEveryBuild(cmd_defocus,
                                        {double(c[7]), 0, double(c[2]), double(c[3]), double(c[4]),
                                         double(c[5]), 0, 0, double(c[6])},
                                        frame, 0,
                                        PlainDefocus(frame, c[2], c[3], c[4], c[5], c[6]));
        }
    }
}

// The float sums stand in for the double ones only away from integers:
// sums built to land within 1e-9 of one, both ways round (Cb is the
// negative), in each pass, must come out as the double sums do.
TEST(Defocus, SumsNextToAnIntegerComeOutAsTheDoubleSums) {
    for (int r : {2, 3, 10}) {
        const std::vector<double> kernel = DefocusKernel(r);
        // Vertical pass: column c steps from a to b at row `edge`; its
        // window at row edge + r - split has `split` taps of a.
        std::vector<Step> steps = NearIntegerSteps(r, [](int v) { return v; });
        ASSERT_GE(steps.size(), 4u) << r;
        const int edge = r + 1, width = int(steps.size()), height = edge + 2 * r + 2;
        auto columns = [&](int x, int y) {
            const Step& s = steps[x];
            int v = y < edge ? s.a : s.b;
            return YC(v, -v, v / 3);
        };
        // Horizontal pass, on a buffer of one row (the first pass turns a
        // value into its flat sum): steps of a to b, one per segment.
        auto flat = [&](int v) { return int(int16_t(int(StepSum(kernel, 0, v, v)))); };
        std::vector<Step> row_steps = NearIntegerSteps(r, flat);
        ASSERT_GE(row_steps.size(), 4u) << r;
        const int segment = 4 * r + 4;
        auto segments = [&](int x, int) {
            const Step& s = row_steps[x / segment];
            int v = x % segment < 2 * r + 2 ? s.a : s.b;
            return YC(v, -v, v / 3);
        };
        for (const auto& [frame, args] :
             {std::make_pair(Frame(width, height, columns), std::vector<int>{0, 0, width, height}),
              std::make_pair(Frame(width, height, columns), std::vector<int>{1, 2, width, 9}),
              std::make_pair(Frame(segment * int(row_steps.size()), 1, segments),
                             std::vector<int>{0, 0, segment * int(row_steps.size()), 1})}) {
            const std::initializer_list<double> values = {
                1, 0, double(args[0]), double(args[1]), double(args[2]), double(args[3]),
                0, 0, double(r)};
            videotest::ExpectEveryBuild(cmd_defocus, values, frame, 0,
                                        PlainDefocus(frame, args[0], args[1], args[2], args[3], r));
            // Each build took the double sum for some of these values.
            for (const videotest::Build& build : videotest::kBuilds) {
                simd::AllowUpTo(build.width);
                videotest::DirectCall call(frame.width, frame.height);
                std::copy(frame.pixels.begin(), frame.pixels.end(), call.Buffer(1));
                const int64_t before = DefocusDoubleSums();
                call.Call(cmd_defocus, values);
                EXPECT_GT(DefocusDoubleSums(), before) << r << " " << build.name;
            }
            simd::AllowUpTo(simd::Width::kAvx512);
        }
    }
}

TEST(Defocus, FlatAreasNextToAnIntegerAndAtTheExtremes) {
    // Stripes of one value each, wide and tall enough to be flat around
    // their middle: the values whose flat sum comes nearest a nonzero
    // integer, the extremes and values around zero.
    for (int r : {2, 3, 10}) {
        const std::vector<double> kernel = DefocusKernel(r);
        std::vector<std::pair<double, int>> nearest;
        for (int v = -32768; v < 32768; ++v) {
            double sum = StepSum(kernel, 0, v, v);
            if (std::fabs(sum) >= 0.5) nearest.push_back({IntegerDistance(sum), v});
        }
        std::partial_sort(nearest.begin(), nearest.begin() + 12, nearest.end());
        std::vector<int> values = {-32768, 32767, -32767, -1, 0, 1, 2, -2};
        for (int i = 0; i < 12; ++i)
            values.push_back(nearest[i].second);
        const int stripe = 2 * r + 3, width = stripe * int(values.size()), height = 2 * r + 3;
        Picture frame = Frame(width, height, [&](int x, int) {
            int v = values[x / stripe];
            return YC(v, -v, v / 2);
        });
        videotest::ExpectEveryBuild(cmd_defocus,
                                    {1, 0, 0, 0, double(width), double(height), 0, 0, double(r)},
                                    frame, 0, PlainDefocus(frame, 0, 0, width, height, r));
    }
}

TEST(Defocus, RadiusBeyondTheBufferActsAsTheLargestThatReachesAPixel) {
    // A 37 x 21 buffer: radii up to 36 reach a pixel the blur would not
    // otherwise read and blur exactly as asked; any larger radius only adds
    // taps that repeat edge pixels and blurs as 36 does, in bounded time.
    struct Case {
        int radius;
        int acts_as;
    } cases[] = {{35, 35}, {36, 36}, {37, 36}, {38, 36}, {100000, 36}, {2147483647, 36}};
    for (const Case& c : cases) {
        for (const char* rect : {"0, 0, 37, 21", "-3, 4, 30, 12"}) {
            std::string script = std::string("defocus(1, 0, ") + rect + ", 0, 0, " +
                                 std::to_string(c.radius) + ")\n";
            int x, y, w, h;
            ASSERT_EQ(std::sscanf(rect, "%d, %d, %d, %d", &x, &y, &w, &h), 4);
            Picture expected = PlainDefocus(Frame(37, 21, Noise), x, y, w, h, c.acts_as);
            EXPECT_EQ(FirstDifference(Render(37, 21, Noise, script), expected), "") << script;
        }
    }
    EXPECT_EQ(DefocusRadius(1, 1, 1), 2);
    EXPECT_EQ(DefocusRadius(-5, 100, 1), 2);
    EXPECT_EQ(DefocusRadius(500, 100, 300), 299);
}

// ---- diffuse ---------------------------------------------------------------

// Frame pixels that name their own position.
PixelYC Position(int x, int y) {
    return YC(x, y, 0);
}

// Every destination pixel of a diffuse of the rectangle (sx, sy, w, h) to
// (dx, dy) names a source pixel at most (rx, ry) away, inside the rectangle;
// returns how many moved.
int CheckDiffused(Picture out, int sx, int sy, int w, int h, int dx, int dy, int rx, int ry) {
    int moved = 0;
    for (int y = sy; y < sy + h; ++y) {
        for (int x = sx; x < sx + w; ++x) {
            PixelYC p = out.at(x + dx - sx, y + dy - sy);
            EXPECT_LE(std::abs(p.y - x), rx) << x << "," << y;
            EXPECT_LE(std::abs(p.cb - y), ry) << x << "," << y;
            EXPECT_TRUE(p.y >= sx && p.y < sx + w && p.cb >= sy && p.cb < sy + h) << x << "," << y;
            moved += p.y != x || p.cb != y;
        }
    }
    return moved;
}

TEST(Diffuse, SamplesStayWithinTheSpreadAndTheRectangle) {
    Picture out = Render(40, 30, Position, "diffuse(1, 2, 5, 4, 20, 15, 12, 10, 1, 1)\n", 2);
    EXPECT_GT(CheckDiffused(out, 5, 4, 20, 15, 12, 10, 1, 1), 150);
    EXPECT_TRUE(SamePixel(out.at(11, 10), YC(0)));  // outside the destination
    out = Render(40, 30, Position, "diffuse(1, 2, 5, 4, 20, 15, 12, 10, 3, 2)\n", 2);
    CheckDiffused(out, 5, 4, 20, 15, 12, 10, 3, 2);
}

TEST(Diffuse, SpreadsOfZeroOrBelowActAsOne) {
    Picture out = Render(30, 20, Position, "diffuse(1, 2, 0, 0, 30, 20, 0, 0, 0, -5)\n", 2);
    EXPECT_GT(CheckDiffused(out, 0, 0, 30, 20, 0, 0, 1, 1), 300);
}

TEST(Diffuse, OnlyPixelsInsideTheBufferAreDrawn) {
    // Source partly left of the buffer, destination partly below it.
    Picture out = Render(20, 10, Position, "diffuse(1, 2, -5, 2, 12, 6, 3, 7, 2, 2)\n", 2);
    for (int y = 0; y < 10; ++y) {
        for (int x = 0; x < 20; ++x) {
            bool drawn = x >= 8 && x < 15 && y >= 7;
            if (drawn) {
                EXPECT_TRUE(out.at(x, y).y >= 0 && out.at(x, y).y <= 6) << x << "," << y;
            } else {
                EXPECT_TRUE(SamePixel(out.at(x, y), YC(0))) << x << "," << y;
            }
        }
    }
}

TEST(Diffuse, LeavesTheScriptsRandomNumbersAlone) {
    // The second rand( draw is the same with or without a diffuse before it;
    // ellipse paints it into pixel (1, 1).
    const char* draws = "A=rand(4000)\nB=rand(4000)\nellipse(0, 1, 1, 1, 1, B, 0, 0)\n";
    const char* with_diffuse =
        "A=rand(4000)\ndiffuse(1, 2, 0, 0, 8, 8, 0, 0, 2, 2)\nB=rand(4000)\n"
        "ellipse(0, 1, 1, 1, 1, B, 0, 0)\n";
    int16_t plain = Render(8, 8, Noise, draws).at(1, 1).y;
    EXPECT_EQ(Render(8, 8, Noise, with_diffuse).at(1, 1).y, plain);
    EXPECT_NE(plain, Noise(1, 1).y);
}

TEST(Diffuse, SameBufferWorksFromACopyOfTheSource) {
    EXPECT_EQ(FirstDifference(Render(24, 16, Noise, "diffuse(0, 0, 2, 1, 18, 12, 4, 3, 2, 2)\n"),
                              Render(24, 16, Noise, "diffuse(1, 0, 2, 1, 18, 12, 4, 3, 2, 2)\n")),
              "");
}

// ---- all effects: worker count -----------------------------------------------

// Rectangles large enough that every loop is split between the workers.
TEST(Effects, OneTwoAndThreeWorkersGiveTheSamePicture) {
    const char* scripts[] = {
        "resize(1, 0, 3, 2, 120, 90, -5, 4, 200, 130)\n",
        "rotate(1, 0, 0.7, 5, 5, 150, 100, 10, 8)\n",
        "mosaic(1, 0, 3, 1, 170, 120, 2, 2, 7, 5)\n",
        "defocus(1, 0, 4, 3, 120, 90, 0, 0, 6)\n",
        "diffuse(1, 0, 2, 2, 150, 120, 3, 1, 4, 3)\n",
        "gamma(0, 1, 1, 180, 120, 1.7, 0.6, 2)\n",
        "posterize_rgb(0, 0, 0, 192, 128, 3, 5, 7)\n",
        "ellipse(0, 90, 60, 75, 50, 100, 200, 300)\n",
    };
    for (const char* script : scripts) {
        Picture one = Render(192, 128, Noise, script, 0, 1);
        EXPECT_EQ(FirstDifference(one, Render(192, 128, Noise, script, 0, 2)), "") << script;
        EXPECT_EQ(FirstDifference(one, Render(192, 128, Noise, script, 0, 3)), "") << script;
    }
}

}  // namespace
