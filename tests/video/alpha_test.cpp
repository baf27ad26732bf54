// The alpha family: fixed-point opacity on the 4096 scale, rounding toward
// minus infinity, thresholds, masks, opacities beyond 0..1 and blends within
// one buffer.
#include <gtest/gtest.h>

#include "video/video_commands.h"
#include "video_script.h"

namespace {

using videotest::Channels;
using videotest::DirectCall;
using videotest::Picture;
using videotest::RunLines;
using videotest::ScriptRun;
using videotest::YC;

Channels Project(int x, int y) {
    return Channels(x, y - 8, x - y);
}

// Pixel (0, 0) of buffer 3 after blending source pixel s over destination
// pixel d with the given opacity argument text.
Channels BlendOnce(Channels s, Channels d, const std::string& opacity) {
    ScriptRun run;
    run.shown = 3;
    char lines[512];
    std::snprintf(lines, sizeof lines,
                  "fill(2, 0, 0, 1, 1, %d, %d, %d)\nfill(3, 0, 0, 1, 1, %d, %d, %d)\n"
                  "alpha(2, 3, 0, 0, 1, 1, 0, 0, %s)\n",
                  std::get<0>(s), std::get<1>(s), std::get<2>(s), std::get<0>(d), std::get<1>(d),
                  std::get<2>(d), opacity.c_str());
    return YC(RunLines(lines, run).at(0, 0));
}

TEST(Alpha, FixedPointOpacityExamples) {
    struct Case {
        const char* name;
        Channels source, destination;
        const char* opacity;
        Channels expected;
    };
    const Case cases[] = {
        // 0.3 is 1228 on the 4096 scale (truncated), not 1229.
        {"point three", {4096, -1, 2000}, {0, 0, 1000}, "0.3", {1228, -1, 1299}},
        // The mean rounds toward minus infinity: Cb -1 over 0 gives -1.
        {"half", {4096, -1, 3}, {0, 0, 0}, "0.5", {2048, -1, 1}},
        {"opaque is the source", {123, -45, 67}, {4000, 30, -20}, "1", {123, -45, 67}},
        {"zero keeps the destination", {123, -45, 67}, {4000, 30, -20}, "0", {4000, 30, -20}},
        // 1.5 * source - 0.5 * destination.
        {"one and a half", {2000, 100, -100}, {1000, 0, 0}, "1.5", {2500, 150, -150}},
        {"negative", {1000, 0, 0}, {2000, 0, 0}, "-0.5", {2500, 0, 0}},
        // Beyond the 32-bit sum: the low 16 bits of the exact result
        // (30000 * 100000 = 3000000000; 1 * (1 - 100000) = -99999).
        {"huge opacity", {30000, 0, 0}, {0, 1, 0}, "100000", {24064, 31073, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BlendOnce(c.source, c.destination, c.opacity), c.expected) << c.name;
    }
}

TEST(Alpha, OpacityOneEqualsCopy) {
    ScriptRun run;
    run.shown = 2;
    Picture blended = RunLines("alpha(0, 2, 3, 2, 20, 30, -2, 5, 1)\n", run);
    Picture copied = RunLines("copy(0, 2, 3, 2, 20, 30, -2, 5)\n", run);
    EXPECT_TRUE(videotest::SamePicture(blended, copied));
}

TEST(Alpha2, BlendsOnlyWhereTheSourceYIsAboveTheThreshold) {
    ScriptRun run;
    run.shown = 3;
    Picture out = RunLines(
        "fill(3, 0, 0, 32, 24, 1000, 0, 0)\n"
        "alpha2(0, 3, 0, 0, 32, 24, 0, 0, 0.5, 5)\n",
        run);
    EXPECT_EQ(YC(out.at(5, 0)), Channels(1000, 0, 0));  // Y equal to the threshold
    EXPECT_EQ(YC(out.at(6, 0)), Channels(503, -4, 3));  // (6 + 1000) / 2, -8 / 2, 6 / 2
}

TEST(Alpha3, BlendsOnlyWhereTheMaskYIsAboveTheThreshold) {
    ScriptRun run;
    run.shown = 3;
    Picture out = RunLines(
        "fill(4, 10, 0, 5, 24, 200, 0, 0)\n"
        "alpha3(0, 3, 4, 0, 0, 32, 24, 0, 0, 0, 0, 0.25, 199)\n",
        run);
    EXPECT_EQ(YC(out.at(9, 1)), Channels(0, 0, 0));
    EXPECT_EQ(YC(out.at(12, 1)), Channels(3, -2, 2));  // (12, -7, 11) * 1024 >> 12
    EXPECT_EQ(YC(out.at(15, 1)), Channels(0, 0, 0));
}

TEST(Alpha4, KeyedMaskCopiesTheSourceOrKeepsTheDestinationExactly) {
    ScriptRun run;
    run.shown = 3;
    // The mask is 4096 where the source Y is 10..19, 0 elsewhere.
    Picture out = RunLines(
        "fill(3, 0, 0, 32, 24, 777, 55, -66)\n"
        "mkmask(0, 4, 0, 0, 32, 24, 0, 0, 10, -999, -999, 19, 999, 999, 4096, 0)\n"
        "alpha4(0, 3, 4, 0, 0, 32, 24, 0, 0, 0, 0)\n",
        run);
    for (int x = 0; x < 32; ++x) {
        EXPECT_EQ(YC(out.at(x, 7)), x >= 10 && x <= 19 ? Project(x, 7) : Channels(777, 55, -66))
            << x;
    }
}

TEST(Alpha4, NegativeMaskYMovesBeyondTheDestination) {
    ScriptRun run;
    run.shown = 3;
    Picture out = RunLines(
        "fill(2, 0, 0, 1, 1, 1000, 0, 0)\n"
        "fill(3, 0, 0, 1, 1, 2000, 0, 0)\n"
        "fill(4, 0, 0, 1, 1, -2048, 0, 0)\n"
        "alpha4(2, 3, 4, 0, 0, 1, 1, 0, 0, 0, 0)\n",
        run);
    EXPECT_EQ(YC(out.at(0, 0)), Channels(2500, 0, 0));
}

TEST(Alpha4, MaskPositionOutsideTheBufferIsSkipped) {
    ScriptRun run;
    run.shown = 3;
    Picture out = RunLines(
        "fill(4, 0, 0, 32, 24, 4096, 0, 0)\n"
        "alpha4(0, 3, 4, 0, 0, 32, 24, 0, 0, -30, -20)\n",
        run);
    EXPECT_EQ(YC(out.at(29, 19)), Channels(0, 0, 0));
    EXPECT_EQ(YC(out.at(30, 20)), Project(30, 20));
    EXPECT_EQ(YC(out.at(31, 23)), Project(31, 23));
}

// Blends within one buffer read the buffer as it was: each destination row
// mixes its old self with the old row above it, not with a row already
// blended.
TEST(Alpha, OverlappingBlendWithinOneBufferReadsThePictureAsItWas) {
    auto old = [](int32_t x, int32_t y) { return Channels(100 * y + x, y * y, -300 * y); };
    ScriptRun run;
    run.project = [&old](int32_t, int32_t x, int32_t y) {
        Channels c = old(x, y);
        return PixelYC{int16_t(std::get<0>(c)), int16_t(std::get<1>(c)), int16_t(std::get<2>(c))};
    };
    Picture out = videotest::RunWithOneAndTwoThreads("alpha(0, 0, 0, 0, 32, 24, 0, 1, 0.5)\n", run);
    for (int y = 1; y < 24; ++y) {
        for (int x = 0; x < 32; ++x) {
            Channels above = old(x, y - 1), self = old(x, y);
            Channels expected((std::get<0>(above) + std::get<0>(self)) >> 1,
                              (std::get<1>(above) + std::get<1>(self)) >> 1,
                              (std::get<2>(above) + std::get<2>(self)) >> 1);
            ASSERT_EQ(YC(out.at(x, y)), expected) << x << "," << y;
        }
    }
    EXPECT_EQ(YC(out.at(5, 0)), old(5, 0));
}

TEST(Alpha, SamePositionWithinOneBufferIsWellDefined) {
    Picture out =
        videotest::RunWithOneAndTwoThreads("alpha3(0, 0, 0, 0, 0, 32, 24, 0, 0, 0, 0, 0.5, 15)\n");
    EXPECT_EQ(YC(out.at(20, 4)), Project(20, 4));
}

TEST(AlphaDirect, EveryBuildMatchesThePlainBlend) {
    // {sx, sy, w, h, dx, dy} on a 200 x 100 frame, blended from buffer 1 or
    // within buffer 0 (overlapping, or onto itself); opacities on both sides
    // of 0..1, where the sums leave 32 bits.
    const int rects[][6] = {
        {0, 0, 200, 100, 0, 0}, {-5, 3, 190, 120, 7, -2}, {13, 1, 171, 93, 10, 4}};
    const double opacities[] = {0.5, 0, 1, 0.9999, -0.25, 1.5, 70000};
    const Picture frame = videotest::FullRangePicture(200, 100);
    for (const auto& r : rects) {
        for (double opacity : opacities) {
            const int32_t a = int32_t(opacity * 4096.0);
            Picture expected = frame;
            for (int k = 0; k < r[3]; ++k) {
                for (int j = 0; j < r[2]; ++j) {
                    const int sx = r[0] + j, sy = r[1] + k, dx = r[4] + j, dy = r[5] + k;
                    if (sx < 0 || sy < 0 || dx < 0 || dy < 0 || sx >= 200 || dx >= 200 ||
                        sy >= 100 || dy >= 100) {
                        continue;
                    }
                    const PixelYC s = frame.pixels[sy * 200 + sx], d = frame.pixels[dy * 200 + dx];
                    auto blend = [a](int64_t s, int64_t d) {
                        return int16_t(
                            uint16_t(((s * a + d * (4096 - int64_t(a))) >> 12) & 0xFFFF));
                    };
                    expected.at(dx, dy) = {blend(s.y, d.y), blend(s.cb, d.cb), blend(s.cr, d.cr)};
                }
            }
            for (double source : {1, 0}) {
                videotest::ExpectEveryBuild(cmd_alpha,
                                            {source, 0, double(r[0]), double(r[1]), double(r[2]),
                                             double(r[3]), double(r[4]), double(r[5]), opacity},
                                            frame, 0, expected);
            }
        }
    }
}

TEST(AlphaDirect, BuffersAreMadeAvailableInArgumentOrder) {
    DirectCall call;
    call.Call(cmd_alpha4, {2, 3, 12, 0, 0, 4, 4, 0, 0, 0, 0});
    EXPECT_TRUE(call.Exists(2));
    EXPECT_TRUE(call.Exists(3));
    call.Call(cmd_alpha, {4, 5, 0, 0, 0, 4, 0, 0, 1});
    EXPECT_TRUE(call.Exists(4));
    EXPECT_TRUE(call.Exists(5));
    call.Call(cmd_alpha2, {-1, 6, 0, 0, 4, 4, 0, 0, 1, 0});
    EXPECT_FALSE(call.Exists(6));
}

}  // namespace
