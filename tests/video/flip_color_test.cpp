// Flips (mirrored destinations, clipping without shifting, in-place flips of
// a whole buffer) and colour adjustment in YC and RGB.
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

Channels Project(int x, int y) {
    return Channels(x, y - 8, x - y);
}

TEST(Flipv, WholeBufferIntoAnother) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("flipv(0, 2, 0, 0, 1000, 1000, 0, 0)\n", run);
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x)
            ASSERT_EQ(YC(out.at(x, y)), Project(x, 23 - y)) << x << "," << y;
    }
}

TEST(Flips, InPlaceFlipOfAWholeBufferReallyFlips) {
    Picture v = videotest::RunWithOneAndTwoThreads("flipv(0, 0, 0, 0, 32, 24, 0, 0)\n");
    Picture h = videotest::RunWithOneAndTwoThreads("fliph(0, 0, 0, 0, 32, 24, 0, 0)\n");
    for (int y = 0; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) {
            ASSERT_EQ(YC(v.at(x, y)), Project(x, 23 - y)) << x << "," << y;
            ASSERT_EQ(YC(h.at(x, y)), Project(31 - x, y)) << x << "," << y;
        }
    }
}

TEST(Flipv, DestinationRowsFromTheTop) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("flipv(0, 2, 0, 0, 32, 10, 0, 5)\n", run);
    EXPECT_EQ(YC(out.at(3, 14)), Project(3, 0));
    EXPECT_EQ(YC(out.at(3, 5)), Project(3, 9));
    EXPECT_EQ(YC(out.at(3, 4)), kBlack);
    EXPECT_EQ(YC(out.at(3, 15)), kBlack);
}

// Source rows above the buffer are skipped; the rows that remain keep their
// mirrored places, they do not move up.
TEST(Flipv, SourcePastTheTopIsClippedNotShifted) {
    ScriptRun run;
    run.shown = 2;
    Picture out = RunLines("flipv(0, 2, 0, -3, 32, 10, 0, 0)\n", run);
    for (int y = 0; y <= 6; ++y)
        EXPECT_EQ(YC(out.at(2, y)), Project(2, 6 - y)) << y;
    for (int y = 7; y < 24; ++y)
        EXPECT_EQ(YC(out.at(2, y)), kBlack) << y;
}

TEST(Fliph, DestinationPastTheLeftEdge) {
    ScriptRun run;
    run.width = 128;
    run.height = 4;
    run.shown = 2;
    Picture out = RunLines("fliph(0, 2, 0, 0, 100, 4, -10, 0)\n", run);
    EXPECT_EQ(YC(out.at(89, 2)), Project(0, 2));
    EXPECT_EQ(YC(out.at(80, 2)), Project(9, 2));
    for (int x = 0; x < 90; ++x)
        ASSERT_EQ(YC(out.at(x, 2)), Project(89 - x, 2)) << x;
    EXPECT_EQ(YC(out.at(90, 2)), kBlack);
}

TEST(Flips, BuffersAreMadeAvailableInArgumentOrder) {
    videotest::DirectCall call;
    call.Call(cmd_flipv, {2, 10, 0, 0, 4, 4, 0, 0});
    EXPECT_TRUE(call.Exists(2));
    call.Call(cmd_fliph, {3, 4, 0, 0, 4, 0, 0, 0});
    EXPECT_TRUE(call.Exists(3));
    EXPECT_TRUE(call.Exists(4));
    call.Call(cmd_fliph, {10, 5, 0, 0, 4, 4, 0, 0});
    EXPECT_FALSE(call.Exists(5));
}

// Pixel (0, 0) of buffer 2 filled with `yc`, then adjusted by `adjust`
// (the arguments after the rectangle).
Channels Adjust(const char* command, Channels yc, const char* adjust) {
    ScriptRun run;
    run.shown = 2;
    char lines[512];
    std::snprintf(lines, sizeof lines, "fill(2, 0, 0, 1, 1, %d, %d, %d)\n%s(2, 0, 0, 1, 1, %s)\n",
                  std::get<0>(yc), std::get<1>(yc), std::get<2>(yc), command, adjust);
    return YC(RunLines(lines, run).at(0, 0));
}

TEST(Color, GainAndOffsetExamples) {
    struct Case {
        const char* name;
        Channels before;
        const char* adjust;
        Channels after;
    };
    const Case cases[] = {
        {"identity", {4050, -77, 33}, "1, 1, 1, 0, 0, 0", {4050, -77, 33}},
        {"offset without an upper clamp", {4050, 0, 0}, "1, 1, 1, 100, 0, 0", {4150, 0, 0}},
        // The shift rounds toward minus infinity.
        {"half", {4096, -1, 3}, "0.5, 0.5, 0.5, 0, 0, 0", {2048, -1, 1}},
        {"gain 1.1 is 4505", {1000, 0, 0}, "1.1, 1, 1, 0, 0, 0", {1099, 0, 0}},
        {"zero", {1234, 56, -78}, "0, 0, 0, 0, 0, 0", {0, 0, 0}},
        {"negative gain inverts", {100, -7, 7}, "-1, -1, -1, 0, 0, 0", {-100, 7, -7}},
        {"negative offsets", {100, 0, 0}, "1, 1, 1, -200, -0.5, 0.25", {-100, -1, 0}},
        // Beyond 32 bits: the exact result's low 16 bits (30000 * 100000).
        {"huge gain", {30000, 0, 0}, "100000, 1, 1, 0, 0, 0", {24064, 0, 0}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Adjust("color", c.before, c.adjust), c.after) << c.name;
}

TEST(ColorRGB, RoundTripIsNotExact) {
    EXPECT_EQ(Adjust("color_rgb", {2048, 0, 0}, "1, 1, 1, 0, 0, 0"), Channels(2047, 0, 0));
    EXPECT_EQ(Adjust("color_rgb", {3000, 500, 500}, "1, 1, 1, 0, 0, 0"), Channels(3000, 499, 500));
}

TEST(ColorRGB, GainsAndOffsetsPerPrimary) {
    // Grey 2048: R = G = B = 2048. Red gain 0.5 and green offset 100 give
    // (1024, 2148, 2048).
    EXPECT_EQ(Adjust("color_rgb", {2048, 0, 0}, "0.5, 1, 1, 0, 100, 0"), Channels(1800, 139, -553));
    // Every primary to 0.
    EXPECT_EQ(Adjust("color_rgb", {1200, -700, 2048}, "0, 0, 0, 0, 0, 0"), kBlack);
}

TEST(Color, ClipsTheRectangleAtTheLeftEdge) {
    ScriptRun run;
    run.width = 128;
    run.height = 4;
    Picture out = RunLines("color(0, -10, 1, 100, 2, 1, 1, 1, 100, 0, 0)\n", run);
    EXPECT_EQ(YC(out.at(0, 1)), Channels(100, -7, -1));
    EXPECT_EQ(YC(out.at(89, 2)), Channels(189, -6, 87));
    EXPECT_EQ(YC(out.at(90, 2)), Project(90, 2));
    EXPECT_EQ(YC(out.at(5, 0)), Project(5, 0));
    EXPECT_EQ(YC(out.at(5, 3)), Project(5, 3));
}

TEST(Color, RectanglesOutsideOrEmptyChangeNothing) {
    ScriptRun run;
    Picture out = RunLines(
        "color(0, 32, 0, 10, 10, 0, 0, 0, 0, 0, 0)\n"
        "color(0, 0, -10, 10, 10, 0, 0, 0, 0, 0, 0)\n"
        "color(0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0)\n"
        "color_rgb(0, -40, 0, 1000, 10, 0, 0, 0, 0, 0, 0)\n"
        "color(10, 0, 0, 10, 10, 0, 0, 0, 0, 0, 0)\n",
        run);
    EXPECT_TRUE(videotest::SamePicture(out, videotest::ProjectOf(run)));
}

TEST(Color, SameResultWithOneAndTwoThreads) {
    videotest::RunWithOneAndTwoThreads(
        "color(0, 3, 2, 20, 20, 1.3, -0.7, 0.9, 11, -3, 2)\n"
        "color_rgb(0, 0, 0, 32, 24, 0.8, 1.2, 1, 30, -20, 0)\n");
}

}  // namespace
