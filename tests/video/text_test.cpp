// Text: the text engine's two weights, and the font, text and text2 commands
// through the test host. The tests pin the IPA Gothic face, which the default
// style ("ＭＳ ゴシック") resolves to on the machines the Makefile sets up.
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/text_engine.h"
#include "script/script_support.h"
#include "support/test_host.h"
#include "support/test_platform.h"

using testhost::Picture;
using testhost::TestHost;

namespace {

// Shift-JIS texts (the scripts' code page).
const char kDefaultFace[] =
    "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";  // ＭＳ ゴシック
const char kBlock[] = "\x81\xa1";                            // ■
#ifdef _WIN32
// GDI reports faces, not files: the face every name maps to, by its English
// name or by its Japanese one, "IPAゴシック".
const char kIpaGothicFile[] = "IPAGothic";
const char kIpaGothicJapaneseFace[] =
    "IPA\x83S\x83V\x83"
    "b\x83N";
#else
const char kIpaGothicFile[] = "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf";
#endif

// At cell height 32, IPA Gothic's full-width characters advance 30 pixels and
// its half-width ones 15; ■ drawn with its top at (10, 10) covers the
// square from (14, 14) to (34, 34) fully.
constexpr int32_t kFullWidth = 30;
constexpr int32_t kHalfWidth = 15;
constexpr int32_t kBlockCentre = 24;

// ---- The engine ----------------------------------------------------------------

struct EngineCanvas {
    int32_t width, height;
    std::vector<platform::TextWeights> pixels;
    EngineCanvas(int32_t w, int32_t h) : width(w), height(h), pixels(size_t(w) * h) {}
    platform::TextCanvasView view() { return {pixels.data(), width, height}; }
    platform::TextWeights at(int32_t x, int32_t y) const { return pixels[size_t(y) * width + x]; }
};

class TextEngine : public ::testing::Test {
  protected:
    void TearDown() override { platform::ReleaseTextEngine(); }
    static bool Select(const char* face, int32_t size, bool bold = false, bool italic = false,
                       bool underline = false) {
        return platform::SelectTextFont({face, size, bold, italic, underline});
    }
};

std::string FontFile(const char* file) {
#ifdef _WIN32
    return std::string(file) == kIpaGothicJapaneseFace ? kIpaGothicFile : file;
#else
    return testhost::RealPath(file);
#endif
}

TEST_F(TextEngine, WellKnownJapaneseFacesResolveToIpaGothic) {
    const char* faces[] = {kDefaultFace, "MS Gothic", "IPAGothic", "ms gothic"};
    for (const char* face : faces) {
        ASSERT_TRUE(Select(face, 32)) << face;
        EXPECT_EQ(FontFile(platform::CurrentTextFontFile()), kIpaGothicFile) << face;
    }
}

TEST_F(TextEngine, UnknownOrEmptyFaceStillGivesAFont) {
    for (const char* face : {"", "No Such Face 12345"}) {
        EXPECT_TRUE(Select(face, 32)) << face;
        EXPECT_STRNE(platform::CurrentTextFontFile(), "") << face;
    }
}

TEST_F(TextEngine, MeasuresWholePixelAdvancesAndSkipsWhatCannotBeDecoded) {
    // GDI draws its box for what it cannot decode, where FreeType skips it.
    struct Case {
        const char* name;
        std::string text;
        int64_t width;
        int64_t gdi_width;
    };
    const Case cases[] = {
        {"two blocks", std::string(kBlock) + kBlock, 2 * kFullWidth, 2 * kFullWidth},
        {"ascii", "AB", 2 * kHalfWidth, 2 * kHalfWidth},
        {"ampersand", "&", kHalfWidth, kHalfWidth},
        {"half-width katakana", "\xb1", kHalfWidth, kHalfWidth},
        {"byte the code page lacks",
         "A\x80"
         "B",
         2 * kHalfWidth, 2 * kHalfWidth + kFullWidth},
        {"bytes above the lead range",
         "A\xfd\xfe\xff"
         "B",
         2 * kHalfWidth, 2 * kHalfWidth + 3 * kFullWidth},
        {"lead byte at the end", "A\x81", kHalfWidth, kHalfWidth + kFullWidth},
        {"lead byte before a space", "\x81 A", 2 * kHalfWidth, kHalfWidth + kFullWidth},
        {"unassigned two-byte code",
         "A\x85\x40"
         "B",
         2 * kHalfWidth, 2 * kHalfWidth + kFullWidth},
        {"control characters",
         "A\t\x01"
         "B",
         2 * kHalfWidth, 2 * kHalfWidth + 2 * kFullWidth},
        {"empty", "", 0, 0},
    };
    ASSERT_TRUE(Select(kDefaultFace, 32));
    for (const Case& c : cases) {
#ifdef _WIN32
        EXPECT_EQ(platform::MeasureText(c.text.c_str()), c.gdi_width) << c.name;
#else
        EXPECT_EQ(platform::MeasureText(c.text.c_str()), c.width) << c.name;
#endif
    }
}

#ifndef _WIN32
// The same characters in either code page measure the same; UTF-8 bytes read
// as Shift-JIS do not, neither measured nor drawn (the caches know the code
// page). The Windows engine is given Shift-JIS only.
TEST_F(TextEngine, Utf8TextDecodesToTheSameCharacters) {
    struct Case {
        const char* name;
        const char* shift_jis;
        const char* utf8;
    };
    const Case cases[] = {
        {"katakana", "\x83\x41", "\xe3\x82\xa2"},
        {"ascii", "Ab", "Ab"},
        {"kanji and ascii",
         "\x95\x5c"
         "A",
         "\xe8\xa1\xa8"
         "A"},
    };
    ASSERT_TRUE(Select(kDefaultFace, 32));
    for (const Case& c : cases) {
        int64_t width = platform::MeasureText(c.shift_jis);
        platform::SetTextCodePage(platform::TextCodePage::kUtf8);
        EXPECT_EQ(platform::MeasureText(c.utf8), width) << c.name;
        EXPECT_GT(width, 0) << c.name;
        platform::SetTextCodePage(platform::TextCodePage::kShiftJis);
    }
    platform::SetTextCodePage(platform::TextCodePage::kUtf8);
    int64_t e_acute = platform::MeasureText("Caf\xc3\xa9");
    platform::SetTextCodePage(platform::TextCodePage::kShiftJis);
    EXPECT_GT(e_acute, platform::MeasureText("Caf"));
    EXPECT_NE(platform::MeasureText("Caf\xc3\xa9"), e_acute);

    EngineCanvas as_utf8(200, 48), as_shift_jis(200, 48);
    platform::SetTextCodePage(platform::TextCodePage::kUtf8);
    platform::TextBox utf8_box = platform::DrawTextWeights(
        "Caf\xc3\xa9", 2, 2, platform::TextAlign::kStartAtX, 0, as_utf8.view());
    platform::SetTextCodePage(platform::TextCodePage::kShiftJis);
    platform::TextBox shift_jis_box = platform::DrawTextWeights(
        "Caf\xc3\xa9", 2, 2, platform::TextAlign::kStartAtX, 0, as_shift_jis.view());
    EXPECT_NE(utf8_box.right, shift_jis_box.right);
}
#endif

// Every weight lies in the returned box, and the box in the canvas.
void ExpectWeightsInsideBox(const EngineCanvas& canvas, const platform::TextBox& box) {
    EXPECT_GE(box.left, 0);
    EXPECT_GE(box.top, 0);
    EXPECT_LE(box.right, canvas.width);
    EXPECT_LE(box.bottom, canvas.height);
    for (int32_t y = 0; y < canvas.height; ++y) {
        for (int32_t x = 0; x < canvas.width; ++x) {
            platform::TextWeights w = canvas.at(x, y);
            bool inside = x >= box.left && x < box.right && y >= box.top && y < box.bottom;
            if (inside) continue;
            ASSERT_TRUE(w.fill == 0 && w.outline == 0) << x << "," << y;
        }
    }
}

TEST_F(TextEngine, OutlineWeightsFollowTheCoverageRule) {
    // With an outline, each pixel either keeps the plain coverage T as its
    // fill weight (outside the outline shape) or takes fill 255 and outline
    // 255 - T (inside it).
    ASSERT_TRUE(Select(kDefaultFace, 40, true, false, true));
    const char* text = "Ag&\x81\xa1";
    EngineCanvas plain(140, 60), outlined(140, 60);
    platform::TextBox plain_box =
        platform::DrawTextWeights(text, 3, 2, platform::TextAlign::kStartAtX, 0, plain.view());
    platform::TextBox box =
        platform::DrawTextWeights(text, 3, 2, platform::TextAlign::kStartAtX, 3, outlined.view());
    ExpectWeightsInsideBox(plain, plain_box);
    ExpectWeightsInsideBox(outlined, box);
    int32_t ring = 0, edges_over_ring = 0;
    for (int32_t y = 0; y < 60; ++y) {
        for (int32_t x = 0; x < 140; ++x) {
            platform::TextWeights t = plain.at(x, y), w = outlined.at(x, y);
            ASSERT_EQ(t.outline, 0);
            bool outside_shape = w.fill == t.fill && w.outline == 0;
#ifdef _WIN32
            // GDI blends the letters over the white shape along its own gamma
            // ramp: a coverage darkens white less than it lightens black.
            bool inside_shape = w.fill == 255 && w.outline >= 255 - t.fill &&
                                (t.fill != 0 || w.outline == 255) &&
                                (t.fill != 255 || w.outline == 0);
#else
            bool inside_shape = w.fill == 255 && w.outline == 255 - t.fill;
#endif
            ASSERT_TRUE(outside_shape || inside_shape) << x << "," << y;
            ring += t.fill == 0 && w.outline == 255;
            edges_over_ring += t.fill > 0 && t.fill < 255 && inside_shape;
        }
    }
    EXPECT_GT(ring, 100);
    EXPECT_GT(edges_over_ring, 20);
}

TEST_F(TextEngine, AlignmentMovesTheSamePixels) {
    ASSERT_TRUE(Select(kDefaultFace, 32));
    std::string text = std::string(kBlock) + "A";
    int64_t width = platform::MeasureText(text.c_str());
    ASSERT_EQ(width, kFullWidth + kHalfWidth);
    EngineCanvas start(200, 40);
    platform::DrawTextWeights(text.c_str(), 100, 0, platform::TextAlign::kStartAtX, 2,
                              start.view());
    struct Case {
        platform::TextAlign align;
        int64_t shift;
    };
    for (Case c : {Case{platform::TextAlign::kEndAtX, -width},
                   Case{platform::TextAlign::kCentreOnX, -width / 2}}) {
        EngineCanvas moved(200, 40);
        platform::DrawTextWeights(text.c_str(), 100, 0, c.align, 2, moved.view());
        for (int32_t y = 0; y < 40; ++y) {
            for (int32_t x = 0; x < 200; ++x) {
                int64_t from = x - c.shift;
                platform::TextWeights expected =
                    from < 200 ? start.at(int32_t(from), y) : platform::TextWeights{0, 0};
                ASSERT_EQ(moved.at(x, y).fill, expected.fill) << x << "," << y;
                ASSERT_EQ(moved.at(x, y).outline, expected.outline) << x << "," << y;
            }
        }
    }
}

TEST_F(TextEngine, WideCanvasDrawsPastTheSpanLimit) {
    // The rasteriser's spans start at 16-bit positions; far right columns of
    // a wide canvas must still get the same glyph.
    ASSERT_TRUE(Select(kDefaultFace, 32));
    EngineCanvas near(40000, 36), far(40000, 36);
    platform::DrawTextWeights(kBlock, 10, 0, platform::TextAlign::kStartAtX, 0, near.view());
    platform::TextBox box =
        platform::DrawTextWeights(kBlock, 39960, 0, platform::TextAlign::kStartAtX, 0, far.view());
    EXPECT_GT(box.left, 32767);
    for (int32_t y = 0; y < 36; ++y) {
        for (int32_t x = 0; x < 40; ++x) {
            ASSERT_EQ(far.at(39960 + x, y).fill, near.at(10 + x, y).fill) << x << "," << y;
        }
    }
}

TEST_F(TextEngine, ExtremePlacementsAndSizesStayInsideTheCanvas) {
    struct Case {
        const char* name;
        int32_t size, x, y, outline;
        platform::TextAlign align;
        bool draws;
    };
    const Case cases[] = {
        {"far right", 32, INT32_MAX, 0, 3, platform::TextAlign::kStartAtX, false},
        {"far left", 32, INT32_MIN, 0, 3, platform::TextAlign::kEndAtX, false},
        {"far below", 32, 0, INT32_MAX, 3, platform::TextAlign::kStartAtX, false},
        {"far above", 32, 0, INT32_MIN, 3, platform::TextAlign::kStartAtX, false},
#ifdef _WIN32
        // GDI makes no font this large and draws nothing.
        {"huge cell", INT32_MAX, -2000, -2000, 0, platform::TextAlign::kStartAtX, false},
#else
        {"huge cell", INT32_MAX, -2000, -2000, 0, platform::TextAlign::kStartAtX, true},
#endif
        {"huge outline", 32, 5, 5, INT32_MAX, platform::TextAlign::kStartAtX, true},
        {"cell of one pixel", 1, 5, 5, 1, platform::TextAlign::kStartAtX, true},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(Select(kDefaultFace, c.size, false, false, true)) << c.name;
        EngineCanvas canvas(64, 48);
        std::string text = std::string(kBlock) + "Ag";
        platform::TextBox box =
            platform::DrawTextWeights(text.c_str(), c.x, c.y, c.align, c.outline, canvas.view());
        EXPECT_EQ(!platform::IsEmptyBox(box), c.draws) << c.name;
        ExpectWeightsInsideBox(canvas, box);
    }
}

// ---- The commands ----------------------------------------------------------------

PixelYC Yc(int32_t y, int32_t cb, int32_t cr) {
    return PixelYC{int16_t(y), int16_t(cb), int16_t(cr)};
}

bool SamePixel(PixelYC a, PixelYC b) {
    return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

int32_t CountDifferences(const Picture& a, const Picture& b) {
    int32_t n = 0;
    for (size_t i = 0; i < a.pixels.size(); ++i)
        n += !SamePixel(a.pixels[i], b.pixels[i]);
    return n;
}

std::string BlockLine(const std::string& command, int32_t buffer = 0) {
    return command + "(" + std::to_string(buffer) + ", 10, 10, 2, \"" + kBlock + "\")\n";
}

// A one-colour project, so that moved drawings can be compared.
void UsePlainBackground(TestHost& host) {
    host.project_pixel = [](int32_t, int32_t, int32_t) { return Yc(1000, 20, -20); };
}

TEST(TextCommand, FirstDrawingUsesTheDefaultStyleOnEveryFrame) {
    TestHost host(64, 48);
    host.WriteScript(BlockLine("text"));
    for (int32_t frame : {0, 3}) {
        host.RunVideo(frame);
        // Fully covered: 4096 * 255 >> 8, whatever was there.
        EXPECT_TRUE(SamePixel(host.OutputAt(kBlockCentre, kBlockCentre), Yc(4080, 0, 0)));
        EXPECT_TRUE(SamePixel(host.OutputAt(1, 1), host.ProjectFrame(frame).at(1, 1)));
    }
}

TEST(TextCommand, FontCommandsStoreTheFillColour) {
    struct Case {
        const char* name;
        std::string font;
        PixelYC covered;
    };
    std::string face = std::string("\"") + kDefaultFace + "\", 32, 0, 0, 0, ";
    const Case cases[] = {
        {"font", "font(" + face + "2000, 100, -100)", Yc(1992, 99, -100)},
        {"font wraps without clamping", "font(" + face + "70000, 0, -4096)", Yc(4190, 0, -4080)},
        {"font_rgb white", "font_rgb(" + face + "4096, 4096, 4096)", Yc(4079, 0, 0)},
        {"font_rgb 255", "font_rgb(" + face + "255, 255, 255)", Yc(254, 0, 0)},
        {"font2_rgb red", "font2_rgb(" + face + "0, 4096, 0, 0, 0, 0, 4096)", Yc(1219, -690, 2040)},
    };
    for (const Case& c : cases) {
        TestHost host(64, 48);
        host.WriteScript(c.font + "\n" + BlockLine("text"));
        host.RunVideo(0);
        PixelYC p = host.OutputAt(kBlockCentre, kBlockCentre);
        EXPECT_TRUE(SamePixel(p, c.covered)) << c.name << ": " << p.y << " " << p.cb << " " << p.cr;
    }
}

// Runs a script on frame 0 of a fresh host and returns the output.
Picture RunOnce(const std::string& script, int32_t w = 64, int32_t h = 48) {
    TestHost host(w, h);
    UsePlainBackground(host);
    host.WriteScript(script);
    host.RunVideo(0);
    return host.output();
}

TEST(TextCommand, OutlineRingTakesTheOutlineColour) {
    TestHost host(64, 48);
    UsePlainBackground(host);
    host.WriteScript(std::string("font2(\"") + kDefaultFace +
                     "\", 32, 0, 0, 0, 3, 4096, 0, 0, 1000, 200, -200)\n" + BlockLine("text"));
    host.RunVideo(0);
    const PixelYC ring = Yc(996, 199, -200);  // 1000 * 255 >> 8 over the fill
    const PixelYC background = Yc(1000, 20, -20);
    EXPECT_TRUE(SamePixel(host.OutputAt(kBlockCentre, kBlockCentre), Yc(4080, 0, 0)));
    // The first changed pixel in each direction from the centre's row and
    // column lies on the ring.
    // Under GDI the stroke reaches no further left than the letter's edge
    // pixel, which takes fill and then ring: Y (4080 * 15 + 1000 * 240) >> 8.
    struct Walk {
        const char* name;
        int32_t dx, dy;
        PixelYC last;
    };
#ifdef _WIN32
    const PixelYC left_edge = Yc(1176, 187, -188);
#else
    const PixelYC left_edge = ring;
#endif
    for (Walk walk : {Walk{"left", -1, 0, left_edge}, Walk{"right", 1, 0, ring},
                      Walk{"up", 0, -1, ring}, Walk{"down", 0, 1, ring}}) {
        int32_t x = kBlockCentre, y = kBlockCentre;
        PixelYC last = host.OutputAt(x, y);
        while (x + walk.dx >= 0 && x + walk.dx < 64 && y + walk.dy >= 0 && y + walk.dy < 48 &&
               !SamePixel(host.OutputAt(x + walk.dx, y + walk.dy), background)) {
            x += walk.dx;
            y += walk.dy;
            last = host.OutputAt(x, y);
        }
        EXPECT_TRUE(SamePixel(last, walk.last))
            << walk.name << ": " << last.y << " " << last.cb << " " << last.cr;
    }
}

TEST(TextCommand, NoOutlineForWidthZeroOrNegative) {
    std::string plain = std::string("font(\"") + kDefaultFace + "\", 32, 0, 0, 0, 3000, 0, 0)\n";
    Picture expected = RunOnce(plain + BlockLine("text"));
    for (int32_t width : {0, -3}) {
        std::string font2 = std::string("font2(\"") + kDefaultFace + "\", 32, 0, 0, 0, " +
                            std::to_string(width) + ", 3000, 0, 0, 1000, 200, -200)\n";
        EXPECT_EQ(CountDifferences(RunOnce(font2 + BlockLine("text")), expected), 0) << width;
    }
    // font after font2 takes the outline away again.
    std::string font2 = std::string("font2(\"") + kDefaultFace +
                        "\", 32, 0, 0, 0, 3, 3000, 0, 0, 1000, 200, -200)\n";
    EXPECT_EQ(CountDifferences(RunOnce(font2 + plain + BlockLine("text")), expected), 0);
}

TEST(TextCommand, SizeBelowOneIsOne) {
    std::string face = std::string("font(\"") + kDefaultFace + "\", ";
    Picture one = RunOnce(face + "1, 0, 0, 0, 3000, 0, 0)\ntext(0, 5, 5, 2, \"WWWW\")\n");
    for (const char* size : {"0", "-7"}) {
        Picture p = RunOnce(face + size + ", 0, 0, 0, 3000, 0, 0)\ntext(0, 5, 5, 2, \"WWWW\")\n");
        EXPECT_EQ(CountDifferences(p, one), 0) << size;
    }
}

// The exact composite of every pixel: the plug-in's canvas weights (drawn here
// by the same engine) blended by (C * (255 - w) + colour * w) >> 8, fill then
// outline, low 16 bits.
int16_t Blend(int16_t c, int32_t colour, int32_t w) {
    int64_t sum = int64_t(c) * (255 - w) + int64_t(colour) * w;
    return int16_t(uint16_t(uint64_t(sum >> 8) & 0xFFFF));
}

TEST(TextCommand, CompositeBlendsTheEngineWeightsExactly) {
    struct Case {
        const char* name;
        std::string font_args;  // after the face
        platform::TextFontRequest request;
        int32_t outline_width;
        int32_t fill[3];
        int32_t outline[3];
        std::string text;
        int32_t x, y, align;
    };
    const Case cases[] = {
        {"bold underlined with outline",
         "40, 1, 0, 1, 3, 3000, 300, -300, 500, -400, 400",
         {kDefaultFace, 40, true, false, true},
         3,
         {3000, 300, -300},
         {500, -400, 400},
         std::string("Ag") + kBlock,
         4,
         2,
         2},
        {"italic centred, colours beyond 16 bits",
         "28, 0, 1, 0, 2, 70000, -40000, 5, -9, 33000, 7",
         {kDefaultFace, 28, false, true, false},
         2,
         {70000, -40000, 5},
         {-9, 33000, 7},
         "x&y",
         40,
         10,
         1},
    };
    for (const Case& c : cases) {
        TestHost host(80, 56);
        host.WriteScript(std::string("font2(\"") + kDefaultFace + "\", " + c.font_args +
                         ")\ntext(0, " + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
                         std::to_string(c.align) + ", \"" + c.text + "\")\n");
        host.RunVideo(0);

        ASSERT_TRUE(platform::SelectTextFont(c.request));
        EngineCanvas canvas(80, 56);
        platform::DrawTextWeights(c.text.c_str(), c.x, c.y, platform::TextAlign(c.align),
                                  c.outline_width, canvas.view());
        platform::ReleaseTextEngine();

        Picture before = host.ProjectFrame(0);
        int32_t drawn = 0;
        for (int32_t y = 0; y < 56; ++y) {
            for (int32_t x = 0; x < 80; ++x) {
                platform::TextWeights w = canvas.at(x, y);
                PixelYC p = before.at(x, y);
                if (w.fill != 0) {
                    p = Yc(Blend(p.y, c.fill[0], w.fill), Blend(p.cb, c.fill[1], w.fill),
                           Blend(p.cr, c.fill[2], w.fill));
                }
                if (w.outline != 0) {
                    p = Yc(Blend(p.y, c.outline[0], w.outline),
                           Blend(p.cb, c.outline[1], w.outline),
                           Blend(p.cr, c.outline[2], w.outline));
                }
                drawn += w.fill != 0 || w.outline != 0;
                ASSERT_TRUE(SamePixel(host.OutputAt(x, y), p)) << c.name << " at " << x << "," << y;
            }
        }
        EXPECT_GT(drawn, 200) << c.name;
    }
}

TEST(TextCommand, AlignmentPlacesTheTextAroundX) {
    // ■■ is 60 pixels wide: it ends at x, is centred on x, or starts at x.
    TestHost host(200, 40);
    UsePlainBackground(host);
    host.WriteScript(std::string("text(0, 100, 2, a, \"") + kBlock + kBlock + "\")\n");
    Picture by_align[3];
    for (int32_t align = 0; align < 3; ++align) {
        host.tracks[1] = align;
        host.RunVideo(0);
        by_align[align] = host.output();
    }
    const int32_t first_column[3] = {40, 70, 100};
    Picture background = host.ProjectFrame(0);
    for (int32_t align = 0; align < 3; ++align) {
        int32_t left = 200, right = -1;
        for (int32_t y = 0; y < 40; ++y) {
            for (int32_t x = 0; x < 200; ++x) {
                if (SamePixel(by_align[align].at(x, y), background.at(x, y))) continue;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        EXPECT_GE(left, first_column[align]) << align;
        EXPECT_LT(right, first_column[align] + 2 * kFullWidth) << align;
        EXPECT_LT(left, first_column[align] + 6) << align;
        EXPECT_GT(right, first_column[align] + 2 * kFullWidth - 6) << align;
        // The same pixels, moved.
        int32_t shift = 100 - first_column[align];
        for (int32_t y = 0; y < 40; ++y) {
            for (int32_t x = 0; x + shift < 200; ++x) {
                ASSERT_TRUE(SamePixel(by_align[align].at(x, y), by_align[2].at(x + shift, y)))
                    << align << " at " << x << "," << y;
            }
        }
    }
}

TEST(TextCommand, Text2FormatsDoublesLikeTheLiteralText) {
    struct Case {
        const char* format;
        const char* values;
        const char* literal;
    };
    const Case cases[] = {
        {"%5.1f / %g", "3.14159, 2", "  3.1 / 2"},
        {"%5.1f%%", "3.14159", "  3.1%"},
        {"%lf", "2.5", "2.500000"},
        {"x%04.0fy%+.2e", "3, 1234.5", "x0003y+1.23e+03"},
        {"no conversions", "1", "no conversions"},
        {"%-6.2f|", "1", "1.00  |"},
    };
    for (const Case& c : cases) {
        TestHost host(200, 40);
        UsePlainBackground(host);
        host.WriteScript(std::string("[0-0]\ntext2(0, 2, 2, 2, \"") + c.format + "\", " + c.values +
                         ")\n[1-1]\ntext(0, 2, 2, 2, \"" + c.literal + "\")\n");
        host.RunVideo(0);
        Picture formatted = host.output();
        host.RunVideo(1);
        EXPECT_GT(CountDifferences(formatted, host.ProjectFrame(0)), 50) << c.format;
        EXPECT_EQ(CountDifferences(formatted, host.output()), 0) << c.format;
    }
}

TEST(TextCommand, AmpersandIsDrawn) {
    TestHost host(64, 48);
    host.WriteScript("text(0, 2, 2, 2, \"&\")\n");
    host.RunVideo(0);
    EXPECT_GT(CountDifferences(host.output(), host.ProjectFrame(0)), 30);
}

TEST(TextCommand, LinesThatDrawNothingLeaveTheBufferUnchanged) {
    const std::string block = kBlock;
    const std::string sixteen = "%f%f%f%f%f%f%f%f%f%f%f%f%f%f%f%f";
    const char* lines[] = {
        "text(0, 10, 10, 2, \"\")",
        "text(10, 10, 10, 2, \"\x81\xa1\")",
        "text(-1, 10, 10, 2, \"\x81\xa1\")",
        "text(0, 10, 10, 3, \"\x81\xa1\")",
        "text(0, 10, 10, -1, \"\x81\xa1\")",
        "text2(0, 10, 10, 2, \"\")",
        "text2(0, 10, 10, 2, \"%d\", 1)",
        "text2(0, 10, 10, 2, \"%s\", 1)",
        "text2(0, 10, 10, 2, \"%n\", 1)",
        "text2(0, 10, 10, 2, \"%x\", 1)",
        "text2(0, 10, 10, 2, \"%c\", 1)",
        "text2(0, 10, 10, 2, \"%p\", 1)",
        "text2(0, 10, 10, 2, \"%*f\", 5, 1)",
        "text2(0, 10, 10, 2, \"%.*f\", 5, 1)",
        "text2(0, 10, 10, 2, \"%1$f\", 1)",
        "text2(0, 10, 10, 2, \"%Lf\", 1)",
        "text2(0, 10, 10, 2, \"%hf\", 1)",
        "text2(0, 10, 10, 2, \"%1000f\", 1)",
        "text2(0, 10, 10, 2, \"%.1000f\", 1)",
        "text2(0, 10, 10, 2, \"abc%\", 1)",
        "text2(0, 10, 10, 2, \"%f %\", 1)",
    };
    std::vector<std::string> all(std::begin(lines), std::end(lines));
    all.push_back("text2(0, 10, 10, 2, \"" + sixteen + "\", 1)");
    for (const std::string& line : all) {
        TestHost host(64, 48);
        host.WriteScript(line + "\n");
        host.RunVideo(0);
        EXPECT_EQ(CountDifferences(host.output(), host.ProjectFrame(0)), 0) << line;
    }
}

TEST(TextCommand, LongOutputIsCutAt511BytesWithoutSplittingACharacter) {
    // "%.300f" of 1 gives 302 bytes; with 105 blocks (210 bytes) the output
    // would be 512 bytes, and the cut at 511 would leave half a block, which
    // is dropped: 104 blocks remain. With "%.299f" all 105 blocks fit.
    std::string blocks;
    for (int i = 0; i < 104; ++i)
        blocks += kBlock;
    const std::string cut = "%.300f" + blocks + kBlock;
    const std::string fitting = "%.300f" + blocks;
    const std::string all = "%.299f" + blocks + kBlock;
    TestHost host(7700, 36);
    UsePlainBackground(host);
    host.WriteScript("[0-0]\ntext2(0, 2, 2, 2, \"" + cut + "\", 1)\n[1-1]\ntext2(0, 2, 2, 2, \"" +
                     fitting + "\", 1)\n[2-2]\ntext2(0, 2, 2, 2, \"" + all + "\", 1)\n");
    host.RunVideo(0);
    Picture formatted = host.output();
    host.RunVideo(1);
    EXPECT_GT(CountDifferences(formatted, host.ProjectFrame(0)), 50);
    EXPECT_EQ(CountDifferences(formatted, host.output()), 0);
    host.RunVideo(2);
    EXPECT_GT(CountDifferences(formatted, host.output()), 50);
}

TEST(TextCommand, StylePersistsAcrossReloads) {
    // The reloaded script has no font line and draws elsewhere, still with
    // the outlined style of the first one.
    const std::string font2 = std::string("font2(\"") + kDefaultFace +
                              "\", 32, 0, 0, 0, 3, 4096, 0, 0, 1000, 200, -200)\n";
    const std::string moved = std::string("text(0, 30, 12, 2, \"") + kBlock + "\")\n";
    TestHost host(64, 48);
    UsePlainBackground(host);
    scripttest::InProcessPlugin plugin(&host);  // its clock can be stepped
    host.WriteScript(font2 + BlockLine("text"));
    plugin.RunVideo(0);
    scripttest::NextClockSecond();
    host.WriteScript(moved);
    plugin.RunVideo(4);
    Picture reloaded{64, 48, plugin.output()};
    EXPECT_EQ(CountDifferences(reloaded, RunOnce(font2 + moved)), 0);
    EXPECT_GT(CountDifferences(reloaded, RunOnce(moved)), 50);
}

TEST(TextCommand, CanvasFollowsAChangeOfFrameSize) {
    const std::string script =
        std::string("font2(\"") + kDefaultFace +
        "\", 32, 0, 0, 0, 2, 4096, 0, 0, 0, 0, 0)\ntext(0, i - 40, j - 36, 2, \"" + kBlock +
        "\")\n";
    TestHost host(64, 48);
    UsePlainBackground(host);
    host.WriteScript(script);
    host.RunVideo(0);
    host.max_w = 120;
    host.max_h = 90;
    host.RunVideo(0);
    EXPECT_EQ(CountDifferences(host.output(), RunOnce(script, 120, 90)), 0);
    host.max_w = 40;
    host.max_h = 30;
    host.RunVideo(0);
    EXPECT_EQ(CountDifferences(host.output(), RunOnce(script, 40, 30)), 0);
}

// Large enough that the outline and composite passes run on every thread.
TEST(TextCommand, OneTwoAndThreeThreadsDrawTheSame) {
    const std::string script =
        std::string("font2(\"") + kDefaultFace +
        "\", 144, 1, 1, 1, 6, 3000, 100, 100, 0, -50, 50)\ntext(0, 180, 3, 1, \"Kg" + kBlock +
        "\")\n";
    Picture results[3];
    for (int threads = 1; threads <= 3; ++threads) {
        TestHost host(360, 160, 100, threads);
        host.WriteScript(script);
        host.RunVideo(0);
        results[threads - 1] = host.output();
    }
    EXPECT_GT(CountDifferences(results[0], TestHost(360, 160).ProjectFrame(0)), 10000);
    EXPECT_EQ(CountDifferences(results[0], results[1]), 0);
    EXPECT_EQ(CountDifferences(results[0], results[2]), 0);
}

}  // namespace
