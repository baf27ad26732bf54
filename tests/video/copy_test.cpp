// The copy family and the rectangle walk it shares with masks, blends and
// flips: clipping at every edge, thresholds, buffer allocation order,
// argument conversion and copies within one buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "video/video_commands.h"
#include "video_script.h"

namespace {

using videotest::Channels;
using videotest::DirectCall;
using videotest::Picture;
using videotest::RunLines;
using videotest::ScriptRun;
using videotest::YC;

// Default project frame 0: Y = x, Cb = y - 8, Cr = x - y.
Channels Project(int x, int y) {
    return Channels(x, y - 8, x - y);
}
const Channels kBlack(0, 0, 0);

TEST(Copy, SizeLargerThanTheBufferCopiesTheWholeBuffer) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("copy(0, 2, 0, 0, 1000, 1000, 0, 0)\n", run);
    EXPECT_TRUE(videotest::SamePicture(out, videotest::ProjectOf(run)));
}

TEST(Copy, SourceColumnsLeftOfTheBufferAreSkippedNotShifted) {
    ScriptRun run;
    run.width = 128;
    run.height = 4;
    run.shown = 2;
    Picture out = RunLines("copy(0, 2, -10, 0, 100, 1, 5, 0)\n", run);
    for (int x = 5; x < 15; ++x)
        EXPECT_EQ(YC(out.at(x, 0)), kBlack) << x;
    for (int i = 0; i < 90; ++i)
        ASSERT_EQ(YC(out.at(15 + i, 0)), Project(i, 0)) << i;
    EXPECT_EQ(YC(out.at(105, 0)), kBlack);
    EXPECT_EQ(YC(out.at(20, 1)), kBlack);
}

TEST(Copy, DestinationPastTheBottomRightCorner) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("copy(0, 2, 0, 0, 10, 10, 28, 20)\n", run);
    EXPECT_EQ(YC(out.at(28, 20)), Project(0, 0));
    EXPECT_EQ(YC(out.at(31, 23)), Project(3, 3));
    EXPECT_EQ(YC(out.at(27, 20)), kBlack);
    EXPECT_EQ(YC(out.at(28, 19)), kBlack);
}

TEST(Copy, DestinationPastTheTopLeftCorner) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("copy(0, 2, 0, 0, 10, 10, -4, -2)\n", run);
    EXPECT_EQ(YC(out.at(0, 0)), Project(4, 2));
    EXPECT_EQ(YC(out.at(5, 7)), Project(9, 9));
    EXPECT_EQ(YC(out.at(6, 0)), kBlack);
    EXPECT_EQ(YC(out.at(0, 8)), kBlack);
}

TEST(Copy, RectanglesWhollyOutsideDrawNothing) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines(
        "copy(0, 2, 0, 0, 10, 10, 32, 0)\n"
        "copy(0, 2, 0, 0, 10, 10, -10, 0)\n"
        "copy(0, 2, 0, 0, 10, 10, 0, 24)\n"
        "copy(0, 2, 0, 0, 10, 10, 0, -10)\n"
        "copy(0, 2, 32, 0, 10, 10, 0, 0)\n"
        "copy(0, 2, 0, -10, 10, 10, 0, 0)\n",
        run);
    EXPECT_TRUE(videotest::SamePicture(out, videotest::MakePicture(32, 24, [](int32_t, int32_t) {
                                           return PixelYC{0, 0, 0};
                                       })));
}

TEST(Copy, FractionalArgumentsTruncateTowardZero) {
    ScriptRun run;
    run.shown = 2;
    // Width 0.9 draws nothing; position -0.5 is 0 and width 1.9 is 1.
    Picture out = RunLines(
        "copy(0, 2, 3, 3, 0.9, 5, 3, 3)\n"
        "copy(0, 2, -0.5, 0, 1.9, 1.5, -0.9, 0)\n",
        run);
    EXPECT_EQ(YC(out.at(3, 3)), kBlack);
    EXPECT_EQ(YC(out.at(0, 0)), Project(0, 0));
    EXPECT_EQ(YC(out.at(1, 0)), kBlack);
    EXPECT_EQ(YC(out.at(0, 1)), kBlack);
}

TEST(Copy2, CopiesOnlyWhereTheSourceYIsAboveTheThreshold) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("copy2(0, 2, 0, 0, 32, 24, 0, 0, 5)\n", run);
    EXPECT_EQ(YC(out.at(5, 3)), kBlack);  // Y equal to the threshold
    EXPECT_EQ(YC(out.at(6, 3)), Project(6, 3));
    EXPECT_EQ(YC(out.at(31, 23)), Project(31, 23));
}

TEST(Copy3, MaskRowsOutsideTheBufferAreSkipped) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines(
        "fill(3, 0, 0, 32, 24, 100, 0, 0)\n"
        "copy3(0, 2, 3, 0, 0, 32, 24, 0, 0, 0, 20, 50)\n",
        run);
    EXPECT_EQ(YC(out.at(7, 3)), Project(7, 3));
    EXPECT_EQ(YC(out.at(7, 4)), kBlack);
}

TEST(Copy3, MaskColumnsOutsideAndTheThresholdOnTheMaskOnly) {
    ScriptRun run;
    run.shown = 2;
    // The mask is the project frame itself (Y = x), at column 25: only mask
    // columns 28..31 have Y above 27, so destination columns 3..6 are copied.
    Picture out = RunLines("copy3(0, 2, 0, 0, 0, 32, 1, 0, 0, 25, 0, 27)\n", run);
    for (int x = 0; x < 32; ++x) {
        EXPECT_EQ(YC(out.at(x, 0)), x >= 3 && x <= 6 ? Project(x, 0) : kBlack) << x;
    }
}

TEST(Copy3, ANegativeInValueNeverPassesThresholdZero) {
    ScriptRun run;
    run.shown = 2;
    Picture none = RunLines(
        "mkmask(0, 3, 0, 0, 32, 24, 0, 0, -9999, -9999, -9999, 9999, 9999, 9999, -5, 0)\n"
        "copy3(0, 2, 3, 0, 0, 32, 24, 0, 0, 0, 0, 0)\n",
        run);
    EXPECT_EQ(YC(none.at(9, 9)), kBlack);
    Picture all = RunLines(
        "mkmask(0, 3, 0, 0, 32, 24, 0, 0, -9999, -9999, -9999, 9999, 9999, 9999, -5, 0)\n"
        "copy3(0, 2, 3, 0, 0, 32, 24, 0, 0, 0, 0, -6)\n",
        run);
    EXPECT_EQ(YC(all.at(9, 9)), Project(9, 9));
}

TEST(Copy, BadBufferIndicesDoNothing) {
    ScriptRun run;
    Picture out = RunLines("copy(2, 0, 0, 0, 32, 24, 0, 0)\n", run);
    EXPECT_EQ(YC(out.at(4, 4)), kBlack);  // the line itself works
    Picture kept = RunLines(
        "copy(10, 0, 0, 0, 32, 24, 0, 0)\n"
        "copy(-1, 0, 0, 0, 32, 24, 0, 0)\n"
        "copy3(2, 0, 10, 0, 0, 32, 24, 0, 0, 0, 0, -99999)\n",
        run);
    EXPECT_EQ(YC(kept.at(4, 4)), Project(4, 4));
}

// Copies within one buffer read the buffer as it was before the command, so
// the picture moves whole, whatever the order of rows and threads.
TEST(Copy, OverlappingCopyWithinOneBufferMovesThePictureWhole) {
    struct Case {
        const char* line;
        int shift_x, shift_y;
    };
    for (const Case& c : {Case{"copy(0, 0, 0, 0, 32, 24, 1, 1)\n", 1, 1},
                          Case{"copy(0, 0, 1, 2, 32, 24, 0, 0)\n", -1, -2},
                          Case{"copy(0, 0, 0, 0, 32, 24, 0, 3)\n", 0, 3}}) {
        Picture out = videotest::RunWithOneAndTwoThreads(c.line);
        for (int y = 0; y < 24; ++y) {
            for (int x = 0; x < 32; ++x) {
                int sx = x - c.shift_x, sy = y - c.shift_y;
                bool moved = sx >= 0 && sx < 32 && sy >= 0 && sy < 24;
                ASSERT_EQ(YC(out.at(x, y)), moved ? Project(sx, sy) : Project(x, y))
                    << c.line << x << "," << y;
            }
        }
    }
}

// Copies too large for the caches write around them; the pixels are the same,
// whatever the alignment of the rows and the number of threads.
TEST(Copy, CopiesLargerThanTheCachesArriveWhole) {
    ScriptRun run;
    run.width = 1283;  // odd: rows start at every alignment
    run.height = 600;  // 4.6 MB of pixels, above the streaming threshold
    run.shown = 2;
    Picture out = videotest::RunWithOneAndTwoThreads("copy(0, 2, 1, 0, w, h, 0, 1)\n", run);
    for (int y = 0; y < run.height; ++y) {
        for (int x = 0; x < run.width; ++x) {
            Channels expected = (y == 0 || x == run.width - 1) ? kBlack : Project(x + 1, y - 1);
            ASSERT_EQ(YC(out.at(x, y)), expected) << x << "," << y;
        }
    }
}

// ---- on the plug-in's parts directly ----

TEST(CopyDirect, BuffersAreMadeAvailableInArgumentOrder) {
    DirectCall call;
    call.Call(cmd_copy, {3, 10, 0, 0, 4, 4, 0, 0});
    EXPECT_TRUE(call.Exists(3));  // the source before the bad destination
    call.Call(cmd_copy, {-1, 4, 0, 0, 4, 4, 0, 0});
    EXPECT_FALSE(call.Exists(4));  // a bad source: nothing further tried
    call.Call(cmd_copy3, {5, 6, 10, 0, 0, 4, 4, 0, 0, 0, 0, 0});
    EXPECT_TRUE(call.Exists(5));
    EXPECT_TRUE(call.Exists(6));
    call.Call(cmd_copy3, {7, 12, 8, 0, 0, 4, 4, 0, 0, 0, 0, 0});
    EXPECT_TRUE(call.Exists(7));
    EXPECT_FALSE(call.Exists(8));
}

TEST(CopyDirect, ZeroSizeDrawsNothingButAllocates) {
    DirectCall call;
    call.Call(cmd_copy, {0, 8, 0, 0, 0, 4, 0, 0});
    call.Call(cmd_copy2, {0, 9, 0, 0, 4, -1, 0, 0, -99999});
    EXPECT_TRUE(call.Exists(8));
    EXPECT_TRUE(call.Exists(9));
    call.At(0, 1, 1) = {5, 6, 7};
    call.Call(cmd_copy, {0, 8, 0, 0, 0, 4, 0, 0});
    EXPECT_EQ(YC(call.At(8, 1, 1)), kBlack);
}

// Arguments beyond the 32-bit range saturate and NaN is 0, the same in every
// command; positions near the limits clip without wrapping around.
TEST(CopyDirect, OutOfRangeAndNaNArguments) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    DirectCall call;
    call.At(2, 7, 5) = {11, 12, 13};
    call.At(2, 0, 0) = {21, 22, 23};
    call.Call(cmd_copy, {2, 3, nan, nan, 1e300, INFINITY, nan, 0});
    EXPECT_EQ(YC(call.At(3, 7, 5)), Channels(11, 12, 13));
    EXPECT_EQ(YC(call.At(3, 0, 0)), Channels(21, 22, 23));

    call.Call(cmd_copy, {2, 4, -1e300, 0, 1e300, 6, 0, 0});
    call.Call(cmd_copy, {2, 4, 0, 0, 8, 6, 2147483000.0, 2147483647.0});
    call.Call(cmd_copy, {2, 4, 0, 0, 8, 6, -1e300, 0});
    call.Call(cmd_copy, {2, 4, 2147483647.0, 0, 8, 6, 0, 0});
    call.Call(cmd_copy3, {2, 4, 2, 0, 0, 8, 6, 0, 0, 1e300, -1e300, -99999});
    for (int y = 0; y < 6; ++y) {
        for (int x = 0; x < 8; ++x)
            ASSERT_EQ(YC(call.At(4, x, y)), kBlack) << x << "," << y;
    }
    // A NaN buffer index is buffer 0.
    call.Call(cmd_copy, {2, nan, 0, 0, 1, 1, 0, 0});
    EXPECT_EQ(YC(call.At(0, 0, 0)), Channels(21, 22, 23));
}

}  // namespace
