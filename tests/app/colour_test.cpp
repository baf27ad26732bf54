// Colour conversion between decoded pictures and PixelYC.
#include <gtest/gtest.h>

#include <cstdlib>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "colour.h"
#include "ffmpeg_util.h"

namespace {

TEST(ColourRows, Rgb48ToYCUsesThePluginScaleAndMatrix) {
    struct Case {
        const char* name;
        uint16_t r, g, b;
        PixelYC expected;
    };
    const Case cases[] = {
        // White lands one below 4096: the matrix weights sum to just under one.
        {"white", 65535, 65535, 65535, {4095, 0, 0}},
        {"black", 0, 0, 0, {0, 0, 0}},
        // 32768 rounds to 2048 on the 4096 scale.
        {"grey", 32768, 32768, 32768, {2047, 0, 0}},
        // Pure red: Y = 0.299 * 4096, Cb = -0.169 * 4096, Cr = 0.5 * 4096, truncated.
        {"red", 65535, 0, 0, {1224, -692, 2048}},
        {"blue", 0, 0, 65535, {466, 2048, -331}},
    };
    for (const Case& c : cases) {
        uint16_t rgb[3] = {c.r, c.g, c.b};
        PixelYC out;
        Rgb48RowToYC(rgb, &out, 1);
        EXPECT_EQ(out.y, c.expected.y) << c.name;
        EXPECT_EQ(out.cb, c.expected.cb) << c.name;
        EXPECT_EQ(out.cr, c.expected.cr) << c.name;
    }
}

TEST(ColourRows, YCToRgb48ClampsAndScales) {
    const PixelYC in[] = {{4096, 0, 0}, {0, 0, 0}, {5000, 0, 0}, {-100, 0, 0}, {2048, 0, 2048}};
    uint16_t rgb[15];
    YCRowToRgb48(in, rgb, 5);
    EXPECT_EQ(rgb[0], 65535);
    EXPECT_EQ(rgb[3], 0);
    EXPECT_EQ(rgb[6], 65535);  // above white: clamped
    EXPECT_EQ(rgb[9], 0);      // below black: clamped
    // R = 2048 + 1.402 * 2048 = 4919 -> clamped; G = 2048 - 0.714 * 2048 = 585.
    EXPECT_EQ(rgb[12], 65535);
    EXPECT_EQ(rgb[13], (585 * 65535 + 2048) / 4096);
}

TEST(ColourRows, Rgb24ScalesEightBitValuesBy4096Over255) {
    const uint8_t rgba[8] = {255, 255, 255, 0, 128, 0, 0, 255};
    PixelYC out[2];
    Rgb24RowToYC(rgba, 4, out, 2);  // the alpha byte is skipped
    EXPECT_EQ(out[0].y, 4095);
    // 128 * 4096 / 255 = 2056 (truncated), then RGBToYC of (2056, 0, 0).
    EXPECT_EQ(out[1].y, int16_t(0.299 * 2056));
    EXPECT_EQ(out[1].cr, int16_t(0.5 * 2056));
}

TEST(ColourOf, UntaggedPicturesFollowTheirHeight) {
    EXPECT_EQ(
        ColourOf(AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 480).matrix,
        AVCOL_SPC_BT470BG);
    EXPECT_EQ(
        ColourOf(AV_PIX_FMT_YUV420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 720).matrix,
        AVCOL_SPC_BT709);
    EXPECT_EQ(
        ColourOf(AV_PIX_FMT_YUV420P, AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_UNSPECIFIED, 480).matrix,
        AVCOL_SPC_BT2020_NCL);
    EXPECT_EQ(
        ColourOf(AV_PIX_FMT_YUVJ420P, AVCOL_SPC_UNSPECIFIED, AVCOL_RANGE_UNSPECIFIED, 480).range,
        AVCOL_RANGE_JPEG);
    EXPECT_EQ(ColourOf(AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 480).range,
              AVCOL_RANGE_MPEG);
}

// Eight colour bars at 75 %, as R, G, B fractions.
const double kBars[8][3] = {{.75, .75, .75}, {.75, .75, 0}, {0, .75, .75}, {0, .75, 0},
                            {.75, 0, .75},   {.75, 0, 0},   {0, 0, .75},   {0, 0, 0}};

// A bar's 8-bit Y, Cb, Cr under the matrix (Kr, Kb) and range.
int BarSample(int bar, int plane, AVColorSpace matrix, bool full) {
    double kr = matrix == AVCOL_SPC_BT709 ? 0.2126 : 0.299;
    double kb = matrix == AVCOL_SPC_BT709 ? 0.0722 : 0.114;
    double r = kBars[bar][0], g = kBars[bar][1], b = kBars[bar][2];
    double y = kr * r + (1 - kr - kb) * g + kb * b;
    double c = plane == 1 ? (b - y) / (2 * (1 - kb)) : (r - y) / (2 * (1 - kr));
    double v = plane == 0 ? (full ? 255 * y : 16 + 219 * y) : 128 + (full ? 255 : 224) * c;
    return int(v + 0.5);
}

FramePtr MakeBarFrame(AVPixelFormat format, int32_t width, int32_t height, AVColorSpace matrix,
                      AVColorRange range) {
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = width;
    frame->height = height;
    frame->colorspace = matrix;
    frame->color_range = range;
    EXPECT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    bool full = range == AVCOL_RANGE_JPEG;
    for (int plane = 0; plane < 3; ++plane) {
        int pw = plane == 0 ? width : AV_CEIL_RSHIFT(width, d->log2_chroma_w);
        int ph = plane == 0 ? height : AV_CEIL_RSHIFT(height, d->log2_chroma_h);
        for (int y = 0; y < ph; ++y) {
            for (int x = 0; x < pw; ++x) {
                int v = BarSample(x * 8 / pw, plane, matrix, full);
                // A small ramp in luma, so rows differ (the bars stay in gamut).
                if (plane == 0) v += y / 4;
                frame->data[plane][y * frame->linesize[plane] + x] = uint8_t(v);
            }
        }
    }
    return frame;
}

struct RoundTripCase {
    const char* name;
    AVPixelFormat format;
    AVColorSpace matrix;
    AVColorRange range;
};

// CTest and failure messages show the case by its name, not its bytes.
void PrintTo(const RoundTripCase& c, std::ostream* os) {
    *os << c.name;
}

class ColourRoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

// A picture that goes to YC and back to its own format keeps every 8-bit
// sample within 1 (luma) and 2 (chroma, which is resampled on the way).
TEST_P(ColourRoundTrip, KeepsEverySampleWithinOneOrTwo) {
    const RoundTripCase& c = GetParam();
    const int32_t w = 64, h = 16;
    FramePtr source = MakeBarFrame(c.format, w, h, c.matrix, c.range);
    PictureYC yc;
    yc.Resize(w, h);
    ToYCConverter to;
    ASSERT_TRUE(to.Convert(source.get(), yc.pixels.data(), w));

    FramePtr back(av_frame_alloc());
    back->format = c.format;
    back->width = w;
    back->height = h;
    ASSERT_GE(av_frame_get_buffer(back.get(), 0), 0);
    FromYCConverter from;
    ColourSpec colour = ColourOf(c.format, c.matrix, c.range, h);
    ASSERT_TRUE(from.Open(w, h, c.format, colour));
    ASSERT_TRUE(from.Convert(yc.pixels.data(), w, back.get()));

    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(c.format);
    for (int plane = 0; plane < 3; ++plane) {
        int pw = plane == 0 ? w : AV_CEIL_RSHIFT(w, d->log2_chroma_w);
        int ph = plane == 0 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h);
        int limit = plane == 0 ? 1 : 2;
        int worst = 0;
        for (int y = 0; y < ph; ++y) {
            for (int x = 0; x < pw; ++x) {
                int a = source->data[plane][y * source->linesize[plane] + x];
                int b = back->data[plane][y * back->linesize[plane] + x];
                worst = std::max(worst, std::abs(a - b));
            }
        }
        EXPECT_LE(worst, limit) << c.name << " plane " << plane;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ColourRoundTrip,
    ::testing::Values(
        RoundTripCase{"bt601_limited_420", AV_PIX_FMT_YUV420P, AVCOL_SPC_SMPTE170M,
                      AVCOL_RANGE_MPEG},
        RoundTripCase{"bt709_limited_420", AV_PIX_FMT_YUV420P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
        RoundTripCase{"bt601_full_420", AV_PIX_FMT_YUVJ420P, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG},
        RoundTripCase{"bt709_limited_422", AV_PIX_FMT_YUV422P, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG},
        RoundTripCase{"bt601_limited_444", AV_PIX_FMT_YUV444P, AVCOL_SPC_BT470BG,
                      AVCOL_RANGE_MPEG}),
    [](const ::testing::TestParamInfo<RoundTripCase>& info) { return info.param.name; });

}  // namespace
