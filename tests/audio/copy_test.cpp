// The project's audio, other files' audio and block copies, through the test
// host, for one and two channels.
#include <gtest/gtest.h>

#include <string>

#include "audio/audio_script.h"
#include "audio/samples.h"

using audiotest::Samples;
using audiotest::UseScript;
using testhost::MediaFile;
using testhost::TestHost;

namespace {

TEST(StoreSample, TruncatesAndKeepsTheLow16Bits) {
    struct Case {
        double x;
        int16_t stored;
    } cases[] = {
        {1.9, 1},          {-1.9, -1},   {32767.9, 32767}, {32768.0, -32768},  {40000.0, -25536},
        {-40000.0, 25536}, {65536.5, 0}, {-65537.0, -1},   {2147483647.9, -1}, {-2147483648.9, 0},
        {2147483648.0, 0}, {-3e9, 0},    {NAN, 0},         {INFINITY, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(StoreSample(c.x), c.stored) << c.x;
}

// The first `count` sample frames of `block`.
Samples Head(const Samples& block, int32_t channels, int32_t count) {
    return Samples(block.begin(), block.begin() + size_t(count) * channels);
}

class AudioCopy : public ::testing::TestWithParam<int32_t> {
  protected:
    int32_t channels() const { return GetParam(); }
    void Use(const std::string& lines) { UseScript(&host, channels(), lines); }
    MediaFile Clip(int32_t samples_per_frame) const {
        MediaFile clip;
        clip.frame_count = 20;
        clip.samples_per_frame = samples_per_frame;
        clip.sample = [](int32_t f, int32_t s) { return int16_t(f * 100 - s); };
        return clip;
    }
    Samples ClipAudio(int32_t f, int32_t count) const {
        Samples samples(size_t(count) * channels());
        for (size_t s = 0; s < samples.size(); ++s)
            samples[s] = int16_t(f * 100 - int32_t(s));
        return samples;
    }
    TestHost host;
};

INSTANTIATE_TEST_SUITE_P(Channels, AudioCopy, ::testing::Values(1, 2));

TEST_P(AudioCopy, CopyframeReadsTheFrameRoundedDownIntoTheTruncatedBuffer) {
    Use("a_copyframe(1.9, 2.9)\n");
    host.tracks[0] = 1;
    ASSERT_EQ(host.RunAudio(7), 1);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(2));
}

TEST_P(AudioCopy, BufferIndexOutsideZeroToNineDoesNothing) {
    Use("a_copyframe(-1, 2)\na_copyframe(10, 2)\na_copy(0, 10)\na_copy(-1, 0)\n");
    ASSERT_EQ(host.RunAudio(7), 1);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(7));
    EXPECT_EQ(host.CountCalls("read_timeline_audio"), 0);
}

TEST_P(AudioCopy, TheSameFrameAndBlockAreReadOnce) {
    Use("a_copyframe(1, 4)\na_copyframe(2, 4)\n");
    host.tracks[0] = 2;
    host.RunAudio(7);
    host.RunAudio(8);
    EXPECT_EQ(host.CountCalls("read_timeline_audio"), 1);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(4));
    // Another block size reads again.
    host.RunAudio(8, 800);
    EXPECT_EQ(host.CountCalls("read_timeline_audio"), 2);
    EXPECT_EQ(host.audio_output(), Head(host.ProjectAudio(4), channels(), 800));
}

TEST_P(AudioCopy, AFailedReadGivesSilenceAndIsNotRepeated) {
    // Frames outside the project go to the host as they are.
    Use("a_copyframe(0, -3)\n");
    host.RunAudio(7);
    host.RunAudio(8);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), 0));
    ASSERT_EQ(host.CountCalls("read_timeline_audio"), 1);
    EXPECT_EQ(host.calls.back().a, -3);
}

TEST_P(AudioCopy, AShortFrameIsCompletedFromTheNextOne) {
    host.samples_per_frame = 1000;
    Use("a_copyframe(0, 4)\n");
    host.RunAudio(7, 1600);
    Samples expected = host.ProjectAudio(4);
    Samples next = host.ProjectAudio(5);
    expected.insert(expected.end(), next.begin(), next.begin() + 600 * channels());
    EXPECT_EQ(host.audio_output(), expected);
    ASSERT_EQ(host.CountCalls("read_timeline_audio"), 2);
    EXPECT_EQ(host.calls.back().a, 5);
}

TEST(AudioCopyCache, AnotherChannelCountReadsAgain) {
    TestHost host;
    for (int32_t channels : {2, 1, 2}) {
        UseScript(&host, channels, "a_copyframe(0, 4)\n");
        host.RunAudio(7, 800);
        EXPECT_EQ(host.audio_output(), Head(host.ProjectAudio(4), channels, 800)) << channels;
    }
    EXPECT_EQ(host.CountCalls("read_timeline_audio"), 3);
}

TEST_P(AudioCopy, Copyframe2SqueezesOrStretchesASpanOfFrames) {
    // Blocks of 1024 keep every position i * (E - S) / n exact.
    struct Case {
        const char* line;
        int32_t reads;
        int32_t (*frame_of)(int32_t i);
        int32_t (*sample_of)(int32_t i);
    } cases[] = {
        {"a_copyframe2(1, 10, 11)", 1, [](int32_t) { return 10; }, [](int32_t i) { return i; }},
        {"a_copyframe2(1, 10, 10.5)", 1, [](int32_t) { return 10; },
         [](int32_t i) { return i / 2; }},
        {"a_copyframe2(1, 10, 12)", 2, [](int32_t i) { return 10 + 2 * i / 1024; },
         [](int32_t i) { return 2 * i % 1024; }},
        {"a_copyframe2(1, 10.75, 11.25)", 2, [](int32_t i) { return i < 512 ? 10 : 11; },
         [](int32_t i) { return (768 + i / 2) % 1024; }},
    };
    for (const Case& c : cases) {
        TestHost fresh;
        fresh.samples_per_frame = 1024;
        fresh.tracks[0] = 1;
        UseScript(&fresh, channels(), std::string(c.line) + "\n");
        fresh.RunAudio(30);
        Samples expected(size_t(1024) * channels());
        for (int32_t i = 0; i < 1024; ++i) {
            Samples frame = fresh.ProjectAudio(c.frame_of(i));
            for (int32_t ch = 0; ch < channels(); ++ch) {
                expected[size_t(i) * channels() + ch] =
                    frame[size_t(c.sample_of(i)) * channels() + ch];
            }
        }
        EXPECT_EQ(fresh.audio_output(), expected) << c.line;
        EXPECT_EQ(fresh.CountCalls("read_timeline_audio"), c.reads) << c.line;
    }
}

TEST_P(AudioCopy, Copyframe2WithAnEmptyOrBackwardSpanDoesNothing) {
    Use("a_copyframe2(0, 10, 10)\na_copyframe2(0, 11, 10)\n");
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(7));
    EXPECT_EQ(host.CountCalls("read_timeline_audio"), 0);
}

TEST_P(AudioCopy, CopyCopiesTheBlockAndOntoItselfChangesNothing) {
    Use("a_copyframe(1, 5)\na_copy(1, 2)\na_copy(2, 2)\n");
    host.tracks[0] = 2;
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(5));
}

TEST_P(AudioCopy, ReadvideoReadsTheFilesFrameInTheProjectsFormat) {
    host.AddMediaFile("clip.avi", Clip(1600));
    Use("a_readvideo(1, 3.7, clip.avi)\n");
    host.tracks[0] = 1;
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), ClipAudio(3, 1600));
    ASSERT_EQ(host.CountCalls("set_media_audio_format"), 1);
    for (const testhost::ServiceCall& call : host.calls) {
        if (call.service == "set_media_audio_format") {
            EXPECT_EQ(call.a, 48000);
            EXPECT_EQ(call.b, channels());
        }
        if (call.service == "read_media_audio") {
            EXPECT_EQ(call.a, 3);
        }
    }
}

TEST_P(AudioCopy, ReadvideoIntoTheHostsBlockWritesOnlyTheBlock) {
    // The file's frame holds two blocks of audio; the host's block one.
    host.AddMediaFile("clip.avi", Clip(3200));
    Use("a_readvideo(0, 2, clip.avi)\n");
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), ClipAudio(2, 1600));
}

TEST_P(AudioCopy, ReadvideoKeepsWhatTheFileDoesNotWrite) {
    host.AddMediaFile("clip.avi", Clip(500));
    Use("a_readvideo(0, 2, clip.avi)\na_readvideo(0, 2, missing.avi)\n");
    host.RunAudio(7);
    Samples expected = ClipAudio(2, 500);
    Samples project = host.ProjectAudio(7);
    expected.insert(expected.end(), project.begin() + 500 * channels(), project.end());
    EXPECT_EQ(host.audio_output(), expected);
}

}  // namespace

TEST(AudioCopyCache, AReallocatedWorkBufferIsReadAgain) {
    // exit frees the work buffer; the next call allocates a fresh one.
    TestHost host;
    UseScript(&host, 2, "a_copyframe(1, 4)\n");
    host.tracks[0] = 1;
    host.RunAudio(7);
    host.Exit();
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(4));
    EXPECT_EQ(host.CountCalls("read_timeline_audio"), 2);
}
