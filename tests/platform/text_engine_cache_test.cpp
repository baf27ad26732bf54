// The text engine's caches (glyphs, layouts, finished drawings) change no
// weight: a sequence of drawings that repeats captions, moves them and
// changes face, size, style, outline and canvas between them gives, drawing
// by drawing, what a freshly started engine gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text_drawing_cache.h"
#include "platform/text_engine.h"

namespace {

using platform::TextAlign;

const char kGothic[] = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";  // ＭＳ ゴシック
const char kCaption[] = "Ag&\x81\xa1\x83\x41";                                  // Ag&■ア
const char kCaptionUtf8[] = "Ag&\xe2\x96\xa0\xe3\x82\xa2";
constexpr platform::TextCodePage kSjis = platform::TextCodePage::kShiftJis;
constexpr platform::TextCodePage kUtf8 = platform::TextCodePage::kUtf8;

struct Step {
    const char* name;
    platform::TextFontRequest font;
    std::string text;
    int32_t x, y;
    TextAlign align;
    int32_t outline;
    int32_t width, height;
    platform::TextCodePage code_page;
};

struct Drawing {
    platform::TextBox box;
    std::vector<platform::TextWeights> pixels;
};

Drawing Draw(const Step& s) {
    Drawing d;
    d.pixels.assign(size_t(s.width) * s.height, platform::TextWeights{0, 0});
    platform::SetTextCodePage(s.code_page);
    platform::SelectTextFont(s.font);
    d.box = platform::DrawTextWeights(s.text.c_str(), s.x, s.y, s.align, s.outline,
                                      platform::TextCanvasView{d.pixels.data(), s.width, s.height});
    platform::SetTextCodePage(platform::TextCodePage::kShiftJis);
    return d;
}

TEST(TextEngineCaches, CachedDrawingsEqualFreshOnes) {
    const platform::TextFontRequest plain = {kGothic, 30, false, false, false};
    const platform::TextFontRequest styled = {kGothic, 30, true, true, true};
    const platform::TextFontRequest bigger = {kGothic, 34, false, false, false};
    const platform::TextFontRequest other = {"No Such Face 12345", 30, false, false, false};
    const Step steps[] = {
        {"first", plain, kCaption, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"again", plain, kCaption, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"moved", plain, kCaption, 9, 5, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"realigned", plain, kCaption, 80, 5, TextAlign::kCentreOnX, 3, 160, 48, kSjis},
        {"outline wider", plain, kCaption, 4, 2, TextAlign::kStartAtX, 5, 160, 48, kSjis},
        {"no outline", plain, kCaption, 4, 2, TextAlign::kStartAtX, 0, 160, 48, kSjis},
        {"bold italic underlined", styled, kCaption, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"larger", bigger, kCaption, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"other face", other, kCaption, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"other text", plain, "gA&", 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
        {"other canvas", plain, kCaption, 4, 2, TextAlign::kStartAtX, 3, 120, 40, kSjis},
        {"half off the canvas", plain, kCaption, -30, -10, TextAlign::kStartAtX, 3, 160, 48, kSjis},
#ifndef _WIN32
        // The same characters in UTF-8 (GDI reads Shift-JIS only), and the
        // Shift-JIS bytes read as UTF-8.
        {"utf-8", plain, kCaptionUtf8, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kUtf8},
        {"shift-jis bytes as utf-8", plain, std::string("AB") + kCaption, 4, 2,
         TextAlign::kStartAtX, 3, 160, 48, kUtf8},
#endif
        {"back to the first", plain, kCaption, 4, 2, TextAlign::kStartAtX, 3, 160, 48, kSjis},
    };
    std::vector<Drawing> warm;
    for (const Step& s : steps)
        warm.push_back(Draw(s));
    EXPECT_GT(platform::DrawingCacheBytes(), 0u);
    for (size_t i = 0; i < warm.size(); ++i) {
        platform::ReleaseTextEngine();
        Drawing fresh = Draw(steps[i]);
        const char* name = steps[i].name;
        EXPECT_EQ(warm[i].box.left, fresh.box.left) << name;
        EXPECT_EQ(warm[i].box.top, fresh.box.top) << name;
        EXPECT_EQ(warm[i].box.right, fresh.box.right) << name;
        EXPECT_EQ(warm[i].box.bottom, fresh.box.bottom) << name;
        int32_t drawn = 0;
        for (size_t p = 0; p < fresh.pixels.size(); ++p) {
            ASSERT_EQ(warm[i].pixels[p].fill, fresh.pixels[p].fill) << name << " " << p;
            ASSERT_EQ(warm[i].pixels[p].outline, fresh.pixels[p].outline) << name << " " << p;
            drawn += fresh.pixels[p].fill != 0;
        }
        EXPECT_GT(drawn, 100) << name;
    }
    platform::ReleaseTextEngine();
    EXPECT_EQ(platform::DrawingCacheBytes(), 0u);
}

}  // namespace
