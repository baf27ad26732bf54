// The built-in demo does what its comments say: each effect of its script
// checked on a small rendering of the demo source.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <vector>

#include "fixtures/clips.h"
#include "demo/demo.h"
#include "render/render.h"

namespace {

using apptest::TempDir;

constexpr int32_t kW = 640, kH = 360, kFrames = 90, kRate = 48000;

struct DemoRender {
    std::vector<PictureYC> out;
    std::vector<int16_t> audio;  // interleaved stereo
};

const PixelYC& At(const PictureYC& p, int32_t x, int32_t y) {
    return p.pixels[size_t(y) * p.width + x];
}

int32_t Count(const PictureYC& p, bool (*test)(const PixelYC&)) {
    int32_t n = 0;
    for (const PixelYC& q : p.pixels)
        n += test(q);
    return n;
}

// The level of one frequency in frames [first, last] of the left channel
// (Goertzel), as an amplitude of full scale 32767.
double ToneLevel(const std::vector<int16_t>& audio, double hz, int32_t first, int32_t last) {
    size_t begin = size_t(first) * kRate / 30, end = size_t(last + 1) * kRate / 30;
    double coefficient = 2 * std::cos(2 * M_PI * hz / kRate), s1 = 0, s2 = 0;
    for (size_t i = begin; i < end && 2 * i < audio.size(); ++i) {
        double s = audio[2 * i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    double power = s1 * s1 + s2 * s2 - coefficient * s1 * s2;
    return 2 * std::sqrt(power) / double(end - begin);
}

double Rms(const std::vector<int16_t>& audio, int32_t frame) {
    size_t begin = 2 * size_t(frame) * kRate / 30, end = 2 * size_t(frame + 1) * kRate / 30;
    double sum = 0;
    for (size_t i = begin; i < end; ++i)
        sum += double(audio[i]) * audio[i];
    return std::sqrt(sum / double(end - begin));
}

class Demo : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        std::string error;
        ASSERT_TRUE(WriteDemoSource(*dir_ / "source.mkv", kW, kH, kFrames, &error)) << error;
        apptest::WriteFile(*dir_ / "kinetra.txt", kDemoScript);
        RenderSettings o;
        o.source = *dir_ / "source.mkv";
        o.output = *dir_ / "out.mkv";
        o.quiet = true;
        o.encode.lossless = true;
        o.threads = 2;
        o.plugin = KINETRA_PLUGIN_PATH;
        ASSERT_EQ(RunRender(o), kExitOk);
        render_ = new DemoRender;
        std::vector<AVFrame*> frames = apptest::DecodeAllFrames(*dir_ / "out.mkv");
        for (AVFrame* frame : frames) {
            PictureYC p;
            p.Resize(frame->width, frame->height);
            ToYCConverter converter;
            EXPECT_TRUE(converter.Convert(frame, p.pixels.data(), p.width));
            render_->out.push_back(p);
        }
        apptest::FreeFrames(&frames);
        int32_t rate = 0, channels = 0;
        render_->audio = apptest::DecodeAllAudio(*dir_ / "out.mkv", &rate, &channels);
    }
    static void TearDownTestSuite() {
        delete render_;
        delete dir_;
    }
    void SetUp() override {
        ASSERT_NE(render_, nullptr);
        ASSERT_EQ(render_->out.size(), size_t(kFrames));
    }
    static const PictureYC& Frame(int32_t f) { return render_->out[size_t(f)]; }

    static TempDir* dir_;
    static DemoRender* render_;
};

TempDir* Demo::dir_ = nullptr;
DemoRender* Demo::render_ = nullptr;

TEST_F(Demo, TheKeyedBallStaysCyanInEverySection) {
    for (int32_t f : {15, 45, 75}) {
        PictureYC source;
        source.Resize(kW, kH);
        DrawDemoFrame(f, &source);
        ASSERT_GT(Count(source, [](const PixelYC& p) { return p.cr > 1200; }), 200) << f;
        EXPECT_LT(Count(Frame(f), [](const PixelYC& p) { return p.cr > 1300; }), 20)
            << "red left in frame " << f;
        EXPECT_GT(Count(Frame(f), [](const PixelYC& p) { return p.y > 2300 && p.cr < -900; }), 100)
            << "no cyan in frame " << f;
    }
}

TEST_F(Demo, FadesInOverTheFirstSecond) {
    EXPECT_LT(At(Frame(0), 5, kH / 2).y, 60);
    PictureYC source;
    source.Resize(kW, kH);
    DrawDemoFrame(29, &source);
    EXPECT_NEAR(At(Frame(29), 5, kH / 2).y, At(source, 5, kH / 2).y * 29 / 30, 60);
}

TEST_F(Demo, SecondSecondBoostsTheLeftAndMosaicsTheRight) {
    PictureYC source;
    source.Resize(kW, kH);
    DrawDemoFrame(45, &source);
    // Cb times 1.8, less where the stronger blue leaves the output's range.
    EXPECT_GT(std::abs(At(Frame(45), 5, kH / 2).cb), std::abs(At(source, 5, kH / 2).cb) * 5 / 4);
    // One 24 x 24 block of the mosaic has one colour.
    EXPECT_NEAR(At(Frame(45), kW / 2 + 1, 2).y, At(Frame(45), kW / 2 + 22, 21).y, 8);
}

TEST_F(Demo, ThirdSecondTurnsTheFrameOverABackdropAndPosterizesACorner) {
    // The turned frame leaves the backdrop (Y 700, Cb 300) in a corner.
    EXPECT_NEAR(At(Frame(85), 1, kH - 2).y, 700, 60);
    EXPECT_NEAR(At(Frame(85), 1, kH - 2).cb, 300, 60);
    std::set<int32_t> levels;
    for (int32_t x = kW / 2; x < kW; ++x)
        levels.insert(At(Frame(85), x, kH * 3 / 4).y / 16);
    EXPECT_LE(levels.size(), 16u);
}

TEST_F(Demo, InsetBadgeCaptionAndTitle) {
    EXPECT_GT(At(Frame(45), kW - kW / 4 - 38, 26).y, 3900);  // the inset's white border
    EXPECT_NEAR(At(Frame(45), 96, 96).y, 3000, 40);          // the badge
    EXPECT_NEAR(At(Frame(45), 96, 96).cr, 700, 40);
    auto white = [](const PixelYC& p) { return p.y > 3900 && std::abs(p.cr) < 200; };
    int32_t with_title = Count(Frame(15), white), without = Count(Frame(45), white);
    EXPECT_GT(with_title, without + 500);  // the title, first second only
    int32_t caption = 0;
    for (int32_t y = kH - 80; y < kH - 40; ++y)
        for (int32_t x = kW / 4; x < kW * 3 / 4; ++x)
            caption += white(At(Frame(45), x, y));
    EXPECT_GT(caption, 50);
}

TEST_F(Demo, TheFifthPlaysThroughoutAndTheEndFadesOut) {
    const std::vector<int16_t>& a = render_->audio;
    ASSERT_GE(a.size(), size_t(2) * kRate * 3 - 4000);
    EXPECT_NEAR(ToneLevel(a, 660, 0, 29), 0.15 * 32767, 400);
    EXPECT_NEAR(ToneLevel(a, 660, 60, 74), 0.15 * 32767, 400);
    EXPECT_LT(Rms(a, 89), 0.2 * Rms(a, 70));
}

}  // namespace
