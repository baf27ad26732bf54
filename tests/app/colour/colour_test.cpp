// Colour conversion between decoded pictures and PixelYC.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/pixdesc.h>
}

#include "colour/colour.h"
#include "base/ffmpeg_util.h"

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

// ---- the one-pass path against a double-precision reference ------------------

namespace direct {

struct Matrix {
    AVColorSpace space;
    double kr, kb;
};
const Matrix kMatrices[] = {{AVCOL_SPC_BT470BG, 0.299, 0.114},
                            {AVCOL_SPC_BT709, 0.2126, 0.0722},
                            {AVCOL_SPC_BT2020_NCL, 0.2627, 0.0593},
                            {AVCOL_SPC_FCC, 0.30, 0.11},
                            {AVCOL_SPC_SMPTE240M, 0.212, 0.087}};
const AVColorRange kRanges[] = {AVCOL_RANGE_MPEG, AVCOL_RANGE_JPEG};

const AVPixelFormat kDirectFormats[] = {
    AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUVJ420P,    AV_PIX_FMT_NV12,        AV_PIX_FMT_NV21,
    AV_PIX_FMT_P010LE,  AV_PIX_FMT_P016LE,      AV_PIX_FMT_YUV420P10LE, AV_PIX_FMT_YUV422P,
    AV_PIX_FMT_NV16,    AV_PIX_FMT_YUV422P10LE, AV_PIX_FMT_P210LE,      AV_PIX_FMT_YUV444P,
    AV_PIX_FMT_NV24,    AV_PIX_FMT_YUV444P12LE, AV_PIX_FMT_YUV444P16LE, AV_PIX_FMT_P410LE};

// Black and span of luma, centre and span of chroma, in samples.
void Range(AVColorRange range, int depth, double* y0, double* ys, double* c0, double* cs) {
    double unit = double(1 << (depth - 8));
    if (range == AVCOL_RANGE_JPEG) {
        *y0 = 0, *ys = (1 << depth) - 1, *c0 = 1 << (depth - 1), *cs = (1 << depth) - 1;
    } else {
        *y0 = 16 * unit, *ys = 219 * unit, *c0 = 128 * unit, *cs = 224 * unit;
    }
}

uint32_t Sample(const AVFrame* f, int c, int x, int y) {
    uint32_t v = 0;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    av_read_image_line2(&v, const_cast<const uint8_t**>(f->data), f->linesize, d, x, y, c, 1, 0, 4);
    return v;
}

FramePtr NewFrame(AVPixelFormat format, int w, int h, const Matrix& m, AVColorRange range) {
    FramePtr f(av_frame_alloc());
    f->format = format;
    f->width = w;
    f->height = h;
    f->colorspace = m.space;
    f->color_range = range;
    EXPECT_GE(av_frame_get_buffer(f.get(), 0), 0);
    // av_write_image_line2 ors its bits into the samples.
    for (int i = 0; i < AV_NUM_DATA_POINTERS && f->buf[i] != nullptr; ++i)
        std::memset(f->buf[i]->data, 0, f->buf[i]->size);
    return f;
}

// Random samples over the whole coded span, so that many fall outside the
// RGB cube and are clamped.
FramePtr RandomFrame(AVPixelFormat format, int w, int h, const Matrix& m, AVColorRange range,
                     std::mt19937* rng) {
    FramePtr f = NewFrame(format, w, h, m, range);
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    std::uniform_int_distribution<uint32_t> any(0, (1u << d->comp[0].depth) - 1);
    for (int c = 0; c < 3; ++c) {
        int cw = c == 0 ? w : AV_CEIL_RSHIFT(w, d->log2_chroma_w);
        int ch = c == 0 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h);
        std::vector<uint16_t> row(cw);
        for (int y = 0; y < ch; ++y) {
            for (uint16_t& v : row)
                v = uint16_t(any(*rng));
            av_write_image_line2(row.data(), f->data, f->linesize, d, 0, y, c, cw, 2);
        }
    }
    return f;
}

// Samples as YC: to RGB on the 0..4096 scale, clamped, then the plug-in's
// RGBToYC, all in double precision.
PixelYC ReferenceYC(uint32_t luma, uint32_t cb, uint32_t cr, int depth, const Matrix& m,
                    AVColorRange range) {
    double y0, ys, c0, cs;
    Range(range, depth, &y0, &ys, &c0, &cs);
    double l = (luma - y0) / ys, u = (cb - c0) / cs, v = (cr - c0) / cs;
    double r = l + 2 * (1 - m.kr) * v, b = l + 2 * (1 - m.kb) * u;
    double g = (l - m.kr * r - m.kb * b) / (1 - m.kr - m.kb);
    auto clamp = [](double c) { return std::min(4096.0, std::max(0.0, 4096 * c)); };
    r = clamp(r), g = clamp(g), b = clamp(b);
    return PixelYC{int16_t((0.587 * g + 0.299 * r) + 0.114 * b),
                   int16_t(0.5 * b - (0.331 * g + 0.169 * r)),
                   int16_t((0.5 * r - 0.419 * g) - 0.081 * b)};
}

// The frame's pixel as ReferenceYC.
PixelYC ReferenceYC(const AVFrame* f, int x, int y, const Matrix& m, AVColorRange range) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(f->format));
    int cx = x >> d->log2_chroma_w, cy = y >> d->log2_chroma_h;
    return ReferenceYC(Sample(f, 0, x, y), Sample(f, 1, cx, cy), Sample(f, 2, cx, cy),
                       d->comp[0].depth, m, range);
}

std::string Name(AVPixelFormat format, const Matrix& m, AVColorRange range) {
    return std::string(av_get_pix_fmt_name(format)) + " " + av_color_space_name(m.space) + " " +
           av_color_range_name(range);
}

TEST(ColourDirect, CoversThePlanarAndSemiPlanarFormatsOnly) {
    for (AVPixelFormat f : kDirectFormats)
        EXPECT_TRUE(HasDirectPath(f)) << av_get_pix_fmt_name(f);
    for (AVPixelFormat f :
         {AV_PIX_FMT_RGB24, AV_PIX_FMT_YUYV422, AV_PIX_FMT_YUV410P, AV_PIX_FMT_YUV420P10BE,
          AV_PIX_FMT_YUVA420P, AV_PIX_FMT_GRAY8, AV_PIX_FMT_PAL8, AV_PIX_FMT_UYVY422}) {
        EXPECT_FALSE(HasDirectPath(f)) << av_get_pix_fmt_name(f);
    }
}

// Every format, matrix and range, on odd sizes (a half chroma sample at the
// right and bottom edges): no channel more than 1 from the reference.
TEST(ColourDirect, ToYCWithinOneOfTheReference) {
    std::mt19937 rng(11);
    const int w = 37, h = 11;
    ToYCConverter converter(1);
    for (AVPixelFormat format : kDirectFormats) {
        for (const Matrix& m : kMatrices) {
            for (AVColorRange tag : kRanges) {
                FramePtr f = RandomFrame(format, w, h, m, tag, &rng);
                // A "J" format is full range whatever its tag says.
                AVColorRange range = ColourOf(format, m.space, tag, h).range;
                std::vector<PixelYC> out(w * h);
                ASSERT_TRUE(converter.Convert(f.get(), out.data(), w));
                int worst = 0;
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        PixelYC e = ReferenceYC(f.get(), x, y, m, range), a = out[y * w + x];
                        worst = std::max({worst, std::abs(e.y - a.y), std::abs(e.cb - a.cb),
                                          std::abs(e.cr - a.cr)});
                    }
                }
                EXPECT_LE(worst, 1) << Name(format, m, range);
            }
        }
    }
}

// 8-bit pictures convert in fixed point: every 8-bit Y, Cb, Cr under every
// matrix and range, within 1 of the reference.
TEST(ColourDirect, EveryEightBitSampleToYCWithinOneOfTheReference) {
    const int w = 256, h = 256;  // Cb across, Cr down, one picture per Y
    ToYCConverter converter;
    std::vector<PixelYC> out(w * h);
    for (const Matrix& m : kMatrices) {
        for (AVColorRange range : kRanges) {
            FramePtr f = NewFrame(AV_PIX_FMT_YUV444P, w, h, m, range);
            for (int y = 0; y < h; ++y) {
                for (int x = 0; x < w; ++x) {
                    f->data[1][y * f->linesize[1] + x] = uint8_t(x);
                    f->data[2][y * f->linesize[2] + x] = uint8_t(y);
                }
            }
            int worst = 0;
            for (int luma = 0; luma < 256; ++luma) {
                for (int y = 0; y < h; ++y)
                    std::memset(f->data[0] + y * f->linesize[0], luma, w);
                ASSERT_TRUE(converter.Convert(f.get(), out.data(), w));
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        PixelYC e = ReferenceYC(luma, x, y, 8, m, range), a = out[y * w + x];
                        worst = std::max({worst, std::abs(e.y - a.y), std::abs(e.cb - a.cb),
                                          std::abs(e.cr - a.cr)});
                    }
                }
            }
            EXPECT_LE(worst, 1) << Name(AV_PIX_FMT_YUV444P, m, range);
        }
    }
}

// YC (inside and outside the RGB cube) to every format: each sample within 1
// of the reference, whose chroma is the mean over the pixels sharing it.
TEST(ColourDirect, FromYCWithinOneOfTheReference) {
    std::mt19937 rng(12);
    std::uniform_int_distribution<int> luma(-200, 4300), chroma(-2300, 2300);
    const int w = 37, h = 11;
    std::vector<PixelYC> in(w * h);
    for (PixelYC& p : in) {
        p = PixelYC{int16_t(luma(rng)), int16_t(chroma(rng)), int16_t(chroma(rng))};
        if (rng() % 8 == 0) p = PixelYC{int16_t(rng()), int16_t(rng()), int16_t(rng())};
    }
    for (AVPixelFormat format : kDirectFormats) {
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        for (const Matrix& m : kMatrices) {
            for (AVColorRange range : kRanges) {
                double y0, ys, c0, cs;
                Range(range, d->comp[0].depth, &y0, &ys, &c0, &cs);
                // Per pixel: the luma sample and the chroma offsets from the centre.
                std::vector<double> luma_ref(w * h), u(w * h), v(w * h);
                for (int i = 0; i < w * h; ++i) {
                    auto clamp = [](double c) { return std::min(4096.0, std::max(0.0, c)) / 4096; };
                    double r = clamp(in[i].y + 1.402 * in[i].cr);
                    double g = clamp((in[i].y - 0.344 * in[i].cb) - 0.714 * in[i].cr);
                    double b = clamp(in[i].y + 1.772 * in[i].cb);
                    double l = m.kr * r + (1 - m.kr - m.kb) * g + m.kb * b;
                    luma_ref[i] = y0 + ys * l;
                    u[i] = cs * (b - l) / (2 * (1 - m.kb));
                    v[i] = cs * (r - l) / (2 * (1 - m.kr));
                }
                FramePtr f = NewFrame(format, w, h, m, range);
                FromYCConverter converter(1);
                ASSERT_TRUE(converter.Open(w, h, format, ColourSpec{m.space, range}));
                ASSERT_TRUE(converter.Convert(in.data(), w, f.get()));
                int worst = 0;
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        int e = int(std::floor(luma_ref[y * w + x] + 0.5));
                        worst = std::max(worst, std::abs(e - int(Sample(f.get(), 0, x, y))));
                    }
                }
                int sw = 1 << d->log2_chroma_w, sh = 1 << d->log2_chroma_h;
                for (int cy = 0; cy < AV_CEIL_RSHIFT(h, d->log2_chroma_h); ++cy) {
                    for (int cx = 0; cx < AV_CEIL_RSHIFT(w, d->log2_chroma_w); ++cx) {
                        double su = 0, sv = 0;
                        int n = 0;
                        for (int y = cy * sh; y < std::min(h, cy * sh + sh); ++y) {
                            for (int x = cx * sw; x < std::min(w, cx * sw + sw); ++x, ++n) {
                                su += u[y * w + x];
                                sv += v[y * w + x];
                            }
                        }
                        int eu = int(std::floor(c0 + su / n + 0.5));
                        int ev = int(std::floor(c0 + sv / n + 0.5));
                        worst = std::max({worst, std::abs(eu - int(Sample(f.get(), 1, cx, cy))),
                                          std::abs(ev - int(Sample(f.get(), 2, cx, cy)))});
                    }
                }
                EXPECT_LE(worst, 1) << Name(format, m, range);
            }
        }
    }
}

// Splitting the rows over threads, and writing several pictures at once
// (more than the kernels write together, in rows wider than the picture),
// change nothing; the pixels beyond each row's width are left alone.
TEST(ColourDirect, ThreadsAndExtraPicturesGiveTheSameResult) {
    std::mt19937 rng(13);
    const int w = 40, h = 150;  // tall enough to be split
    const int stride = w + 3, count = 6;
    for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_P010LE, AV_PIX_FMT_RGB24}) {
        FramePtr f = RandomFrame(format, w, h, kMatrices[1], AVCOL_RANGE_MPEG, &rng);
        std::vector<PixelYC> one(w * h);
        std::vector<std::vector<PixelYC>> many(count,
                                               std::vector<PixelYC>(stride * h, PixelYC{7, 7, 7}));
        ToYCConverter serial(1), parallel(2);
        ASSERT_TRUE(serial.Convert(f.get(), one.data(), w));
        PixelYC* outs[count];
        for (int i = 0; i < count; ++i)
            outs[i] = many[i].data();
        ASSERT_TRUE(parallel.Convert(f.get(), outs, count, stride));
        for (int i = 0; i < count; ++i) {
            for (int y = 0; y < h; ++y) {
                const PixelYC* row = many[i].data() + y * stride;
                ASSERT_EQ(0, std::memcmp(one.data() + y * w, row, w * sizeof(PixelYC)))
                    << av_get_pix_fmt_name(format) << " picture " << i << " row " << y;
                for (int x = w; x < stride; ++x)
                    ASSERT_TRUE(row[x].y == 7 && row[x].cb == 7 && row[x].cr == 7);
            }
        }

        if (format == AV_PIX_FMT_RGB24) continue;
        FramePtr a = NewFrame(format, w, h, kMatrices[1], AVCOL_RANGE_MPEG);
        FramePtr b = NewFrame(format, w, h, kMatrices[1], AVCOL_RANGE_MPEG);
        FromYCConverter back_serial(1), back_parallel(2);
        ColourSpec colour{AVCOL_SPC_BT709, AVCOL_RANGE_MPEG};
        ASSERT_TRUE(back_serial.Open(w, h, format, colour));
        ASSERT_TRUE(back_parallel.Open(w, h, format, colour));
        ASSERT_TRUE(back_serial.Convert(one.data(), w, a.get()));
        ASSERT_TRUE(back_parallel.Convert(one.data(), w, b.get()));
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        for (int c = 0; c < 3; ++c) {
            int ch = c == 0 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h);
            for (int y = 0; y < ch; ++y) {
                ASSERT_EQ(Sample(a.get(), c, 0, y), Sample(b.get(), c, 0, y));
                ASSERT_EQ(Sample(a.get(), c, w / 2 - 1, y), Sample(b.get(), c, w / 2 - 1, y));
            }
        }
    }
}

// The explicit SIMD row kernels give the plain loops' bits, both ways, on
// random pictures of every direct format (all depths and subsamplings), with
// widths around the kernels' sixteen-pixel steps and odd heights.
TEST(ColourDirect, SimdKernelsMatchThePlainLoops) {
    std::mt19937 rng(14);
    std::uniform_int_distribution<int> luma(-200, 4300), chroma(-2300, 2300);
    for (AVPixelFormat format : kDirectFormats) {
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        for (int w : {1, 7, 15, 16, 17, 32, 33, 47, 95}) {
            const int h = 5;
            const Matrix& m = kMatrices[rng() % 5];
            AVColorRange range = kRanges[rng() % 2];
            FramePtr f = RandomFrame(format, w, h, m, range, &rng);
            std::vector<PixelYC> plain(w * h), fast(w * h), fast2(w * h);
            ToYCConverter in_plain(1), in_fast(2);
            in_plain.set_simd(false);
            ASSERT_TRUE(in_plain.Convert(f.get(), plain.data(), w));
            PixelYC* outs[2] = {fast.data(), fast2.data()};
            ASSERT_TRUE(in_fast.Convert(f.get(), outs, 2, w));
            std::string name = Name(format, m, range) + " width " + std::to_string(w);
            EXPECT_EQ(0, std::memcmp(plain.data(), fast.data(), plain.size() * sizeof(PixelYC)))
                << name;
            EXPECT_EQ(0, std::memcmp(plain.data(), fast2.data(), plain.size() * sizeof(PixelYC)))
                << name;

            // Back, from YC inside and outside the RGB cube, some of it far
            // outside (where 16-bit sums saturate).
            std::vector<PixelYC> yc(w * h);
            for (PixelYC& p : yc) {
                p = PixelYC{int16_t(luma(rng)), int16_t(chroma(rng)), int16_t(chroma(rng))};
                if (rng() % 8 == 0) p = PixelYC{int16_t(rng()), int16_t(rng()), int16_t(rng())};
            }
            FramePtr a = NewFrame(format, w, h, m, range);
            FramePtr b = NewFrame(format, w, h, m, range);
            FromYCConverter out_plain(1), out_fast(1);
            out_plain.set_simd(false);
            ASSERT_TRUE(out_plain.Open(w, h, format, ColourSpec{m.space, range}));
            ASSERT_TRUE(out_fast.Open(w, h, format, ColourSpec{m.space, range}));
            ASSERT_TRUE(out_plain.Convert(yc.data(), w, a.get()));
            ASSERT_TRUE(out_fast.Convert(yc.data(), w, b.get()));
            for (int c = 0; c < 3; ++c) {
                int cw = c == 0 ? w : AV_CEIL_RSHIFT(w, d->log2_chroma_w);
                int ch = c == 0 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h);
                for (int y = 0; y < ch; ++y) {
                    for (int x = 0; x < cw; ++x) {
                        ASSERT_EQ(Sample(a.get(), c, x, y), Sample(b.get(), c, x, y))
                            << name << " component " << c << " at " << x << "," << y;
                    }
                }
            }
        }
    }
}

// On pictures inside the RGB cube the one-pass path and swscale agree to
// within one step of the 8-bit source (16 on the 0..4096 scale): the same
// matrix, range and chroma placement.
TEST(ColourDirect, AgreesWithTheSwscalePathInsideTheCube) {
    const int w = 64, h = 16;
    for (AVPixelFormat format : {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV444P, AV_PIX_FMT_YUVJ420P}) {
        AVColorRange range = format == AV_PIX_FMT_YUVJ420P ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
        FramePtr f = MakeBarFrame(format, w, h, AVCOL_SPC_BT709, range);
        std::vector<PixelYC> fast(w * h), slow(w * h);
        ToYCConverter direct(1), scaled(1);
        scaled.set_direct(false);
        ASSERT_TRUE(direct.Convert(f.get(), fast.data(), w));
        ASSERT_TRUE(scaled.Convert(f.get(), slow.data(), w));
        int worst = 0;
        for (int i = 0; i < w * h; ++i) {
            worst =
                std::max({worst, std::abs(fast[i].y - slow[i].y), std::abs(fast[i].cb - slow[i].cb),
                          std::abs(fast[i].cr - slow[i].cr)});
        }
        EXPECT_LE(worst, 16) << av_get_pix_fmt_name(format);
    }
}

// The way out through swscale at an odd width: swscale reads one pixel past
// each row for the last chroma sample, which must take the row's own last
// pixel, as the one-pass path does (not the next row's first pixel, nor
// memory past the picture). Rows alternate between two colours.
TEST(ColourDirect, SwscaleWayOutKeepsEachRowsLastChroma) {
    const int w = 33, h = 6;
    std::vector<PixelYC> yc(w * h);
    for (int i = 0; i < w * h; ++i)
        yc[i] = (i / w) % 2 == 0 ? PixelYC{2048, -700, 500} : PixelYC{1800, 600, -400};
    ColourSpec colour{AVCOL_SPC_BT709, AVCOL_RANGE_MPEG};
    FramePtr fast = NewFrame(AV_PIX_FMT_YUV422P, w, h, kMatrices[1], AVCOL_RANGE_MPEG);
    FramePtr slow = NewFrame(AV_PIX_FMT_YUV422P, w, h, kMatrices[1], AVCOL_RANGE_MPEG);
    FromYCConverter direct(1), scaled(1);
    scaled.set_direct(false);
    ASSERT_TRUE(direct.Open(w, h, AV_PIX_FMT_YUV422P, colour));
    ASSERT_TRUE(scaled.Open(w, h, AV_PIX_FMT_YUV422P, colour));
    ASSERT_TRUE(direct.Convert(yc.data(), w, fast.get()));
    ASSERT_TRUE(scaled.Convert(yc.data(), w, slow.get()));
    for (int c = 1; c < 3; ++c) {
        for (int y = 0; y < h; ++y) {
            for (int x = 0; x < (w + 1) / 2; ++x) {
                int a = int(Sample(fast.get(), c, x, y)), b = int(Sample(slow.get(), c, x, y));
                ASSERT_LE(std::abs(a - b), 1) << "component " << c << " row " << y << " x " << x;
            }
        }
    }
}

// ---- the exact path of lossless work ----------------------------------------

// Samples of a 4:2:0 picture whose chroma samples take every (Cb, Cr) pair
// of the depth and whose luma, four pixels to a pair, runs through every
// value: at 8 bits every (Y, Cb, Cr) triple exactly once (8192 x 2048).
FramePtr EveryPairFrame(AVPixelFormat format, int depth) {
    const int pairs = 1 << (2 * depth), mask = (1 << depth) - 1;
    const int samples = depth == 8 ? pairs * 64 : pairs, cw = depth == 8 ? 4096 : 1024;
    FramePtr f = NewFrame(format, 2 * cw, 2 * (samples / cw), kMatrices[0], AVCOL_RANGE_MPEG);
    for (int i = 0; i < samples; ++i) {
        const int cx = i % cw, cy = i / cw, pair = i & (pairs - 1);
        auto put = [&](int plane, int x, int y, int v) {
            uint8_t* row = f->data[plane] + y * f->linesize[plane];
            if (depth == 8) row[x] = uint8_t(v);
            if (depth != 8) reinterpret_cast<uint16_t*>(row)[x] = uint16_t(v);
        };
        put(1, cx, cy, pair & mask);
        put(2, cx, cy, pair >> depth);
        for (int j = 0; j < 4; ++j)
            put(0, 2 * cx + j % 2, 2 * cy + j / 2, (4 * (i / pairs) + j + 4 * i) & mask);
    }
    return f;
}

// Lossless work: a picture that goes to YC and back exactly gives back every
// sample, superwhite and chroma outside the RGB cube included: every 8-bit
// triple, and every 10-bit chroma pair with every luma value, under every
// matrix and range (4:2:0, so that the way out averages four pixels; the
// proof of the general case is in colour_exact.h). ExactSampleError says so,
// and says where deeper samples may change.
TEST(ColourExact, EverySampleComesBackUnderEveryMatrixAndRange) {
    for (int depth : {8, 10}) {
        const AVPixelFormat format = depth == 8 ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_YUV420P10LE;
        FramePtr f = EveryPairFrame(format, depth);
        const int w = f->width, h = f->height;
        std::vector<PixelYC> yc(size_t(w) * h);
        FramePtr back = NewFrame(format, w, h, kMatrices[0], AVCOL_RANGE_MPEG);
        for (const Matrix& m : kMatrices) {
            for (AVColorRange range : kRanges) {
                f->colorspace = m.space;
                f->color_range = range;
                ToYCConverter in(2);
                FromYCConverter out(2);
                in.set_exact(true);
                out.set_exact(true);
                ASSERT_TRUE(in.Convert(f.get(), yc.data(), w));
                ASSERT_TRUE(out.Open(w, h, format, ColourSpec{m.space, range}));
                ASSERT_TRUE(out.Convert(yc.data(), w, back.get()));
                for (int c = 0; c < 3; ++c) {
                    const int rows = c == 0 ? h : h / 2, bytes = (c == 0 ? w : w / 2) * depth / 8;
                    for (int y = 0; y < rows; ++y) {
                        ASSERT_EQ(0, std::memcmp(f->data[c] + y * f->linesize[c],
                                                 back->data[c] + y * back->linesize[c], bytes))
                            << Name(format, m, range) << " component " << c << " row " << y;
                    }
                }
                EXPECT_EQ(ExactSampleError(format, ColourSpec{m.space, range}), 0);
            }
        }
    }
    const struct {
        AVPixelFormat format;
        AVColorSpace matrix;
        AVColorRange range;
        int error;
    } limits[] = {{AV_PIX_FMT_YUV420P12LE, AVCOL_SPC_BT470BG, AVCOL_RANGE_JPEG, 0},
                  {AV_PIX_FMT_P010LE, AVCOL_SPC_BT2020_NCL, AVCOL_RANGE_MPEG, 0},
                  {AV_PIX_FMT_YUV422P12LE, AVCOL_SPC_BT709, AVCOL_RANGE_MPEG, 1},
                  {AV_PIX_FMT_YUV444P16LE, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, 7},
                  {AV_PIX_FMT_GRAY8, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, -1},
                  {AV_PIX_FMT_RGB24, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, -1},
                  {AV_PIX_FMT_YUVA420P, AVCOL_SPC_BT470BG, AVCOL_RANGE_MPEG, -1}};
    for (const auto& l : limits) {
        EXPECT_EQ(ExactSampleError(l.format, ColourSpec{l.matrix, l.range}), l.error)
            << av_get_pix_fmt_name(l.format) << " " << av_color_space_name(l.matrix);
    }
}

// Every format of the one-pass path at an odd size (half chroma samples at
// the edges), from random samples: back within ExactSampleError (exact up to
// 10 bits), through every extra picture; and inside the RGB cube the exact
// YC is the colour the usual path gives (within its truncation and the
// plug-in's rounded weights).
TEST(ColourExact, EveryFormatAtOddSizes) {
    std::mt19937 rng(15);
    const int w = 37, h = 11;
    for (AVPixelFormat format : kDirectFormats) {
        const Matrix& m = kMatrices[rng() % 5];
        const AVColorRange range = ColourOf(format, m.space, kRanges[rng() % 2], h).range;
        const int error = ExactSampleError(format, ColourSpec{m.space, range});
        FramePtr f = RandomFrame(format, w, h, m, range, &rng);
        std::vector<PixelYC> yc(w * h), copy(w * h);
        ToYCConverter in(1);
        in.set_exact(true);
        PixelYC* outs[2] = {yc.data(), copy.data()};
        ASSERT_TRUE(in.Convert(f.get(), outs, 2, w));
        EXPECT_EQ(0, std::memcmp(yc.data(), copy.data(), yc.size() * sizeof(PixelYC)));
        FramePtr back = NewFrame(format, w, h, m, range);
        FromYCConverter out(1);
        out.set_exact(true);
        ASSERT_TRUE(out.Open(w, h, format, ColourSpec{m.space, range}));
        ASSERT_TRUE(out.Convert(yc.data(), w, back.get()));
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        for (int c = 0; c < 3; ++c) {
            for (int y = 0; y < (c == 0 ? h : AV_CEIL_RSHIFT(h, d->log2_chroma_h)); ++y) {
                for (int x = 0; x < (c == 0 ? w : AV_CEIL_RSHIFT(w, d->log2_chroma_w)); ++x) {
                    ASSERT_LE(
                        std::abs(int(Sample(f.get(), c, x, y)) - int(Sample(back.get(), c, x, y))),
                        error)
                        << Name(format, m, range) << " component " << c << " at " << x << "," << y;
                }
            }
        }
    }
    // Y 80..170 and chroma within 20 of the centre lie inside the cube.
    for (const Matrix& m : kMatrices) {
        FramePtr f = NewFrame(AV_PIX_FMT_YUV420P, w, h, m, AVCOL_RANGE_MPEG);
        for (int c = 0; c < 3; ++c) {
            for (int i = 0; i < f->linesize[c] * (c == 0 ? h : (h + 1) / 2); ++i)
                f->data[c][i] = uint8_t(c == 0 ? 80 + rng() % 91 : 108 + rng() % 41);
        }
        std::vector<PixelYC> exact(w * h), usual(w * h);
        ToYCConverter in(1), plain(1);
        in.set_exact(true);
        ASSERT_TRUE(in.Convert(f.get(), exact.data(), w));
        ASSERT_TRUE(plain.Convert(f.get(), usual.data(), w));
        for (int i = 0; i < w * h; ++i) {
            ASSERT_LE(
                std::max({std::abs(exact[i].y - usual[i].y), std::abs(exact[i].cb - usual[i].cb),
                          std::abs(exact[i].cr - usual[i].cr)}),
                2)
                << av_color_space_name(m.space) << " pixel " << i;
        }
    }
}

}  // namespace direct

}  // namespace
