// Colour-key masks in YC and RGB: inclusive bounds, empty boxes, in and out
// values as 16-bit, the RGB conversion of a saturated red, clipping, and masks
// made in the buffer they key.
#include <gtest/gtest.h>

#include "common/yc_rgb.h"
#include "video/video_commands.h"
#include "video_script.h"

namespace {

using videotest::Channels;
using videotest::Picture;
using videotest::RunLines;
using videotest::ScriptRun;
using videotest::YC;

// Row 0 holds a saturated red, a grey and a dark pixel; every other pixel is
// (0, 5, -5).
PixelYC KeyedProject(int32_t, int32_t x, int32_t y) {
    if (y == 0 && x == 0) return {1200, -700, 2048};
    if (y == 0 && x == 1) return {2048, 0, 0};
    if (y == 0 && x == 2) return {100, 50, -50};
    return {0, 5, -5};
}

ScriptRun KeyedRun(int32_t shown) {
    ScriptRun run;
    run.shown = shown;
    run.project = KeyedProject;
    return run;
}

std::string MaskLine(const char* command, int lo0, int lo1, int lo2, int hi0, int hi1, int hi2,
                     int in, int out) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%s(0, 2, 0, 0, 32, 24, 0, 0, %d, %d, %d, %d, %d, %d, %d, %d)\n", command, lo0,
                  lo1, lo2, hi0, hi1, hi2, in, out);
    return text;
}

TEST(Mkmask, BoundsAreInclusiveAndInAndOutAreStoredAs16Bits) {
    Picture out = RunLines(MaskLine("mkmask", 100, 50, -50, 100, 50, -50, 70000, -1), KeyedRun(2));
    EXPECT_EQ(YC(out.at(2, 0)), Channels(4464, 0, 0));
    EXPECT_EQ(YC(out.at(0, 0)), Channels(-1, 0, 0));
    EXPECT_EQ(YC(out.at(1, 0)), Channels(-1, 0, 0));
    EXPECT_EQ(YC(out.at(31, 23)), Channels(-1, 0, 0));
}

TEST(Mkmask, EachBoundExcludesOneStepBeyond) {
    struct Case {
        const char* name;
        int lo[3], hi[3];
    };
    const Case outside[] = {
        {"Y low", {101, 50, -50}, {100, 50, -50}},  {"Y high", {100, 50, -50}, {99, 50, -50}},
        {"Cb low", {100, 51, -50}, {100, 50, -50}}, {"Cb high", {100, 50, -50}, {100, 49, -50}},
        {"Cr low", {100, 50, -49}, {100, 50, -50}}, {"Cr high", {100, 50, -50}, {100, 50, -51}},
    };
    for (const Case& c : outside) {
        Picture out = RunLines(
            MaskLine("mkmask", c.lo[0], c.lo[1], c.lo[2], c.hi[0], c.hi[1], c.hi[2], 4096, 7),
            KeyedRun(2));
        EXPECT_EQ(YC(out.at(2, 0)), Channels(7, 0, 0)) << c.name;
    }
}

TEST(Mkmask, TheMaskPixelIsOverwrittenWhole) {
    // Buffer 1 is the host's copy of the frame, with nonzero Cb and Cr.
    ScriptRun run = KeyedRun(1);
    Picture out =
        RunLines("mkmask(0, 1, 0, 0, 32, 24, 0, 0, 0, 0, 0, 4096, 4096, 4096, 4096, 0)\n", run);
    EXPECT_EQ(YC(out.at(1, 0)), Channels(4096, 0, 0));
    EXPECT_EQ(YC(out.at(0, 0)), Channels(0, 0, 0));
    EXPECT_EQ(YC(out.at(5, 5)), Channels(0, 0, 0));
}

// R = 1200 + 1.402 * 2048 = 4071; G = 1200 + 240.8 - 1462.272 = -21;
// B = 1200 - 1240.4 = -40, each truncated toward zero.
TEST(MkmaskRGB, SaturatedRedConvertsWithoutClamping) {
    Picture exact =
        RunLines(MaskLine("mkmask_rgb", 4071, -21, -40, 4071, -21, -40, 4096, 0), KeyedRun(2));
    EXPECT_EQ(YC(exact.at(0, 0)), Channels(4096, 0, 0));
    EXPECT_EQ(YC(exact.at(1, 0)), Channels(0, 0, 0));
    Picture clamped =
        RunLines(MaskLine("mkmask_rgb", 0, 0, -4096, 4096, 4096, 4096, 4096, 0), KeyedRun(2));
    EXPECT_EQ(YC(clamped.at(0, 0)), Channels(0, 0, 0));     // G -21 is below 0
    EXPECT_EQ(YC(clamped.at(1, 0)), Channels(4096, 0, 0));  // grey is inside
}

TEST(MkmaskRGB, GreyConvertsExactly) {
    Picture out =
        RunLines(MaskLine("mkmask_rgb", 2048, 2048, 2048, 2048, 2048, 2048, 1, 2), KeyedRun(2));
    EXPECT_EQ(YC(out.at(1, 0)), Channels(1, 0, 0));
    EXPECT_EQ(YC(out.at(2, 0)), Channels(2, 0, 0));
}

TEST(Mkmask, EmptyBoxGivesTheOutValueEverywhere) {
    Picture out =
        RunLines(MaskLine("mkmask", 0, -9999, -9999, -1, 9999, 9999, 4096, 9), KeyedRun(2));
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(YC(out.at(x, y)), Channels(9, 0, 0));
    }
}

TEST(Mkmask, MissingSourcePixelsLeaveTheMaskUnchanged) {
    ScriptRun run = KeyedRun(2);
    Picture out = RunLines(
        "fill(2, 0, 0, 32, 24, 55, 66, 77)\n"
        "mkmask(0, 2, -5, 0, 10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 9, 8)\n",
        run);
    EXPECT_EQ(YC(out.at(4, 0)), Channels(55, 66, 77));
    EXPECT_EQ(YC(out.at(5, 0)), Channels(8, 0, 0));  // source (0, 0) is red: out
    EXPECT_EQ(YC(out.at(9, 0)), Channels(8, 0, 0));
    EXPECT_EQ(YC(out.at(10, 0)), Channels(55, 66, 77));
    EXPECT_EQ(YC(out.at(5, 1)), Channels(55, 66, 77));
}

TEST(Mkmask, MaskReplacesItsOwnPictureAtTheSamePosition) {
    ScriptRun run = KeyedRun(0);
    Picture out = videotest::RunWithOneAndTwoThreads(
        "mkmask(0, 0, 0, 0, 32, 24, 0, 0, 2048, 0, 0, 2048, 0, 0, 4096, 0)\n", run);
    EXPECT_EQ(YC(out.at(1, 0)), Channels(4096, 0, 0));
    EXPECT_EQ(YC(out.at(0, 0)), Channels(0, 0, 0));
    EXPECT_EQ(YC(out.at(3, 3)), Channels(0, 0, 0));
}

// A mask written one row below its source in the same buffer keys the
// picture as it was, not rows already turned into mask.
TEST(Mkmask, ShiftedMaskInItsOwnBufferKeysThePictureAsItWas) {
    ScriptRun run;
    run.project = [](int32_t, int32_t, int32_t y) { return PixelYC{int16_t(y * 100), 3, 4}; };
    Picture out = videotest::RunWithOneAndTwoThreads(
        "mkmask(0, 0, 0, 0, 32, 24, 0, 1, 0, 3, 4, 150, 3, 4, 4096, 0)\n", run);
    EXPECT_EQ(YC(out.at(6, 0)), Channels(0, 3, 4));  // not written
    EXPECT_EQ(YC(out.at(6, 1)), Channels(4096, 0, 0));
    EXPECT_EQ(YC(out.at(6, 2)), Channels(4096, 0, 0));
    for (int y = 3; y < 24; ++y)
        EXPECT_EQ(YC(out.at(6, y)), Channels(0, 0, 0)) << y;
}

TEST(MkmaskRGBDirect, EveryKernelBuildMatchesThePlainVersion) {
    // {buffer w, h, source buffer, sx, sy, w, h, dx, dy}: rows that end in a
    // vector's tail, the mask made over its own picture (buffer 0 into 0), a
    // shifted and a clipped rectangle, and one split between workers.
    const int rects[][9] = {
        {37, 9, 1, 0, 0, 37, 9, 0, 0},       {37, 9, 0, 0, 0, 37, 9, 0, 0},
        {37, 9, 0, 3, 1, 30, 8, 5, 0},       {37, 9, 1, -4, 2, 40, 9, 2, -3},
        {203, 130, 0, 0, 0, 203, 130, 0, 0},
    };
    // Boxes in R, G, B (lows, highs, in, out): one that takes about half of
    // the full-range values, one of the usual range, one with out of 16 bits.
    const int boxes[][8] = {{-40000, -60000, -30000, 40000, 30000, 50000, 4096, -5},
                            {0, -500, 1000, 30000, 40000, 30000, -1, 70000},
                            {-90000, -90000, -90000, 90000, 90000, 90000, 7, 65537}};
    for (const auto& r : rects) {
        for (const auto& k : boxes) {
            Picture frame = videotest::FullRangePicture(r[0], r[1], uint32_t(r[5] + k[7]));
            Picture expected = frame;
            for (int y = 0; y < r[6]; ++y) {
                for (int x = 0; x < r[5]; ++x) {
                    const int sx = r[3] + x, sy = r[4] + y, dx = r[7] + x, dy = r[8] + y;
                    if (sx < 0 || sy < 0 || sx >= r[0] || sy >= r[1] || dx < 0 || dy < 0 ||
                        dx >= r[0] || dy >= r[1]) {
                        continue;
                    }
                    const PixelYC p = frame.at(sx, sy);
                    const ColorRGB c = YCToRGB(p.y, p.cb, p.cr);
                    const bool in = k[0] <= c.r && c.r <= k[3] && k[1] <= c.g && c.g <= k[4] &&
                                    k[2] <= c.b && c.b <= k[5];
                    expected.at(dx, dy) = PixelYC{int16_t(in ? k[6] : k[7]), 0, 0};
                }
            }
            videotest::ExpectEveryBuild(
                cmd_mkmask_rgb,
                {double(r[2]), 0, double(r[3]), double(r[4]), double(r[5]), double(r[6]),
                 double(r[7]), double(r[8]), double(k[0]), double(k[1]), double(k[2]), double(k[3]),
                 double(k[4]), double(k[5]), double(k[6]), double(k[7])},
                frame, 0, expected);
        }
    }
}

TEST(MkmaskDirect, BuffersAreMadeAvailableInArgumentOrder) {
    videotest::DirectCall call;
    call.Call(cmd_mkmask_rgb, {2, -3, 0, 0, 4, 4, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0});
    EXPECT_TRUE(call.Exists(2));
    call.Call(cmd_mkmask, {11, 3, 0, 0, 4, 4, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0});
    EXPECT_FALSE(call.Exists(3));
}

}  // namespace
