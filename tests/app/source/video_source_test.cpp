// Frame-exact random access to video files.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "fixtures/clips.h"
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
    ::testing::Values(ClipCase{"ffv1_mkv", "clip.mkv", true, {30, 1}},
                      // H.264 with B-frames and several key frames (NTSC rate).
                      ClipCase{"h264_mp4", "clip.mp4", false, {30000, 1001}},
                      ClipCase{"h264_mkv", "clip264.mkv", false, {25, 1}}),
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

}  // namespace
