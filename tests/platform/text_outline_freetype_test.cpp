// Outline flattening: lines stay as they are, curves become lines that keep
// within the flatness of the curve, and FreeType's y-up frame becomes the
// canvas's y-down one.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cmath>

#include "platform/text_outline_freetype.h"

namespace {

using platform::Edge;

// One contour of `n` points (26.6) with their FreeType tags.
struct Contour {
    FT_Vector points[8];
    char tags[8];
    short end;
    FT_Outline outline;
    Contour(std::initializer_list<FT_Vector> p, std::initializer_list<char> t) : outline() {
        int i = 0;
        for (FT_Vector v : p)
            points[i++] = v;
        i = 0;
        for (char c : t)
            tags[i++] = c;
        end = short(i - 1);
        outline.n_contours = 1;
        outline.n_points = short(i);
        outline.points = points;
        outline.tags = tags;
        outline.contours = &end;
    }
};

constexpr char kOn = FT_CURVE_TAG_ON;
constexpr char kConic = FT_CURVE_TAG_CONIC;
constexpr char kCubic = FT_CURVE_TAG_CUBIC;

TEST(TextOutline, LinesKeepTheirEndsAndHorizontalOnesAreLeftOut) {
    // A triangle (0,0) (10,0) (5,8) in pixels, on a canvas 20 high.
    Contour triangle({{0, 0}, {640, 0}, {320, 512}}, {kOn, kOn, kOn});
    platform::ScratchArray<Edge> edges = {};
    ASSERT_TRUE(platform::FlattenOutline(&triangle.outline, 20, &edges));
    ASSERT_EQ(edges.count, 2u);
    const Edge expected[2] = {{10, 20, 5, 12}, {5, 12, 0, 20}};
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(edges.items[i].x0, expected[i].x0) << i;
        EXPECT_EQ(edges.items[i].y0, expected[i].y0) << i;
        EXPECT_EQ(edges.items[i].x1, expected[i].x1) << i;
        EXPECT_EQ(edges.items[i].y1, expected[i].y1) << i;
    }
    edges.Free();
}

TEST(TextOutline, CurvesBecomeChainedLinesWithinTheFlatness) {
    struct Case {
        const char* name;
        Contour contour;
        // The curve's point at t, in pixels (y up).
        double (*x)(double t);
        double (*y)(double t);
    };
    // Quadratic (0,0) (10,20) (20,6); cubic (0,0) (0,20) (20,20) (20,6): no two
    // steps at the same height, so that no piece is horizontal.
    const Case cases[] = {
        {"conic", Contour({{0, 0}, {640, 1280}, {1280, 384}}, {kOn, kConic, kOn}),
         [](double t) { return 20 * t; }, [](double t) { return 40 * t * (1 - t) + 6 * t * t; }},
        {"cubic",
         Contour({{0, 0}, {0, 1280}, {1280, 1280}, {1280, 384}}, {kOn, kCubic, kCubic, kOn}),
         [](double t) { return 60 * t * t - 40 * t * t * t; },
         [](double t) { return 60 * t * (1 - t) + 6 * t * t * t; }},
    };
    for (Case c : cases) {
        platform::ScratchArray<Edge> edges = {};
        ASSERT_TRUE(platform::FlattenOutline(&c.contour.outline, 30, &edges)) << c.name;
        size_t n = edges.count - 1;  // the last one is the closing line
        ASSERT_GT(n, 4u) << c.name;
        ASSERT_LE(n, size_t(platform::kMaxCurveSegments)) << c.name;
        for (size_t i = 0; i < n; ++i) {
            const Edge& e = edges.items[i];
            if (i > 0) {
                EXPECT_EQ(e.x0, edges.items[i - 1].x1) << c.name << " " << i;
                EXPECT_EQ(e.y0, edges.items[i - 1].y1) << c.name << " " << i;
            }
            // Equal steps of t: each line's middle against the curve's.
            double t = (i + 0.5) / n;
            double gap = std::hypot((e.x0 + e.x1) / 2 - c.x(t), (e.y0 + e.y1) / 2 - (30 - c.y(t)));
            EXPECT_LE(gap, platform::kFlatness) << c.name << " " << i;
        }
        EXPECT_EQ(edges.items[0].x0, 0);
        EXPECT_EQ(edges.items[0].y0, 30);
        EXPECT_EQ(edges.items[n - 1].x1, 20);
        EXPECT_EQ(edges.items[n - 1].y1, 24);
        EXPECT_EQ(edges.items[n].x1, 0);
        EXPECT_EQ(edges.items[n].y1, 30);
        edges.Free();
    }
}

}  // namespace
#endif
