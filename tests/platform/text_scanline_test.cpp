// The outline shape's filler against the definition: a pixel is marked when
// its centre is inside the edges by the even-odd or the nonzero rule,
// counting the edges crossed on the way from the left.
#include "platform/text_scanline.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using platform::Edge;
using platform::TextBox;
using platform::TextWeights;

constexpr int32_t kWidth = 24;
constexpr int32_t kHeight = 18;

// The edges of closed polygons.
std::vector<Edge> Polygons(const std::vector<std::vector<double>>& polygons) {
    std::vector<Edge> edges;
    for (const std::vector<double>& p : polygons) {
        size_t n = p.size() / 2;
        for (size_t i = 0; i < n; ++i) {
            size_t j = (i + 1) % n;
            if (p[2 * i + 1] != p[2 * j + 1]) {
                edges.push_back(Edge{p[2 * i], p[2 * i + 1], p[2 * j], p[2 * j + 1]});
            }
        }
    }
    return edges;
}

bool InsideByDefinition(const std::vector<Edge>& edges, bool even_odd, double cx, double cy) {
    int32_t winding = 0, crossed = 0;
    for (const Edge& e : edges) {
        bool down = e.y1 > e.y0;
        double low = down ? e.y0 : e.y1, high = down ? e.y1 : e.y0;
        if (!(cy >= low && cy < high)) continue;
        double x = e.x0 + (cy - e.y0) * ((e.x1 - e.x0) / (e.y1 - e.y0));
        if (x > cx) continue;
        winding += down ? 1 : -1;
        ++crossed;
    }
    return even_odd ? crossed % 2 == 1 : winding != 0;
}

// Marks with the filler on a canvas whose fill weights are all 7, and checks
// every pixel against the definition inside `area` and untouched outside.
void ExpectMarksAsDefined(const std::vector<Edge>& edges, bool even_odd, const TextBox& area,
                          const char* name) {
    std::vector<TextWeights> pixels(size_t(kWidth) * kHeight, TextWeights{7, 0});
    platform::TextCanvasView canvas = {pixels.data(), kWidth, kHeight};
    platform::ScratchArray<platform::Crossing> crossings = {};
    ASSERT_TRUE(platform::MarkCentresInside(edges.data(), edges.size(), even_odd, area, canvas,
                                            &crossings));
    crossings.Free();
    for (int32_t y = 0; y < kHeight; ++y) {
        for (int32_t x = 0; x < kWidth; ++x) {
            bool in_area = x >= area.left && x < area.right && y >= area.top && y < area.bottom;
            bool expected = in_area && InsideByDefinition(edges, even_odd, x + 0.5, y + 0.5);
            TextWeights w = pixels[size_t(y) * kWidth + x];
            ASSERT_EQ(w.outline, expected ? 1 : 0) << name << " at " << x << "," << y;
            ASSERT_EQ(w.fill, 7) << name;
        }
    }
}

TEST(TextScanline, SquaresAndTheirCentresOnTheEdges) {
    const TextBox all = {0, 0, kWidth, kHeight};
    // A square whose left and top edges pass through pixel centres: those
    // pixels are inside, the ones on the right and bottom edges are not.
    std::vector<Edge> square = Polygons({{2.5, 2.5, 6.5, 2.5, 6.5, 5.5, 2.5, 5.5}});
    ExpectMarksAsDefined(square, true, all, "square");
    // A square inside a square, both clockwise: a hole by even-odd, filled
    // by nonzero; and the inner one reversed, a hole by both.
    std::vector<double> outer = {1, 1, 20, 1, 20, 15, 1, 15};
    std::vector<double> inner = {5, 4, 12, 4, 12, 10, 5, 10};
    std::vector<double> reversed = {5, 4, 5, 10, 12, 10, 12, 4};
    for (bool even_odd : {true, false}) {
        ExpectMarksAsDefined(Polygons({outer, inner}), even_odd, all, "same direction");
        ExpectMarksAsDefined(Polygons({outer, reversed}), even_odd, all, "reversed");
        ExpectMarksAsDefined(Polygons({outer, inner}), even_odd, TextBox{3, 2, 9, 12}, "area");
    }
}

TEST(TextScanline, RandomPolygonsMatchTheDefinition) {
    std::mt19937 random(19);
    std::uniform_real_distribution<double> coordinate(-4.0, 28.0);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::vector<double>> polygons(1 + round % 3);
        for (std::vector<double>& p : polygons) {
            p.resize(2 * (3 + round % 7));
            for (double& v : p)
                v = coordinate(random);
        }
        TextBox area = {round % 5, round % 4, kWidth - round % 6, kHeight - round % 3};
        ExpectMarksAsDefined(Polygons(polygons), round % 2 == 0, area, "random");
    }
}

}  // namespace
