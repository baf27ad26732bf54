// The audio track: reads far into a stream, forwards and back, give the
// samples that reading from the start gives, in any output format, and hold
// no more than a bounded window of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "fixtures/clips.h"
#include "source/audio_track.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::SampleAt;
using apptest::TempDir;

constexpr int32_t kSeconds = 40;
constexpr int32_t kRate = 8000;
constexpr int32_t kBlock = 700;

// Where the reads go, in seconds of output: far in, a little back, further
// back (but still far from the start), and forward again.
const double kReads[] = {33.3, 32.9, 17.05, 29};

TEST(AudioTrack, FarReadsEqualReadingFromTheStartWithinABoundedWindow) {
    struct Case {
        const char* name;
        const char* file;
        bool lossless;           // PCM, else AAC
        int32_t rate, channels;  // output format (0: the source's)
        bool seekable;
    };
    const Case cases[] = {
        {"pcm, stamps in samples", "clip.avi", true, 0, 0, true},
        {"pcm, resampled and mixed", "clip.avi", true, 11025, 1, true},
        {"aac, stamps in samples", "clip.mp4", false, 0, 0, true},
        {"aac in milliseconds, frames of a fixed length", "clip.mkv", false, 22050, 2, true},
        {"pcm in milliseconds, read from the start", "clip.mkv", true, 0, 0, false},
    };
    TempDir dir;
    ClipSpec spec;
    spec.width = 16;
    spec.height = 16;
    spec.frames = kSeconds;
    spec.frame_rate = AVRational{1, 1};
    spec.audio_rate = kRate;
    for (const Case& c : cases) {
        spec.lossless = c.lossless;
        std::string path = dir / (std::string(c.lossless ? "pcm_" : "aac_") + c.file);
        if (!apptest::FileExists(path)) {
            ASSERT_TRUE(MakeClip(path, spec)) << c.name;
        }
        AudioTrack plain, far;
        std::string error;
        ASSERT_TRUE(plain.Open(path, 0, &error)) << c.name << ": " << error;
        ASSERT_TRUE(far.Open(path, 0, &error)) << c.name << ": " << error;
        if (c.rate > 0) {
            plain.SetFormat(c.rate, c.channels);
            far.SetFormat(c.rate, c.channels);
        }
        EXPECT_EQ(far.seekable(), c.seekable) << c.name;
        const int32_t rate = plain.rate(), channels = plain.channels();

        // The reference: the whole stream read from the start in order.
        std::vector<int16_t> whole;
        int64_t length = 0;
        for (int32_t inside = kBlock; inside == kBlock; length += inside) {
            whole.resize(size_t(length + kBlock) * channels);
            inside = int32_t(plain.Read(length, kBlock, whole.data() + length * channels));
        }
        whole.resize(size_t(length + kBlock) * channels, 0);
        EXPECT_EQ(plain.seek_count(), 0) << c.name;
        EXPECT_NEAR(double(length) / rate, kSeconds, 0.25) << c.name;

        // Far in, back and forth, then block by block backwards, as a script
        // that plays the sound in reverse does, then past the end.
        std::vector<int64_t> starts;
        for (double seconds : kReads)
            starts.push_back(int64_t(seconds * rate));
        for (int64_t at = starts[0]; at > starts[0] - 3 * rate; at -= kBlock)
            starts.push_back(at);
        starts.push_back(length + 3 * rate);
        std::vector<int16_t> got(size_t(kBlock) * channels);
        for (int64_t start : starts) {
            std::fill(got.begin(), got.end(), 7);
            ASSERT_EQ(far.Read(start, kBlock, got.data()),
                      std::clamp<int64_t>(length - start, 0, kBlock))
                << c.name << ", read at " << start;
            std::vector<int16_t> want(size_t(kBlock) * channels, 0);
            if (start < length) {
                std::copy(whole.begin() + start * channels,
                          whole.begin() + (start + kBlock) * channels, want.begin());
            }
            ASSERT_EQ(got, want) << c.name << ", read at " << start;
        }
        if (c.lossless && c.rate == 0) {
            for (int64_t i : {int64_t(0), length / 2, length - 1})
                EXPECT_EQ(whole[size_t(i) * channels + 1], SampleAt(i, 1)) << c.name;
        }
        EXPECT_EQ(far.restart_count(), c.seekable ? 0 : 1) << c.name;
        EXPECT_EQ(far.seek_count() > 0, c.seekable) << c.name;
        // A few seconds, never the distance read.
        EXPECT_LT(plain.peak_held(), 10 * rate) << c.name;
        EXPECT_LT(far.peak_held(), 10 * rate) << c.name;
    }
}

}  // namespace
