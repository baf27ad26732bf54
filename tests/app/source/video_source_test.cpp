// Frame-exact random access to video files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

#include "fixtures/clips.h"
#include "source/orientation.h"
#include "source/video_source.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::TempDir;

// The number carried by a decoded frame.
int32_t NumberOf(const AVFrame* frame) {
    PictureYC picture;
    picture.Resize(frame->width, frame->height);
    ToYCConverter converter;
    if (!converter.Convert(frame, picture.pixels.data(), picture.width)) return -2;
    return apptest::ReadFrameNumber(picture.pixels.data(), picture.width, picture.width);
}

struct ClipCase {
    const char* name;
    const char* file;
    bool lossless;
    AVRational frame_rate;
    bool indexed;  // the container's index lists every frame
};

// CTest and failure messages show the case by its name, not its bytes.
void PrintTo(const ClipCase& c, std::ostream* os) {
    *os << c.name;
}

class VideoSourceAccess : public ::testing::TestWithParam<ClipCase> {
  protected:
    void SetUp() override {
        ClipSpec spec;
        spec.frames = 40;
        spec.lossless = GetParam().lossless;
        spec.frame_rate = GetParam().frame_rate;
        spec.audio_rate = 0;
        path_ = dir_ / GetParam().file;
        ASSERT_TRUE(MakeClip(path_, spec));
        std::string error;
        ASSERT_TRUE(source_.Open(path_, 2, &error)) << error;
    }
    TempDir dir_;
    std::string path_;
    VideoSource source_;
};

TEST_P(VideoSourceAccess, CountsEveryFrame) {
    EXPECT_EQ(source_.frame_count(), 40);
    // An indexed file is opened by reading its first 16 packets and its last
    // group of pictures (12), not all of them.
    if (GetParam().indexed) {
        EXPECT_LE(source_.packets_read_at_open(), 16 + 12);
    } else {
        EXPECT_EQ(source_.packets_read_at_open(), 40);
    }
    EXPECT_EQ(source_.width(), 64);
    EXPECT_EQ(source_.height(), 48);
    EXPECT_EQ(av_cmp_q(source_.frame_rate(), GetParam().frame_rate), 0);
}

TEST_P(VideoSourceAccess, RandomOrderIsFrameExact) {
    std::vector<int32_t> order(40);
    for (int32_t i = 0; i < 40; ++i)
        order[i] = i;
    std::mt19937 shuffle(12345);
    std::shuffle(order.begin(), order.end(), shuffle);
    order.insert(order.end(), {39, 0, 39, 38, 1, 1});
    for (int32_t f : order) {
        const AVFrame* frame = source_.Frame(f);
        ASSERT_NE(frame, nullptr) << "frame " << f;
        EXPECT_EQ(NumberOf(frame), f) << "frame " << f;
    }
}

TEST_P(VideoSourceAccess, SequentialReadingNeverSeeks) {
    for (int32_t f = 0; f < 40; ++f) {
        const AVFrame* frame = source_.Frame(f);
        ASSERT_NE(frame, nullptr);
        EXPECT_EQ(NumberOf(frame), f);
    }
    EXPECT_EQ(source_.seek_count(), 0);
    // Asking again for the frame just read needs no decoding either.
    source_.Frame(39);
    EXPECT_EQ(source_.seek_count(), 0);
}

TEST_P(VideoSourceAccess, FramesOutsideTheStreamAreNull) {
    EXPECT_EQ(source_.Frame(-1), nullptr);
    EXPECT_EQ(source_.Frame(40), nullptr);
    EXPECT_NE(source_.Frame(39), nullptr);
}

INSTANTIATE_TEST_SUITE_P(
    Clips, VideoSourceAccess,
    ::testing::Values(ClipCase{"ffv1_mkv", "clip.mkv", true, {30, 1}, false},
                      // H.264 with B-frames and several key frames (NTSC rate).
                      ClipCase{"h264_mp4", "clip.mp4", false, {30000, 1001}, true},
                      ClipCase{"h264_mkv", "clip264.mkv", false, {25, 1}, false}),
    [](const ::testing::TestParamInfo<ClipCase>& info) { return info.param.name; });

TEST(VideoSource, MissingAndNonVideoFilesFailToOpen) {
    TempDir dir;
    VideoSource source;
    std::string error;
    EXPECT_FALSE(source.Open(dir / "missing.mkv", 1, &error));
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir / "sound.wav", spec));
    VideoSource audio_only;
    EXPECT_FALSE(audio_only.Open(dir / "sound.wav", 1, &error));
    EXPECT_EQ(error, "it has no video stream");

    apptest::WriteFile(dir / "junk.mp4", "this is not a video");
    VideoSource junk;
    EXPECT_FALSE(junk.Open(dir / "junk.mp4", 1, &error));
}

// ---- turning stored pictures upright ---------------------------------------------

// Byte b of the element at (x, y) of plane p: distinct for every element of
// the small frames below.
uint8_t StoredByte(int p, int x, int y, int b) {
    return uint8_t(x * 7 + y * 31 + b * 3 + p * 11 + 1);
}

// Every sample of every plane lands where the display matrix shows it (found
// forward from the matrix, as the player does), for each of the eight turns
// and mirrors and for planar, semi-planar, packed and deep formats; 4:2:2
// becomes 4:4:4 with its chroma repeated.
TEST(Orientation, TurnsEverySampleWhereTheMatrixShowsIt) {
    struct Turn {
        double clockwise;
        bool mirror;
        const char* described;
    };
    const Turn turns[] = {{0, false, "upright"},
                          {90, false, "turned 90° clockwise"},
                          {180, false, "turned 180°"},
                          {-90, false, "turned 90° counterclockwise"},
                          {0, true, "mirrored left to right"},
                          {180, true, "mirrored top to bottom"},
                          {90, true, "mirrored left to right and turned 90° counterclockwise"},
                          {-90, true, "mirrored left to right and turned 90° clockwise"}};
    const AVPixelFormat formats[] = {AV_PIX_FMT_YUV420P, AV_PIX_FMT_YUV422P, AV_PIX_FMT_NV12,
                                     AV_PIX_FMT_RGB24, AV_PIX_FMT_YUV420P10LE};
    const int w = 6, h = 4;
    for (AVPixelFormat format : formats) {
        FramePtr stored(av_frame_alloc());
        stored->format = format;
        stored->width = w;
        stored->height = h;
        ASSERT_GE(av_frame_get_buffer(stored.get(), 0), 0);
        const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
        auto plane_size = [&](int p, int* pw, int* ph) {
            bool chroma = p == 1 || p == 2;
            *pw = chroma ? AV_CEIL_RSHIFT(w, d->log2_chroma_w) : w;
            *ph = chroma ? AV_CEIL_RSHIFT(h, d->log2_chroma_h) : h;
        };
        auto element = [&](int p) {
            for (int i = 0; i < d->nb_components; ++i)
                if (d->comp[i].plane == p) return d->comp[i].step;
            return 0;
        };
        int planes = av_pix_fmt_count_planes(format);
        for (int p = 0; p < planes; ++p) {
            int pw, ph;
            plane_size(p, &pw, &ph);
            for (int y = 0; y < ph; ++y)
                for (int x = 0; x < pw * element(p); ++x)
                    stored->data[p][y * stored->linesize[p] + x] =
                        StoredByte(p, x / element(p), y, x % element(p));
        }
        for (const Turn& turn : turns) {
            int32_t matrix[9];
            av_display_rotation_set(matrix, turn.clockwise);
            if (turn.mirror) av_display_matrix_flip(matrix, 1, 0);
            Orientation o;
            double degrees = 0;
            ASSERT_TRUE(OrientationOf(matrix, &o, &degrees));
            EXPECT_EQ(o.Describe(), turn.described);
            FramePtr shown(av_frame_alloc());
            ASSERT_TRUE(TurnFrame(stored.get(), o, shown.get())) << turn.described;
            const AVPixFmtDescriptor* sd = av_pix_fmt_desc_get(AVPixelFormat(shown->format));
            EXPECT_EQ(sd->log2_chroma_w, sd->log2_chroma_h) << sd->name;
            // Forward: the stored sample (x, y) of the full picture is shown at
            // the matrix's image of it, moved to start at 0.
            auto show = [&](int x, int y, int* sx, int* sy) {
                double fx = (matrix[0] * double(x) + matrix[3] * double(y)) / 65536;
                double fy = (matrix[1] * double(x) + matrix[4] * double(y)) / 65536;
                double min_x =
                    std::min({0.0, matrix[0] * (w - 1.0) / 65536, matrix[3] * (h - 1.0) / 65536,
                              (matrix[0] * (w - 1.0) + matrix[3] * (h - 1.0)) / 65536});
                double min_y =
                    std::min({0.0, matrix[1] * (w - 1.0) / 65536, matrix[4] * (h - 1.0) / 65536,
                              (matrix[1] * (w - 1.0) + matrix[4] * (h - 1.0)) / 65536});
                *sx = int(std::lround(fx - min_x));
                *sy = int(std::lround(fy - min_y));
            };
            for (int p = 0; p < planes; ++p) {
                // Every sample of the full picture, read at its plane's resolution.
                bool chroma = p == 1 || p == 2;
                int rx = chroma ? d->log2_chroma_w : 0, ry = chroma ? d->log2_chroma_h : 0;
                int out_rx = chroma ? sd->log2_chroma_w : 0,
                    out_ry = chroma ? sd->log2_chroma_h : 0;
                for (int y = 0; y < h; ++y) {
                    for (int x = 0; x < w; ++x) {
                        int sx, sy;
                        show(x, y, &sx, &sy);
                        for (int b = 0; b < element(p); ++b) {
                            uint8_t got = shown->data[p][(sy >> out_ry) * shown->linesize[p] +
                                                         (sx >> out_rx) * element(p) + b];
                            ASSERT_EQ(got, StoredByte(p, x >> rx, y >> ry, b))
                                << av_get_pix_fmt_name(format) << " " << turn.described << " plane "
                                << p << " at " << x << "," << y;
                        }
                    }
                }
            }
        }
    }
    // Packed 4:2:2 cannot be turned sample by sample.
    EXPECT_EQ(TurnedFormat(AV_PIX_FMT_YUYV422), AV_PIX_FMT_NONE);
    EXPECT_EQ(TurnedFormat(AV_PIX_FMT_YUVJ422P), AV_PIX_FMT_YUVJ444P);
    int32_t tilted[9];
    av_display_rotation_set(tilted, 30);
    Orientation o;
    double degrees = 0;
    EXPECT_FALSE(OrientationOf(tilted, &o, &degrees));
    EXPECT_NEAR(degrees, -30, 0.01);
}

}  // namespace
