// gamma, posterize and posterize_rgb: curve values, steps and the rectangle.
#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "video/effects_support.h"

namespace {

using namespace effects;

// One row of test pixels, the rest of the frame `fill`.
PixelFn Row(std::vector<PixelYC> pixels, PixelYC fill = YC(0)) {
    return [pixels, fill](int x, int y) {
        return y == 0 && x < int(pixels.size()) ? pixels[x] : fill;
    };
}

struct ToneCase {
    const char* name;
    const char* command;  // applied to the whole 8 x 2 frame
    std::vector<PixelYC> in, out;
};

void PrintTo(const ToneCase& c, std::ostream* os) {
    *os << c.command;
}

class ToneTable : public ::testing::TestWithParam<ToneCase> {};

TEST_P(ToneTable, MapsEachPixel) {
    const ToneCase& c = GetParam();
    Picture out = Render(8, 2, Row(c.in), std::string(c.command) + "\n");
    for (size_t i = 0; i < c.in.size(); ++i) {
        PixelYC p = out.at(int(i), 0), e = c.out[i];
        EXPECT_TRUE(SamePixel(p, e)) << "pixel " << i << ": " << p.y << "," << p.cb << "," << p.cr
                                     << " expected " << e.y << "," << e.cb << "," << e.cr;
    }
}

const ToneCase kToneCases[] = {
    // Square roots; Y 5000 lies beyond the table and is computed directly;
    // negative values under a fractional exponent are not numbers and store 0.
    {"GammaTwo",
     "gamma(0, 0, 0, 8, 2, 2, 2, 2)",
     {YC(1024, 1024, -1024), YC(4096, -2048, 2048), YC(5000, 0, 0), YC(-16, 3000, -3000)},
     {YC(2048, 1448, 0), YC(4096, 0, 2048), YC(4525, 0, 0), YC(0, 2478, 0)}},
    {"GammaOneKeepsEverything",
     "gamma(0, 0, 0, 8, 2, 1, 1, 1)",
     {YC(-300, -2100, 2100), YC(5000, -1024, 7), YC(4097, 2049, -2049)},
     {YC(-300, -2100, 2100), YC(5000, -1024, 7), YC(4097, 2049, -2049)}},
    // A whole-number exponent keeps the sign rules: (-0.5)^2 = 0.25.
    {"GammaPerChannel",
     "gamma(0, 0, 0, 8, 2, 1, 0.5, 3)",
     {YC(1000, -1024, 1024), YC(1000, 1024, -1024)},
     {YC(1000, 512, 1625), YC(1000, 512, 0)}},
    {"PosterizeTwoLevels",
     "posterize(0, 0, 0, 8, 2, 2, 2, 2)",
     {YC(2047, -1, 0), YC(2048, 0, -2048), YC(-500, 2047, 3000)},
     {YC(0, -2048, 2048), YC(4096, 2048, -2048), YC(0, 2048, 2048)}},
    {"PosterizeFiveLevels",
     "posterize(0, 0, 0, 8, 2, 5, 5, 5)",
     {YC(1535, 0, 0), YC(1536, 0, 0)},
     {YC(1024, 0, 0), YC(2048, 0, 0)}},
    {"PosterizeFourLevelsTopsAt4095",
     "posterize(0, 0, 0, 8, 2, 4, 4, 4)",
     {YC(4096, 0, 0), YC(682, 0, 0), YC(683, 0, 0)},
     {YC(4095, 682, 682), YC(0, 682, 682), YC(1365, 682, 682)}},
    {"PosterizeThreeChromaLevels",
     "posterize(0, 0, 0, 8, 2, 2, 3, 3)",
     {YC(0, 0, 0), YC(0, -1025, 0), YC(0, 1024, 1023)},
     {YC(0, 0, 0), YC(0, -2048, 0), YC(0, 2048, 0)}},
    {"PosterizeFewLevelsActAsTwo",
     "posterize(0, 0, 0, 8, 2, 1, 0, -9)",
     {YC(2047, -1, -1), YC(2048, 0, 0)},
     {YC(0, -2048, -2048), YC(4096, 2048, 2048)}},
    // More than 4097 levels act as 4097: step 1, values kept within 0..4096.
    {"PosterizeManyLevelsActAsStepOne",
     "posterize(0, 0, 0, 8, 2, 5000, 4097, 100000)",
     {YC(1234, -5, 7), YC(-5, -2049, 2049), YC(5000, -3000, 2048)},
     {YC(1234, -5, 7), YC(0, -2048, 2048), YC(4096, -2048, 2048)}},
    // (R, G, B) = (2402, 286, 1000) -> (2048, 0, 1024); grey 2100 -> white,
    // which converts back to Y 4095.
    {"PosterizeRGB",
     "posterize_rgb(0, 0, 0, 8, 2, 3, 2, 5)",
     {YC(1000, 0, 1000), YC(100, -500, 0)},
     {YC(729, 165, 941), YC(0, 0, 0)}},
    {"PosterizeRGBWhite",
     "posterize_rgb(0, 0, 0, 8, 2, 2, 2, 2)",
     {YC(2100, 0, 0), YC(2000, 0, 0)},
     {YC(4095, 0, 0), YC(0, 0, 0)}},
};

INSTANTIATE_TEST_SUITE_P(Tone, ToneTable, ::testing::ValuesIn(kToneCases),
                         [](const ::testing::TestParamInfo<ToneCase>& info) {
                             return std::string(info.param.name);
                         });

TEST(Gamma, TablesFollowEveryChangeOfValues) {
    // Rows 0, 1, 2 with 2,2,2 then 1,1,1 then 2,2,2 again.
    Picture out = Render(
        4, 3, [](int, int) { return YC(1024, 1024, 1024); },
        "gamma(0, 0, 0, 4, 1, 2, 2, 2)\n"
        "gamma(0, 0, 1, 4, 1, 1, 1, 1)\n"
        "gamma(0, 0, 2, 4, 1, 2, 2, 2)\n");
    EXPECT_TRUE(SamePixel(out.at(0, 0), YC(2048, 1448, 1448)));
    EXPECT_TRUE(SamePixel(out.at(3, 1), YC(1024, 1024, 1024)));
    EXPECT_TRUE(SamePixel(out.at(2, 2), YC(2048, 1448, 1448)));
}

TEST(Gamma, RowsInsideTheTablesMapAsRowsWithValuesBeyondThem) {
    // Row 0 holds only values inside the tables (their bounds among them),
    // row 1 the same with one value beyond them at the end: each row takes
    // its own path, and the pixels they share must come out alike.
    auto pixel = [](int x, int y) {
        if (y == 1 && x == 10) return YC(4098, 0, 0);
        if (x == 0) return YC(0, -2048, 2048);
        if (x == 1) return YC(4097, 2048, -2048);
        return YC(x * 409 % 4098, x * 977 % 4097 - 2048, 2048 - x * 1231 % 4097);
    };
    for (const char* command :
         {"gamma(0, 0, 0, 11, 2, 2.2, 0.7, 1.3)\n", "gamma(0, 0, 0, 11, 2, 0.45, 3, 1)\n"}) {
        Picture out = Render(11, 2, pixel, command);
        for (int x = 0; x < 10; ++x) {
            EXPECT_TRUE(SamePixel(out.at(x, 0), out.at(x, 1))) << command << x;
        }
        EXPECT_FALSE(SamePixel(out.at(5, 0), pixel(5, 0))) << command;
    }
}

TEST(Tone, OnlyTheRectangleInsideTheBufferChanges) {
    const char* commands[] = {"gamma(0, -2, 3, 5, 10, 2, 2, 2)",
                              "posterize(0, -2, 3, 5, 10, 2, 2, 2)",
                              "posterize_rgb(0, -2, 3, 5, 10, 2, 2, 2)"};
    for (const char* command : commands) {
        Picture out = Render(
            6, 5, [](int, int) { return YC(1024, 100, -100); }, std::string(command) + "\n");
        for (int y = 0; y < 5; ++y) {
            for (int x = 0; x < 6; ++x) {
                bool inside = x < 3 && y >= 3;
                EXPECT_EQ(SamePixel(out.at(x, y), YC(1024, 100, -100)), !inside)
                    << command << " " << x << "," << y;
            }
        }
    }
}

TEST(Tone, EmptyRectanglesAndBadBuffersChangeNothing) {
    const char* commands[] = {
        "gamma(0, 0, 0, 0, 4, 2, 2, 2)",         "gamma(0, 0, 0, 4, -1, 2, 2, 2)",
        "gamma(10, 0, 0, 4, 4, 2, 2, 2)",        "posterize(0, 0, 0, 4, 0, 2, 2, 2)",
        "posterize(-1, 0, 0, 4, 4, 2, 2, 2)",    "posterize_rgb(0, 0, 0, -4, 4, 2, 2, 2)",
        "posterize_rgb(0, 6, 0, 4, 4, 2, 2, 2)",
    };
    for (const char* command : commands) {
        EXPECT_EQ(
            FirstDifference(Render(6, 5, Noise, std::string(command) + "\n"), Frame(6, 5, Noise)),
            "")
            << command;
    }
}

}  // namespace
