// The cookbook's scripts (examples/NAME/kinetra.txt), each rendered on a
// generated clip with a check of what it is meant to show, so that the
// documentation cannot go stale.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "fixtures/clips.h"
#include "render/render.h"

namespace {

using apptest::TempDir;

constexpr int32_t kW = 160, kH = 120, kFrames = 30;

// What a check looks at: the output's pictures and sound, and the source's.
struct Rendered {
    std::vector<PictureYC> out;
    std::vector<int16_t> audio;  // interleaved stereo, 48 kHz
    PictureYC Source(int32_t f) const {
        PictureYC p;
        p.Resize(kW, kH);
        apptest::DrawNumberedFrame(f, &p);
        return p;
    }
};

int16_t Y(const PictureYC& p, int32_t x, int32_t y) {
    return p.pixels[size_t(y) * p.width + x].y;
}

// Pixels of a rectangle whose Y is near white.
int32_t WhiteCount(const PictureYC& p, int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
    int32_t n = 0;
    for (int32_t y = y0; y < y1; ++y)
        for (int32_t x = x0; x < x1; ++x)
            n += Y(p, x, y) > 3500;
    return n;
}

double Rms(const std::vector<int16_t>& s, size_t from, size_t to, bool minus_source) {
    double sum = 0;
    for (size_t i = from; i < to && i < s.size(); ++i) {
        double v = s[i] - (minus_source ? apptest::SampleAt(int64_t(i / 2), int32_t(i % 2)) : 0);
        sum += v * v;
    }
    return std::sqrt(sum / double(to - from));
}

constexpr size_t kSamplesPerFrame = 2 * 48000 / 30;

struct ExampleCase {
    const char* name;
    std::function<void(const Rendered&)> check;
};

// The example's name, not the case's bytes, in test listings.
void PrintTo(const ExampleCase& c, std::ostream* os) {
    *os << c.name;
}

const ExampleCase kExamples[] = {
    {"lower_third",
     [](const Rendered& r) {
         // Frame 0 is untouched; by frame 14 the band is dark.
         EXPECT_NEAR(Y(r.out[0], kW - 5, kH * 2 / 3 + 5), Y(r.Source(0), kW - 5, kH * 2 / 3 + 5),
                     40);
         EXPECT_LT(Y(r.out[14], kW - 5, kH * 2 / 3 + 5),
                   Y(r.Source(14), kW - 5, kH * 2 / 3 + 5) / 2);
         EXPECT_GT(WhiteCount(r.out[14], 0, kH * 2 / 3, kW, kH * 5 / 6), 20);  // the caption
     }},
    {"picture_in_picture",
     [](const Rendered& r) {
         EXPECT_GT(Y(r.out[5], kW * 3 / 4 - 11, 9), 3900);  // the white border
         // The inset's bottom half shows the other clip's gradient, shrunk.
         EXPECT_GT(std::abs(Y(r.out[5], kW * 3 / 4 + 2, 10 + kH / 8 + 10) -
                            Y(r.Source(5), kW * 3 / 4 + 2, 10 + kH / 8 + 10)),
                   300);
     }},
    {"key_over_still",
     [](const Rendered& r) {
         EXPECT_GT(Y(r.out[3], kW / 2, kH / 2), 3900);  // the logo's white square
         EXPECT_NEAR(Y(r.out[3], 5, kH - 5), Y(r.Source(3), 5, kH - 5), 40);  // keyed away
     }},
    {"blur_region",
     [](const Rendered& r) {
         // Frame 1: a bright bar (bit 0) ends at column 20; the blur softens the edge.
         EXPECT_LT(Y(r.out[1], 19, 10), 3000);
         EXPECT_GT(Y(r.out[1], 21, 10), 1000);
         EXPECT_NEAR(Y(r.out[1], 19, kH - 5), Y(r.Source(1), 19, kH - 5), 40);  // below: sharp
     }},
    {"moving_mosaic",
     [](const Rendered& r) {
         // Frame 0: the box is at the left; one block has one colour.
         EXPECT_NEAR(Y(r.out[0], 0, 64), Y(r.out[0], 7, 64), 8);
         EXPECT_GT(Y(r.Source(0), 7, 64) - Y(r.Source(0), 0, 64), 100);
         // Last frame: the box has moved to the right; the left is the source.
         EXPECT_NEAR(Y(r.out[kFrames - 1], 7, 64), Y(r.Source(kFrames - 1), 7, 64), 40);
     }},
    {"rotate_in_title",
     [](const Rendered& r) {
         int32_t upright = WhiteCount(r.out[25], 0, kH / 3, kW, kH / 3 + kH / 5);
         EXPECT_GT(upright, 100);
         int32_t differing = 0;
         for (size_t i = 0; i < r.out[5].pixels.size(); ++i)
             differing += std::abs(r.out[5].pixels[i].y - r.out[25].pixels[i].y) > 1500;
         EXPECT_GT(differing, 100);  // turned, not in place yet
     }},
    {"posterized_look",
     [](const Rendered& r) {
         std::set<int32_t> levels, source_levels;
         for (int32_t x = 0; x < kW; ++x) {
             levels.insert(Y(r.out[0], x, kH * 3 / 4) / 16);
             source_levels.insert(Y(r.Source(0), x, kH * 3 / 4) / 16);
         }
         EXPECT_LE(levels.size(), 20u);
         EXPECT_GT(source_levels.size(), 50u);
     }},
    {"tone_fade",
     [](const Rendered& r) {
         // The tone: 0.1 of full scale over the source's sound.
         double tone = Rms(r.audio, 0, 10 * kSamplesPerFrame, true);
         EXPECT_NEAR(tone, 0.1 * 32767 / std::sqrt(2.0), 300);
         // The fade: the last frame is nearly black and nearly silent.
         EXPECT_LT(Y(r.out[kFrames - 1], kW / 2, kH * 3 / 4), 300);
         EXPECT_LT(
             Rms(r.audio, (kFrames - 1) * kSamplesPerFrame, kFrames * kSamplesPerFrame, false),
             0.2 * Rms(r.audio, 0, kSamplesPerFrame, false));
     }},
    {"reverse",
     [](const Rendered& r) {
         for (int32_t f = 0; f < kFrames; ++f) {
             EXPECT_EQ(apptest::ReadFrameNumber(r.out[f].pixels.data(), kW, kW), kFrames - 1 - f)
                 << "frame " << f;
         }
     }},
    {"frame_counter",
     [](const Rendered& r) {
         EXPECT_LT(Y(r.out[3], kW / 2 - 2, kH - 2), 300);                  // the black box
         EXPECT_GT(WhiteCount(r.out[3], 0, kH - kH / 5, kW / 2, kH), 20);  // digits
         int32_t changed = 0;
         for (int32_t y = kH - kH / 5; y < kH; ++y)
             for (int32_t x = 0; x < kW / 2; ++x)
                 changed += std::abs(Y(r.out[3], x, y) - Y(r.out[4], x, y)) > 1500;
         EXPECT_GT(changed, 5);  // the count moves on
     }},
};

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Example : public ::testing::TestWithParam<ExampleCase> {};

TEST_P(Example, RendersWhatTheCookbookSays) {
    const ExampleCase& c = GetParam();
    TempDir dir;
    apptest::ClipSpec spec;
    spec.width = kW;
    spec.height = kH;
    spec.frames = kFrames;
    ASSERT_TRUE(apptest::MakeClip(dir / "clip.mkv", spec));
    ASSERT_TRUE(apptest::MakeClip(dir / "other.mkv", spec));
    std::string logo =
        "ffmpeg -v error -y -f lavfi -i 'color=c=0x00FF00:s=160x120,drawbox=x=40:"
        "y=30:w=80:h=60:color=white:t=fill' -frames:v 1 '" +
        dir / "logo.png" + "'";
    ASSERT_EQ(std::system(logo.c_str()), 0);
    std::string script =
        ReadText(std::string(KINETRA_SOURCE_DIR) + "/examples/" + c.name + "/kinetra.txt");
    ASSERT_FALSE(script.empty());
    apptest::WriteFile(dir / "kinetra.txt", script);

    RenderSettings o;
    o.source = dir / "clip.mkv";
    o.output = dir / "out.mkv";
    o.quiet = true;
    o.encode.lossless = true;
    o.threads = 2;
    o.plugin = KINETRA_PLUGIN_PATH;
    ASSERT_EQ(RunRender(o), kExitOk);

    Rendered r;
    std::vector<AVFrame*> frames = apptest::DecodeAllFrames(dir / "out.mkv");
    ASSERT_EQ(frames.size(), size_t(kFrames));
    for (AVFrame* frame : frames) {
        PictureYC p;
        p.Resize(frame->width, frame->height);
        ToYCConverter converter;
        EXPECT_TRUE(converter.Convert(frame, p.pixels.data(), p.width));
        r.out.push_back(p);
    }
    apptest::FreeFrames(&frames);
    int32_t rate = 0, channels = 0;
    r.audio = apptest::DecodeAllAudio(dir / "out.mkv", &rate, &channels);
    ASSERT_EQ(channels, 2);
    c.check(r);
}

INSTANTIATE_TEST_SUITE_P(Cookbook, Example, ::testing::ValuesIn(kExamples),
                         [](const ::testing::TestParamInfo<ExampleCase>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
