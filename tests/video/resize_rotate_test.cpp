// resize and rotate: exact blends, the last-row and last-column rule, margins,
// clipping, and the stepped kernels against a plain per-pixel version.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "video/effects_support.h"
#include "video/pixel.h"
#include "video/video_commands.h"
#include "video/video_script.h"

namespace {

using namespace effects;

// The channel scale of a blend of one pixel with itself: 255 * 255 / 65536.
int32_t Darken(int32_t v) {
    return (v * 65025) >> 16;
}

// Plain resize of `from` into `to`: one division per pixel, every bound
// tested per pixel.
void PlainResize(const Picture& from, Picture* to, int sx, int sy, int sw, int sh, int dx, int dy,
                 int dw, int dh) {
    sw = ClampCount(sw, from.width);
    sh = ClampCount(sh, from.height);
    dw = ClampCount(dw, from.width);
    dh = ClampCount(dh, from.height);
    Picture src = from;
    for (int y = dy; y < dy + dh; ++y) {
        for (int x = dx; x < dx + dw; ++x) {
            int fy = (y - dy) * sh * 256 / dh, fx = (x - dx) * sw * 256 / dw;
            int px = sx + (fx >> 8), py = sy + (fy >> 8);
            if (px < 0 || px >= src.width || py < 0 || py >= src.height || x < 0 ||
                x >= to->width || y < 0 || y >= to->height) {
                continue;
            }
            bool last = px == sx + sw - 1 || py == sy + sh - 1 || px == src.width - 1 ||
                        py == src.height - 1;
            PixelYC p = src.at(px, py);
            to->at(x, y) = last ? BlendYC4(fx & 255, fy & 255, p, p, p, p)
                                : BlendYC4(fx & 255, fy & 255, p, src.at(px + 1, py),
                                           src.at(px, py + 1), src.at(px + 1, py + 1));
        }
    }
}

// Plain rotate: multiplies per pixel instead of stepping.
void PlainRotate(const Picture& from, Picture* to, double angle, int sx, int sy, int w, int h,
                 int dx, int dy) {
    int s = int(std::sin(angle) * 4096), c = int(std::cos(angle) * 4096);
    int cw = ClampCount(w, from.width), ch = ClampCount(h, from.height);
    int hw = w / 2, hh = h / 2;
    int margin_x = ((std::abs(c * w) + std::abs(s * h)) / 4096 - w) / 2;
    int margin_y = ((std::abs(s * w) + std::abs(c * h)) / 4096 - h) / 2;
    Picture src = from;
    int left = ClampTo(sx, src.width), right = ClampTo(sx + cw, src.width);
    int top = ClampTo(sy, src.height), bottom = ClampTo(sy + ch, src.height);
    for (int y = dy - margin_y; y < dy + ch + margin_y; ++y) {
        for (int x = dx - margin_x; x < dx + cw + margin_x; ++x) {
            int ex = x - dx - hw, ey = y - dy - hh;
            int u = ex * c - ey * s, v = ex * s + ey * c;
            int px = sx + hw + (u >> 12), py = sy + hh + (v >> 12);
            if (px < left || px >= right || py < top || py >= bottom || x < 0 || x >= to->width ||
                y < 0 || y >= to->height) {
                continue;
            }
            int wx = (u >> 4) & 255, wy = (v >> 4) & 255;
            PixelYC p = src.at(px, py);
            bool last = px == right - 1 || py == bottom - 1;
            to->at(x, y) = last ? BlendYC4(wx, wy, p, p, p, p)
                                : BlendYC4(wx, wy, p, src.at(px + 1, py), src.at(px, py + 1),
                                           src.at(px + 1, py + 1));
        }
    }
}

TEST(Resize, TwoByTwoOntoFourByFourBlendsOnlyTowardExistingNeighbours) {
    PixelFn frame = [](int x, int y) {
        static const int16_t ys[2][2] = {{1000, 2000}, {3000, 4000}};
        return x < 2 && y < 2 ? YC(ys[y][x], x == 0 && y == 0 ? -1000 : 0) : YC(0);
    };
    Picture out = Render(8, 8, frame, "resize(0, 2, 0, 0, 2, 2, 1, 1, 4, 4)\n", 2);
    const int32_t expected[4][4] = {
        {992, 1490, 1984, 1984},   // wx 0, 128; then the last source column alone
        {1988, 2486, 1984, 1984},  // wy 128
        {2976, 2976, 3968, 3968},  // the last source row alone
        {2976, 2976, 3968, 3968},
    };
    for (int y = 0; y < 8; ++y) {
        for (int x = 0; x < 8; ++x) {
            bool inside = x >= 1 && x < 5 && y >= 1 && y < 5;
            EXPECT_EQ(out.at(x, y).y, inside ? expected[y - 1][x - 1] : 0) << x << "," << y;
        }
    }
    EXPECT_EQ(out.at(1, 1).cb, -993);  // the blend shifts arithmetically: rounds down
}

TEST(Resize, SameSizeDarkensByTheBlendWeights) {
    Picture out = Render(
        6, 4, [](int x, int) { return YC(x < 3 ? 4096 : 2048, -2048, 1); },
        "resize(1, 0, 0, 0, 6, 4, 0, 0, 6, 4)\n");
    EXPECT_EQ(out.at(0, 0).y, 4064);
    EXPECT_EQ(out.at(5, 3).y, 2032);
    EXPECT_EQ(out.at(2, 1).cb, -2033);  // -2032.5, rounded down
    EXPECT_EQ(out.at(2, 1).cr, 0);
}

TEST(Resize, MatchesThePlainVersionWhereverTheRectanglesLie) {
    // {buffer w, h, sx, sy, sw, sh, dx, dy, dw, dh}; the large ones are split
    // between workers.
    const int cases[][10] = {
        {23, 17, 0, 0, 23, 17, 0, 0, 11, 8},
        {23, 17, 0, 0, 7, 5, 0, 0, 23, 17},
        {23, 17, 3, 2, 9, 9, 5, 4, 14, 3},
        {23, 17, -4, -3, 12, 10, -6, -5, 20, 15},
        {23, 17, 15, 10, 20, 20, 12, 9, 30, 30},
        {23, 17, 5, 5, 1, 1, 2, 2, 6, 6},
        {23, 17, 0, 0, 23, 17, 22, 16, 5, 5},
        {23, 17, -30, 0, 10, 10, 0, 0, 10, 10},
        {23, 17, 2, 3, 40, 40, -1, -2, 40, 1},
        {211, 130, -7, 3, 211, 125, 0, -2, 105, 70},
        {211, 130, 10, 5, 100, 60, -20, 4, 230, 128},
    };
    for (const auto& c : cases) {
        char script[128];
        std::snprintf(script, sizeof script, "resize(1, 0, %d, %d, %d, %d, %d, %d, %d, %d)\n", c[2],
                      c[3], c[4], c[5], c[6], c[7], c[8], c[9]);
        Picture expected = Frame(c[0], c[1], Noise);
        PlainResize(Frame(c[0], c[1], Noise), &expected, c[2], c[3], c[4], c[5], c[6], c[7], c[8],
                    c[9]);
        std::string same = script;
        same[7] = '0';  // reading and writing buffer 0
        for (int threads : {1, 2}) {
            EXPECT_EQ(FirstDifference(Render(c[0], c[1], Noise, script, 0, threads), expected), "")
                << script << threads;
            EXPECT_EQ(FirstDifference(Render(c[0], c[1], Noise, same, 0, threads), expected), "")
                << same << threads;
        }
    }
}

TEST(Resize, EveryKernelBuildMatchesThePlainVersion) {
    // {buffer w, h, source buffer, sx, sy, sw, sh, dx, dy, dw, dh} over the
    // whole 16-bit range: halving (every weight 0) and odd ratios, scaling up,
    // rows that end in a vector's tail, rectangles cut on every side, the
    // source as the destination (buffer 0), and sizes split between workers.
    const int cases[][11] = {
        {37, 21, 1, 0, 0, 37, 21, 0, 0, 18, 10},
        {37, 21, 0, 0, 0, 37, 21, 0, 0, 18, 10},
        {37, 21, 1, 0, 0, 37, 21, 2, 1, 13, 19},
        {37, 21, 1, 3, 2, 11, 7, 0, 0, 37, 21},
        {37, 21, 0, 5, 4, 9, 6, 1, 1, 35, 19},
        {37, 21, 1, -6, -3, 30, 20, -4, -2, 40, 15},
        {37, 21, 1, 20, 10, 40, 30, 3, 5, 25, 25},
        {37, 21, 1, 0, 0, 37, 21, 0, 0, 37, 21},
        {37, 21, 1, 0, 0, 3, 2, 5, 5, 30, 9},
        {37, 21, 0, 30, 1, 7, 19, 0, 0, 9, 21},
        {301, 150, 1, 0, 0, 301, 150, 0, 0, 150, 75},
        {301, 150, 0, 0, 0, 301, 150, 0, 0, 150, 75},
        {301, 150, 1, -5, 7, 290, 160, 3, -1, 297, 149},
        {301, 150, 0, 40, 20, 100, 60, -2, 0, 299, 151},
    };
    for (const auto& c : cases) {
        Picture frame = videotest::FullRangePicture(c[0], c[1], uint32_t(c[3] + 7 * c[9]));
        Picture expected = frame;
        PlainResize(frame, &expected, c[3], c[4], c[5], c[6], c[7], c[8], c[9], c[10]);
        std::initializer_list<double> values = {double(c[2]), 0,
                                                double(c[3]), double(c[4]),
                                                double(c[5]), double(c[6]),
                                                double(c[7]), double(c[8]),
                                                double(c[9]), double(c[10])};
        videotest::ExpectEveryBuild(cmd_resize, values, frame, 0, expected);
    }
}

TEST(Resize, SameBufferWorksFromACopyOfTheSource) {
    // Buffer 1 starts as a copy of buffer 0, so reading either gives one result.
    const char* scripts[][2] = {
        {"resize(0, 0, 2, 2, 10, 8, 0, 0, 20, 16)\n", "resize(1, 0, 2, 2, 10, 8, 0, 0, 20, 16)\n"},
        {"resize(0, 0, 0, 0, 20, 16, 3, 3, 9, 7)\n", "resize(1, 0, 0, 0, 20, 16, 3, 3, 9, 7)\n"},
    };
    for (const auto& s : scripts) {
        EXPECT_EQ(FirstDifference(Render(20, 16, Noise, s[0]), Render(20, 16, Noise, s[1])), "")
            << s[0];
    }
}

TEST(ResizeRotate, InvalidArgumentsChangeNothing) {
    const char* scripts[] = {
        "resize(1, 0, 0, 0, 0, 4, 0, 0, 4, 4)\n",  "resize(1, 0, 0, 0, 4, -1, 0, 0, 4, 4)\n",
        "resize(1, 0, 0, 0, 4, 4, 0, 0, 0, 4)\n",  "resize(1, 0, 0, 0, 4, 4, 0, 0, 4, -3)\n",
        "resize(10, 0, 0, 0, 4, 4, 0, 0, 4, 4)\n", "resize(1, -1, 0, 0, 4, 4, 0, 0, 4, 4)\n",
        "resize(1, 0, 0, 0, 4, 4, 20, 0, 4, 4)\n", "rotate(1, 0, 0.5, 0, 0, 0, 4, 0, 0)\n",
        "rotate(1, 0, 0.5, 0, 0, 4, 0, 0, 0)\n",   "rotate(-1, 0, 0.5, 0, 0, 4, 4, 0, 0)\n",
        "rotate(1, 10, 0.5, 0, 0, 4, 4, 0, 0)\n",  "rotate(1, 0, 0, 0, 0, 4, 4, -9, 0)\n",
    };
    for (const char* script : scripts) {
        EXPECT_EQ(FirstDifference(Render(12, 8, Noise, script), Frame(12, 8, Noise)), "") << script;
    }
}

TEST(Rotate, ZeroAngleCopiesWithTheBlendDarkening) {
    Picture out = Render(24, 16, Noise, "rotate(1, 2, 0, 3, 4, 10, 6, 7, 8)\n", 2);
    for (int y = 0; y < 16; ++y) {
        for (int x = 0; x < 24; ++x) {
            bool inside = x >= 7 && x < 17 && y >= 8 && y < 14;
            PixelYC p = out.at(x, y);
            PixelYC s = Noise(x - 4, y - 4);
            if (inside) {
                EXPECT_TRUE(SamePixel(p, YC(Darken(s.y), Darken(s.cb), Darken(s.cr))))
                    << x << "," << y;
            } else {
                EXPECT_TRUE(SamePixel(p, YC(0))) << x << "," << y;
            }
        }
    }
}

TEST(Rotate, QuarterTurnOfA100By50RectangleStandsUpright) {
    // S = 4096, C = 0: margins A = -25, B = 25, so the area is 50 columns by
    // 100 rows about the unturned rectangle's centre (dx + 50, dy + 25).
    // Destination (x, y) reads source (sx + 50 - ey, sy + 25 + ex): the
    // picture turns counter-clockwise; its top row would read column sx + 100,
    // outside the source, and stays as it was.
    const int sx = 10, sy = 20, dx = 30, dy = 40;
    auto frame = [](int x, int y) { return YC(x + 2 * y, x - y, 7); };
    Picture out = Render(160, 150, frame, "rotate(1, 2, p / 2, 10, 20, 100, 50, 30, 40)\n", 2);
    int drawn = 0;
    for (int y = 0; y < 150; ++y) {
        for (int x = 0; x < 160; ++x) {
            int ex = x - dx - 50, ey = y - dy - 25;
            int px = sx + 50 - ey, py = sy + 25 + ex;
            bool inside = x >= dx + 25 && x < dx + 75 && y >= dy - 25 && y < dy + 75 && px >= sx &&
                          px < sx + 100 && py >= sy && py < sy + 50;
            PixelYC s = frame(px, py);
            PixelYC expected = inside ? YC(Darken(s.y), Darken(s.cb), Darken(7)) : YC(0);
            ASSERT_TRUE(SamePixel(out.at(x, y), expected)) << x << "," << y;
            drawn += inside;
        }
    }
    EXPECT_EQ(drawn, 50 * 99);
}

TEST(Rotate, MatchesThePlainVersionAtAnyAngle) {
    struct Case {
        const char* angle;
        double value;
        int sx, sy, w, h, dx, dy;
        int buffer_w, buffer_h;  // the large ones are split between workers
    } cases[] = {
        {"0.3", 0.3, 2, 3, 20, 12, 5, 6, 31, 23},
        {"-0.3", -0.3, 2, 3, 20, 12, 5, 6, 31, 23},
        {"2.5", 2.5, 0, 0, 31, 23, 0, 0, 31, 23},
        {"-1", -1.0, -5, -4, 16, 14, 20, 15, 31, 23},
        {"p", 3.14159265358979, 4, 4, 9, 7, -2, 10, 31, 23},
        {"0.8", 0.8, 10, 5, 50, 40, 3, -8, 31, 23},
        {"4", 4.0, 29, 20, 6, 6, 26, 1, 31, 23},
        {"0.3", 0.3, -10, 4, 230, 110, 3, -6, 211, 120},
        {"-2", -2.0, 20, 10, 150, 90, 40, 20, 211, 120},
    };
    for (const Case& c : cases) {
        char script[128];
        std::snprintf(script, sizeof script, "rotate(1, 0, %s, %d, %d, %d, %d, %d, %d)\n", c.angle,
                      c.sx, c.sy, c.w, c.h, c.dx, c.dy);
        const int w = c.buffer_w, h = c.buffer_h;
        Picture expected = Frame(w, h, Noise);
        PlainRotate(Frame(w, h, Noise), &expected, c.value, c.sx, c.sy, c.w, c.h, c.dx, c.dy);
        // Reading and writing buffer 0 gives the same picture.
        std::string same = script;
        same[7] = '0';
        for (int threads : {1, 2}) {
            EXPECT_EQ(FirstDifference(Render(w, h, Noise, script, 0, threads), expected), "")
                << script << threads;
            EXPECT_EQ(FirstDifference(Render(w, h, Noise, same, 0, threads), expected), "")
                << same << threads;
        }
    }
}

}  // namespace
