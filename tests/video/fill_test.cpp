// Fills: clipping, colours stored as 16 bits, RGB colours, masked fills with
// thresholds and masks that are the painted buffer.
#include <gtest/gtest.h>

#include "video/video_commands.h"
#include "video_script.h"

namespace {

using videotest::Channels;
using videotest::Picture;
using videotest::RunLines;
using videotest::ScriptRun;
using videotest::YC;

const Channels kBlack(0, 0, 0);

// Counts the pixels of a picture that equal `value`.
int Count(const Picture& p, Channels value) {
    int n = 0;
    for (const PixelYC& px : p.pixels)
        n += YC(px) == value;
    return n;
}

Picture Shown2(const std::string& lines) {
    ScriptRun run;
    run.shown = 2;
    return RunLines(lines, run);
}

TEST(Fill, ClipsAtTheLeftEdge) {
    Picture out = Shown2("fill(2, -10, 1, 20, 3, 1000, -5, 7)\n");
    EXPECT_EQ(YC(out.at(0, 1)), Channels(1000, -5, 7));
    EXPECT_EQ(YC(out.at(9, 3)), Channels(1000, -5, 7));
    EXPECT_EQ(YC(out.at(10, 1)), kBlack);
    EXPECT_EQ(YC(out.at(0, 0)), kBlack);
    EXPECT_EQ(YC(out.at(0, 4)), kBlack);
    EXPECT_EQ(Count(out, Channels(1000, -5, 7)), 30);
}

TEST(Fill, SizesAndPositionsThatPaintNothingOrAWholeRow) {
    struct Case {
        const char* line;
        int painted;
    };
    const Case cases[] = {
        {"fill(2, 32, 0, 5, 5, 9, 9, 9)\n", 0},
        {"fill(2, 0, 24, 5, 5, 9, 9, 9)\n", 0},
        {"fill(2, -5, 0, 5, 5, 9, 9, 9)\n", 0},
        {"fill(2, 0, 0, 0, 5, 9, 9, 9)\n", 0},
        {"fill(2, 0, 0, 5, -1, 9, 9, 9)\n", 0},
        {"fill(2, 5, 0, 1000, 1, 9, 9, 9)\n", 27},
        // The size is cut to 32 x 24 before the position is added.
        {"fill(2, -5000, -5000, 100000, 100000, 9, 9, 9)\n", 0},
        {"fill(2, 30, 22, 1000, 1000, 9, 9, 9)\n", 4},
        {"fill(2, 0.9, 0, 1.9, 1, 9, 9, 9)\n", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Count(Shown2(c.line), Channels(9, 9, 9)), c.painted) << c.line;
}

TEST(Fill, ColourArgumentsStoreTheirLow16Bits) {
    Picture out = Shown2("fill(2, 0, 0, 1, 1, 70000, 40000, -32769)\n");
    EXPECT_EQ(YC(out.at(0, 0)), Channels(4464, -25536, 32767));
}

TEST(FillRGB, ConvertsOnThe4096Scale) {
    struct Case {
        const char* rgb;
        Channels yc;
    };
    const Case cases[] = {
        // The weights of Y sum to slightly less than one: white is Y 4095.
        {"4096, 4096, 4096", {4095, 0, 0}},
        {"4096, 0, 0", {1224, -692, 2048}},
        {"0, 0, 0", {0, 0, 0}},
        {"2048, 2048, 2048", {2047, 0, 0}},
    };
    for (const Case& c : cases) {
        Picture out = Shown2(std::string("fill_rgb(2, 0, 0, 1, 1, ") + c.rgb + ")\n");
        EXPECT_EQ(YC(out.at(0, 0)), c.yc) << c.rgb;
    }
}

TEST(Fill2, ThresholdIsStrictlyAbove) {
    // Buffer 3 is new and black.
    EXPECT_EQ(Count(Shown2("fill2(2, 3, 0, 0, 32, 24, 500, 1, 2, 0, 0, 0)\n"), Channels(500, 1, 2)),
              0);
    Picture all = Shown2("fill2(2, 3, -2, 0, 6, 2, 500, 1, 2, 0, 0, -1)\n");
    EXPECT_EQ(Count(all, Channels(500, 1, 2)), 8);
    EXPECT_EQ(YC(all.at(3, 1)), Channels(500, 1, 2));
    EXPECT_EQ(YC(all.at(4, 0)), kBlack);
}

TEST(Fill2, MaskColumnsOutsideTheBufferAreSkipped) {
    // The mask is the project frame (Y = x) from column 25: mask columns 28..31
    // are above 27, so painted columns 3..6; nothing wraps to the next row.
    Picture out = Shown2("fill2(2, 0, 0, 0, 10, 1, 500, 0, 0, 25, 0, 27)\n");
    for (int x = 0; x < 32; ++x)
        EXPECT_EQ(YC(out.at(x, 0)), x >= 3 && x <= 6 ? Channels(500, 0, 0) : kBlack) << x;
    EXPECT_EQ(Count(out, Channels(500, 0, 0)), 4);
}

TEST(Fill2RGB, PaintsTheConvertedColour) {
    Picture out = Shown2("fill2_rgb(2, 0, 0, 0, 32, 24, 4096, 4096, 4096, 0, 0, 30)\n");
    EXPECT_EQ(YC(out.at(31, 5)), Channels(4095, 0, 0));
    EXPECT_EQ(YC(out.at(30, 5)), kBlack);
}

// A mask that is the painted buffer, shifted by a row, is read as it was
// before the fill: rows 4.. are painted (their old upper neighbour was above
// 250), however the rows are split among threads.
TEST(Fill2, MaskInThePaintedBufferIsReadAsItWas) {
    ScriptRun run;
    run.project = [](int32_t, int32_t, int32_t y) { return PixelYC{int16_t(y * 100), 1, 1}; };
    Picture out =
        videotest::RunWithOneAndTwoThreads("fill2(0, 0, 0, 1, 32, 23, 7, 0, 0, 0, 0, 250)\n", run);
    for (int y = 0; y < 24; ++y) {
        EXPECT_EQ(YC(out.at(9, y)), y >= 4 ? Channels(7, 0, 0) : Channels(y * 100, 1, 1)) << y;
    }
}

TEST(FillDirect, BuffersAreMadeAvailableInArgumentOrder) {
    videotest::DirectCall call;
    call.Call(cmd_fill2, {4, 10, 0, 0, 4, 4, 1, 1, 1, 0, 0, -9});
    EXPECT_TRUE(call.Exists(4));
    call.Call(cmd_fill2_rgb, {-1, 5, 0, 0, 4, 4, 1, 1, 1, 0, 0, -9});
    EXPECT_FALSE(call.Exists(5));
    call.Call(cmd_fill, {6, 0, 0, 0, 0, 1, 1, 1});
    EXPECT_TRUE(call.Exists(6));
}

}  // namespace
