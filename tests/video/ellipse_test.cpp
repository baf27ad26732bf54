// ellipse and ellipse_rgb: the spans of the outline walk, clipping, and the
// row-by-row drawing against the plain step-by-step walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common/int128.h"
#include "host/buffers.h"
#include "script/script.h"
#include "video/effects_support.h"
#include "video/video_commands.h"

namespace {

using namespace effects;

const PixelYC kPaint = YC(4000, -100, 200);

// The plain walk: every step with the incremental terms, every span drawn.
// Terms in 128 bits, so any int32 semi-axes are exact: the compiler's own
// 128-bit type where it has one, the plug-in's helper on 32-bit targets.
void PlainEllipse(Picture* p, int64_t cx, int64_t cy, int64_t a, int64_t b, PixelYC color) {
#ifdef __SIZEOF_INT128__
    using Wide = __int128;
#else
    using Wide = Int128;
#endif
    Wide a2 = Wide(a) * a, b2 = Wide(b) * b;
    Wide e1 = (1 - 2 * a) * b2 + 2 * a2, e2 = a2 + (2 - 4 * a) * b2;
    Wide sx = 4 * a * b2, t1 = 2 * a2, t2 = 0, u = (2 - 4 * a) * b2;
    int64_t x = a, y = 0;
    auto span = [&](int64_t row, int64_t x0, int64_t x1) {
        if (row < 0 || row >= p->height || x1 < 0 || x0 >= p->width) return;
        for (int64_t i = std::max<int64_t>(x0, 0); i <= std::min<int64_t>(x1, p->width - 1); ++i) {
            p->at(int(i), int(row)) = color;
        }
    };
    while (x >= 0) {
        // Rows above and below the buffer have nothing to draw.
        if (cy + y >= 0 && cy + y < p->height) span(cy + y, cx - x, cx + x);
        if (cy - y >= 0 && cy - y < p->height) span(cy - y, cx - x, cx + x);
        if (e1 < 0) {
            ++y;
            t1 += 4 * a2;
            t2 += 4 * a2;
            e1 += t1;
            e2 += t2;
        } else {
            u += 4 * b2;
            sx -= 4 * b2;
            if (e2 >= 0) {
                --x;
                e1 -= sx;
                e2 += u;
            } else {
                t1 += 4 * a2;
                t2 += 4 * a2;
                --x;
                ++y;
                e1 += t1 - sx;
                e2 += u + t2;
            }
        }
    }
}

// The painted half-widths of rows cy - reach .. cy + reach about column cx
// (-1: row not painted); each painted row must be one span centred on cx.
std::vector<int> HalfWidths(Picture p, int cx, int cy, int reach) {
    std::vector<int> widths;
    for (int y = cy - reach; y <= cy + reach; ++y) {
        int first = -1, last = -1;
        for (int x = 0; x < p.width; ++x) {
            if (SamePixel(p.at(x, y), kPaint)) {
                if (first < 0) first = x;
                last = x;
            }
        }
        EXPECT_EQ(first < 0 ? 0 : cx - first, first < 0 ? 0 : last - cx) << "row " << y;
        widths.push_back(first < 0 ? -1 : cx - first);
    }
    return widths;
}

TEST(Ellipse, SpansOfSmallEllipses) {
    struct Case {
        int a, b;
        std::vector<int> widths;  // rows cy - 6 .. cy + 6
    } cases[] = {
        {1, 1, {-1, -1, -1, -1, -1, 0, 1, 0, -1, -1, -1, -1, -1}},
        {2, 1, {-1, -1, -1, -1, -1, 1, 2, 1, -1, -1, -1, -1, -1}},
        {5, 5, {-1, 2, 3, 4, 5, 5, 5, 5, 5, 4, 3, 2, -1}},
        {1, 4, {-1, -1, -1, 0, 1, 1, 1, 1, 1, 0, -1, -1, -1}},  // never reaches b
    };
    for (const Case& c : cases) {
        char script[80];
        std::snprintf(script, sizeof script, "ellipse(0, 10, 8, %d, %d, 4000, -100, 200)\n", c.a,
                      c.b);
        EXPECT_EQ(HalfWidths(Render(
                                 20, 17, [](int, int) { return YC(0); }, script),
                             10, 8, 6),
                  c.widths)
            << script;
    }
}

TEST(Ellipse, MatchesThePlainWalk) {
    const int w = 41, h = 29;
    const int cases[][4] = {
        {20, 14, 12, 9},   {20, 14, 30, 20},   {3, 2, 17, 11},    {-10, 5, 25, 8},
        {40, 28, 3, 40},   {20, 50, 60, 40},   {20, -30, 15, 35}, {60, 14, 45, 2},
        {0, 0, 1, 1},      {20, 14, 200, 3},   {20, 14, 2, 150},  {-5, 35, 300, 21},
        {20, 14, 97, 103}, {25, 200, 40, 190},
    };
    for (const auto& c : cases) {
        char script[80];
        std::snprintf(script, sizeof script, "ellipse(0, %d, %d, %d, %d, 4000, -100, 200)\n", c[0],
                      c[1], c[2], c[3]);
        Picture expected = Frame(w, h, Noise);
        PlainEllipse(&expected, c[0], c[1], c[2], c[3], kPaint);
        EXPECT_EQ(FirstDifference(Render(w, h, Noise, script), expected), "") << script;
    }
}

TEST(Ellipse, LargeEllipsesSeenThroughTheBufferMatchThePlainWalk) {
    // Centres far outside the buffer: only rows a long way down the walk show,
    // near the ends of the quarter and near its 45-degree point.
    const int64_t cases[][4] = {
        {16, 12, 600000, 400000},      {16, -399990, 600000, 400000},
        {-599990, 12, 600000, 400000}, {-424248, -282831, 600000, 400000},
        {16, 500005, 500000, 500000},  {-353537, 353565, 500000, 500000},
        {16, 12, 800000, 7},           {16, 200011, 5, 200000},
    };
    for (const auto& c : cases) {
        std::string script = "ellipse(0, " + std::to_string(c[0]) + ", " + std::to_string(c[1]) +
                             ", " + std::to_string(c[2]) + ", " + std::to_string(c[3]) +
                             ", 4000, -100, 200)\n";
        Picture expected = Frame(32, 24, Noise);
        PlainEllipse(&expected, c[0], c[1], c[2], c[3], kPaint);
        EXPECT_EQ(FirstDifference(Render(32, 24, Noise, script), expected), "") << script;
    }
}

TEST(Ellipse, HugeSemiAxesDrawOnlyWhatIsVisible) {
    // Semi-axes of 10^8: the plain walk takes 2 x 10^8 steps, the command
    // only looks at the visible rows. Centred in the buffer, the circle
    // covers it; centred 10^8 + 10 rows down, its top row (y = b, 2 x 9999 + 1
    // pixels wide) is row 10.
    Picture out =
        Render(32, 24, Noise, "ellipse(0, 16, 12, 100000000, 100000000, 4000, -100, 200)\n");
    EXPECT_EQ(FirstDifference(out, Render(
                                       32, 24, [](int, int) { return kPaint; }, "")),
              "");
    out =
        Render(32, 24, Noise, "ellipse(0, 16, 100000010, 100000000, 100000000, 4000, -100, 200)\n");
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) {
            EXPECT_EQ(SamePixel(out.at(x, y), kPaint), y >= 10) << x << "," << y;
        }
    }
    // Its right edge at column 20, against the plain walk.
    Picture expected = Frame(32, 24, Noise);
    PlainEllipse(&expected, 20 - 100000000, 12, 100000000, 100000000, kPaint);
    out = Render(32, 24, Noise,
                 "ellipse(0, 20 - 100000000, 12, 100000000, 100000000, 4000, -100, 200)\n");
    EXPECT_EQ(FirstDifference(out, expected), "");
    // The largest semi-axes there are: exact 128-bit terms.
    out = Render(32, 24, Noise, "ellipse(0, 16, 12, 2147483647, 2147483647, 4000, -100, 200)\n");
    EXPECT_EQ(FirstDifference(out, Render(
                                       32, 24, [](int, int) { return kPaint; }, "")),
              "");
    out = Render(32, 24, Noise,
                 "ellipse(0, 16, 2147483647, 2147483647, 2147483647, 4000, -100, 200)\n");
    EXPECT_TRUE(SamePixel(out.at(0, 0), kPaint));
    EXPECT_TRUE(SamePixel(out.at(31, 23), kPaint));
}

// X(y) of the plain walk: the half-width at its first arrival on each row
// offset, up to the last row it reaches.
std::vector<int64_t> PlainHalfWidths(int64_t a, int64_t b) {
    Picture probe{int32_t(2 * a + 1), 1, std::vector<PixelYC>(size_t(2 * a + 1), YC(0))};
    std::vector<int64_t> widths;
    for (int64_t y = 0; y <= b; ++y) {
        // Row 0 of a one-row buffer is row offset y of an ellipse centred -y.
        std::fill(probe.pixels.begin(), probe.pixels.end(), YC(0));
        PlainEllipse(&probe, a, -y, a, b, kPaint);
        if (!SamePixel(probe.at(int(a), 0), kPaint)) break;
        int64_t x = a;
        while (x + 1 < probe.width && SamePixel(probe.at(int(x + 1), 0), kPaint))
            ++x;
        widths.push_back(x - a);
    }
    return widths;
}

TEST(Ellipse, EveryRowOffsetFoundDirectlyMatchesThePlainWalk) {
    // The command works out the half-width of the first visible row offset
    // without walking the rows before it. A one-row buffer shows exactly one
    // row offset, so calling the handler with centres -y checks every y.
    const int64_t shapes[][2] = {{1, 60},   {60, 1},     {2, 3},      {6, 11},     {7, 15},
                                 {30, 400}, {700, 2600}, {2500, 900}, {3000, 3000}};
    for (const auto& shape : shapes) {
        int64_t a = shape[0], b = shape[1];
        std::vector<int64_t> expected = PlainHalfWidths(a, b);
        std::vector<PixelYC> row(size_t(2 * a + 1));
        FrameInfo frame{};
        frame.edit_pixels = frame.temp_pixels = row.data();
        frame.width = frame.max_w = int32_t(2 * a + 1);
        frame.height = frame.max_h = 1;
        SetUpImageBuffers(&frame);
        ScriptLine line{};
        double line_values[kScriptArgCount] = {};
        line.values = line_values;
        g_script.lines = &line;
        g_script.count = 1;
        const double values[] = {0, double(a), 0, double(a), double(b), 4000, -100, 200};
        std::copy(std::begin(values), std::end(values), line_values);
        for (int64_t y = 0; y <= b + 1; ++y) {
            std::fill(row.begin(), row.end(), YC(0));
            line.values[2] = double(-y);
            cmd_ellipse(0, nullptr, &frame);
            int64_t width = -1;
            while (width < a && SamePixel(row[size_t(a + width + 1)], kPaint))
                ++width;
            int64_t plain = y < int64_t(expected.size()) ? expected[size_t(y)] : -1;
            ASSERT_EQ(width, plain) << "a " << a << " b " << b << " y " << y;
        }
        g_script.lines = nullptr;
        g_script.count = 0;
    }
}

TEST(Ellipse, RGBColourAndLow16BitsOfChannels) {
    Picture out = Render(5, 5, Noise, "ellipse_rgb(0, 2, 2, 1, 1, 4096, 4096, 4096)\n");
    EXPECT_TRUE(SamePixel(out.at(2, 1), YC(4095, 0, 0)));
    out = Render(5, 5, Noise, "ellipse(0, 2, 2, 1, 1, 70000, -70000, 65536)\n");
    EXPECT_TRUE(SamePixel(out.at(1, 2), YC(4464, -4464, 0)));
}

TEST(Ellipse, NothingForBadArguments) {
    const char* scripts[] = {
        "ellipse(0, 5, 5, 0, 3, 4000, 0, 0)\n",     "ellipse(0, 5, 5, 3, -1, 4000, 0, 0)\n",
        "ellipse(10, 5, 5, 3, 3, 4000, 0, 0)\n",    "ellipse(-1, 5, 5, 3, 3, 4000, 0, 0)\n",
        "ellipse(0, 5, -20, 3, 3, 4000, 0, 0)\n",   "ellipse(0, -4, 5, 3, 3, 4000, 0, 0)\n",
        "ellipse_rgb(0, 5, 5, 0, 0, 4096, 0, 0)\n",
    };
    for (const char* script : scripts) {
        EXPECT_EQ(FirstDifference(Render(12, 10, Noise, script), Frame(12, 10, Noise)), "")
            << script;
    }
}

}  // namespace
