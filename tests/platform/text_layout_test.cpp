// The text engines' layout arithmetic: alignment, advances, boxes and the
// canvas area a shape may touch.
#include "platform/text_layout.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using platform::TextAlign;
using platform::TextBox;

bool SameBox(const TextBox& a, const TextBox& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(TextLayout, AlignmentAndAdvances) {
    EXPECT_EQ(platform::AlignedStart(100, 45, TextAlign::kEndAtX), 55);
    EXPECT_EQ(platform::AlignedStart(100, 45, TextAlign::kCentreOnX), 78);  // half rounds down
    EXPECT_EQ(platform::AlignedStart(100, 45, TextAlign::kStartAtX), 100);
    EXPECT_EQ(platform::AlignedStart(INT32_MIN, INT32_MAX, TextAlign::kEndAtX),
              int64_t(INT32_MIN) - INT32_MAX);
    // 26.6 advances to whole pixels, halves up, never below zero.
    struct Case {
        int64_t advance, pixels;
    };
    for (Case c : {Case{0, 0}, Case{31, 0}, Case{32, 1}, Case{95, 1}, Case{96, 2}, Case{1920, 30},
                   Case{-32, 0}, Case{-640, 0}}) {
        EXPECT_EQ(platform::WholePixelAdvance(c.advance), c.pixels) << c.advance;
    }
    EXPECT_EQ(platform::FloorDiv(-1, 64), -1);
    EXPECT_EQ(platform::FloorDiv(-64, 64), -1);
    EXPECT_EQ(platform::FloorDiv(-65, 64), -2);
    EXPECT_EQ(platform::FloorDiv(127, 64), 1);
}

TEST(TextLayout, BoxesGrowAndIgnoreEmptyParts) {
    TextBox box = {0, 0, 0, 0};
    platform::AddToBox(&box, TextBox{5, 5, 5, 9});  // empty: no width
    EXPECT_TRUE(platform::IsEmptyBox(box));
    platform::AddToBox(&box, TextBox{10, 20, 30, 25});
    EXPECT_TRUE(SameBox(box, TextBox{10, 20, 30, 25}));
    platform::AddToBox(&box, TextBox{2, 22, 12, 40});
    EXPECT_TRUE(SameBox(box, TextBox{2, 20, 30, 40}));
    platform::AddToBox(&box, TextBox{50, 50, 40, 60});
    EXPECT_TRUE(SameBox(box, TextBox{2, 20, 30, 40}));
}

TEST(TextLayout, ShapeAreaWidensByEdgeAndStrokeAndCutsToTheCanvas) {
    // A 10 x 20 pixel shape standing on the baseline.
    const platform::ShapeBounds square = {0, 0, 640, 1280};
    struct Case {
        const char* name;
        int64_t origin_x, baseline;
        int32_t outline;
        TextBox area;
    };
    const Case cases[] = {
        {"inside", 10, 50, 0, {9, 29, 21, 51}},
        {"stroke of 4 adds 2", 10, 50, 4, {7, 27, 23, 53}},
        {"odd stroke rounds out", 10, 50, 3, {7, 27, 23, 53}},
        {"cut at the top left", -5, 10, 0, {0, 0, 6, 11}},
        {"cut at the bottom right", 95, 70, 0, {94, 49, 100, 60}},
        {"missing the canvas", 200, 50, 0, {100, 29, 100, 51}},
        {"far away", INT32_MIN, INT32_MAX, 8192, {0, 60, 0, 60}},
    };
    for (const Case& c : cases) {
        TextBox area = platform::ShapeArea(square, c.origin_x, c.baseline, c.outline, 100, 60);
        EXPECT_TRUE(SameBox(area, c.area)) << c.name << ": " << area.left << " " << area.top << " "
                                           << area.right << " " << area.bottom;
    }
}

}  // namespace
