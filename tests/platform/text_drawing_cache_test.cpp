// The drawing cache: a drawing is found again only under its whole key, comes
// back with its box and weights, and the cache keeps within its bytes.
#include "platform/text_drawing_cache.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::DrawingKey;
using platform::TextBox;
using platform::TextWeights;

struct Canvas {
    int32_t width, height;
    std::vector<TextWeights> pixels;
    Canvas(int32_t w, int32_t h) : width(w), height(h), pixels(size_t(w) * h) {}
    platform::TextCanvasView view() { return {pixels.data(), width, height}; }
};

// A canvas with weights inside `box` that depend on `seed`.
Canvas Drawn(int32_t w, int32_t h, const TextBox& box, int seed) {
    Canvas c(w, h);
    for (int32_t y = box.top; y < box.bottom; ++y) {
        for (int32_t x = box.left; x < box.right; ++x) {
            c.pixels[size_t(y) * w + x] = TextWeights{uint8_t(x * 3 + seed), uint8_t(y + seed)};
        }
    }
    return c;
}

DrawingKey Key(uint64_t font, const char* text, int32_t x, int32_t outline, const Canvas& c) {
    DrawingKey key;
    platform::TextCanvasView size = {nullptr, c.width, c.height};
    EXPECT_TRUE(platform::MakeDrawingKey(font, text, x, 7, platform::TextAlign::kCentreOnX, outline,
                                         size, &key));
    return key;
}

class TextDrawingCache : public ::testing::Test {
  protected:
    void TearDown() override { platform::ClearDrawings(); }
};

TEST_F(TextDrawingCache, FindsADrawingOnlyUnderItsWholeKey) {
    const TextBox box = {5, 3, 17, 9};
    Canvas drawn = Drawn(40, 20, box, 1);
    DrawingKey key = Key(11, "caption", 20, 2, drawn);
    platform::StoreDrawing(key, drawn.view(), box);
    EXPECT_EQ(platform::DrawingCacheBytes(), size_t(12 * 6) * sizeof(TextWeights));

    Canvas again(40, 20);
    TextBox found = {0, 0, 0, 0};
    ASSERT_TRUE(platform::FindDrawing(key, again.view(), &found));
    EXPECT_EQ(found.left, 5);
    EXPECT_EQ(found.bottom, 9);
    for (size_t i = 0; i < again.pixels.size(); ++i) {
        ASSERT_EQ(again.pixels[i].fill, drawn.pixels[i].fill) << i;
        ASSERT_EQ(again.pixels[i].outline, drawn.pixels[i].outline) << i;
    }

    // Each part of the key on its own makes it another drawing.
    struct Case {
        const char* name;
        DrawingKey key;
    };
    std::vector<Case> others = {{"font", Key(12, "caption", 20, 2, drawn)},
                                {"text", Key(11, "captioN", 20, 2, drawn)},
                                {"shorter text", Key(11, "caption", 20, 2, drawn)},
                                {"x", Key(11, "caption", 21, 2, drawn)},
                                {"outline", Key(11, "caption", 20, 3, drawn)},
                                {"canvas", Key(11, "caption", 20, 2, Canvas(40, 21))}};
    others[2].key.text[6] = '\0';
    others.push_back({"y", key});
    others.back().key.y = 8;
    others.push_back({"alignment", key});
    others.back().key.align = 2;
    platform::SetTextCodePage(platform::TextCodePage::kUtf8);
    others.push_back({"code page", Key(11, "caption", 20, 2, drawn)});
    platform::SetTextCodePage(platform::TextCodePage::kShiftJis);
    for (const Case& c : others) {
        Canvas untouched(40, 21);
        EXPECT_FALSE(platform::FindDrawing(c.key, untouched.view(), &found)) << c.name;
    }
    // Outline widths of zero and below are all "no outline".
    EXPECT_EQ(Key(11, "a", 0, 0, drawn).outline_width, Key(11, "a", 0, -5, drawn).outline_width);
    // Texts too long to be keys are not kept.
    std::string long_text(platform::kDrawingTextCapacity, 'x');
    EXPECT_FALSE(platform::MakeDrawingKey(1, long_text.c_str(), 0, 0,
                                          platform::TextAlign::kStartAtX, 0, drawn.view(), &key));
}

TEST_F(TextDrawingCache, EmptyDrawingsAreKeptAndClearForgetsEverything) {
    Canvas canvas(10, 10);
    DrawingKey key = Key(3, "off the canvas", -500, 0, canvas);
    platform::StoreDrawing(key, canvas.view(), TextBox{0, 0, 0, 0});
    TextBox found = {1, 1, 2, 2};
    ASSERT_TRUE(platform::FindDrawing(key, canvas.view(), &found));
    EXPECT_TRUE(platform::IsEmptyBox(found));
    EXPECT_EQ(platform::DrawingCacheBytes(), 0u);
    platform::ClearDrawings();
    EXPECT_FALSE(platform::FindDrawing(key, canvas.view(), &found));
}

TEST_F(TextDrawingCache, KeepsWithinItsBytesDroppingTheLeastRecentlyUsed) {
    // Drawings of a third of the budget each: the fourth pushes out the one
    // used longest ago, and one larger than the budget is never kept.
    const int32_t w = 1024;
    const int32_t h = int32_t(platform::kDrawingCacheBytes / 3 / sizeof(TextWeights) / w);
    const TextBox box = {0, 0, w, h};
    Canvas drawn = Drawn(w, h, box, 5);
    DrawingKey keys[4];
    for (int i = 0; i < 4; ++i) {
        keys[i] = Key(100 + i, "frame", 0, 0, drawn);
        if (i == 3) {
            TextBox found;
            ASSERT_TRUE(platform::FindDrawing(keys[0], drawn.view(), &found));  // 0 used again
        }
        platform::StoreDrawing(keys[i], drawn.view(), box);
        EXPECT_LE(platform::DrawingCacheBytes(), platform::kDrawingCacheBytes);
    }
    bool kept[4];
    for (int i = 0; i < 4; ++i) {
        TextBox found;
        kept[i] = platform::FindDrawing(keys[i], drawn.view(), &found);
    }
    EXPECT_TRUE(kept[0]);
    EXPECT_FALSE(kept[1]);
    EXPECT_TRUE(kept[2]);
    EXPECT_TRUE(kept[3]);

    Canvas huge(4096, int32_t(platform::kDrawingCacheBytes / sizeof(TextWeights) / 4096) + 1);
    DrawingKey big = Key(200, "huge", 0, 0, huge);
    platform::StoreDrawing(big, huge.view(), TextBox{0, 0, huge.width, huge.height});
    TextBox found;
    EXPECT_FALSE(platform::FindDrawing(big, huge.view(), &found));
    EXPECT_TRUE(platform::FindDrawing(keys[3], drawn.view(), &found));
}

}  // namespace
