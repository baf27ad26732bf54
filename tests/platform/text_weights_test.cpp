// Compositing the canvas weights: coverage adding up, and the outline
// shape's marks turning into fill and outline weights.
#include "platform/text_weights.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/parallel.h"

namespace {

using platform::TextWeights;

TEST(TextWeights, CoverageAddsUpAndNeverPassesFull) {
    struct Case {
        uint8_t before;
        uint32_t coverage;
        uint8_t after;
    };
    const Case cases[] = {{0, 0, 0},       {0, 1, 1},     {0, 200, 200},
                          {90, 0, 90},     {0, 255, 255}, {200, 255, 255},
                          {128, 128, 192}, {254, 1, 254}, {255, 99, 255}};
    for (const Case& c : cases) {
        TextWeights line[4] = {{9, 3}, {c.before, 3}, {c.before, 3}, {9, 3}};
        platform::BlendCoverage(line, 1, 3, c.coverage);
        EXPECT_EQ(line[1].fill, c.after) << int(c.before) << " + " << c.coverage;
        EXPECT_EQ(line[2].fill, c.after);
        // Outside the span and the outline weights: untouched.
        EXPECT_EQ(line[0].fill, 9);
        EXPECT_EQ(line[3].fill, 9);
        EXPECT_EQ(line[1].outline, 3);
    }
}

TEST(TextWeights, MarkedPixelsTakeFullFillAndTheRestAsOutline) {
    // A canvas large enough that the rows are shared among the threads.
    const int32_t w = 700, h = 300;
    std::vector<TextWeights> start(size_t(w) * h);
    for (size_t i = 0; i < start.size(); ++i)
        start[i] = TextWeights{uint8_t(i * 7 % 256), uint8_t(i % 5 == 0)};
    const platform::TextBox box = {3, 2, w - 5, h - 1};
    std::vector<TextWeights> results[2];
    int32_t saved = parallel::ThreadCount();
    for (int32_t threads : {1, 2}) {
        parallel::SetThreadCount(threads);
        std::vector<TextWeights>& pixels = results[threads - 1];
        pixels = start;
        platform::ResolveOutlineWeights(box, platform::TextCanvasView{pixels.data(), w, h});
    }
    parallel::SetThreadCount(saved);
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x) {
            size_t i = size_t(y) * w + x;
            bool in_box = x >= box.left && x < box.right && y >= box.top && y < box.bottom;
            TextWeights expected = start[i];
            if (in_box && start[i].outline != 0) {
                expected = TextWeights{255, uint8_t(255 - start[i].fill)};
            }
            ASSERT_EQ(results[0][i].fill, expected.fill) << x << "," << y;
            ASSERT_EQ(results[0][i].outline, expected.outline) << x << "," << y;
            ASSERT_EQ(results[1][i].fill, expected.fill) << x << "," << y;
            ASSERT_EQ(results[1][i].outline, expected.outline) << x << "," << y;
        }
    }
}

}  // namespace
