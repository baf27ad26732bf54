// Noise, tones and the voice change through the test host, with exact
// samples: sine values at 48000 Hz that can be checked by hand, the phase kept
// across blocks, and the shared generator's sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio_script.h"
#include "formula/random.h"

using audiotest::At;
using audiotest::Samples;
using testhost::TestHost;

namespace {

// A host of `channels` channels whose script's lines belong to section
// [10-99], so frame 10 is the section's first frame.
class AudioSynth : public ::testing::TestWithParam<int32_t> {
  protected:
    int32_t channels() const { return GetParam(); }
    void Use(const std::string& lines) {
        host.channels = channels();
        host.WriteScript("[10-99]\n" + lines);
    }
    // Sample frame i of the last block; both channels must agree.
    int16_t Tone(int32_t i) {
        const Samples& out = host.audio_output();
        if (channels() == 2) {
            EXPECT_EQ(At(out, 2, i, 0), At(out, 2, i, 1)) << "frame " << i;
        }
        return At(out, channels(), i);
    }
    TestHost host;
};

INSTANTIATE_TEST_SUITE_P(Channels, AudioSynth, ::testing::Values(1, 2));

struct ToneSample {
    int32_t frame;
    int16_t value;
};

TEST_P(AudioSynth, SineOf1000HzAt48000Hz) {
    // One period is 48 samples: sin(i * 2pi / 48) * 32767, truncated.
    Use("a_tone(0, 1000, 0, 1)\n");
    host.RunAudio(10);
    const ToneSample expected[] = {{0, 0},  {1, 4276},    {4, 16383},  {8, 28377}, {12, 32767},
                                   {24, 0}, {36, -32767}, {47, -4276}, {48, 0},    {1596, 32767}};
    for (const ToneSample& s : expected)
        EXPECT_EQ(Tone(s.frame), s.value) << s.frame;
}

TEST_P(AudioSynth, ToneLevelScalesAndFrequencyIsWholeHertz) {
    Use("a_tone(0, 1000, 0, 0.5)\na_tone(1, 440.9, 0, 0.5)\na_tone(2, 440, 0, 0.5)\n");
    host.RunAudio(10);
    EXPECT_EQ(Tone(1), 2138);
    EXPECT_EQ(Tone(12), 16383);
    Samples blocks[2];
    for (int32_t k : {1, 2}) {
        host.tracks[0] = k;
        host.RunAudio(10);
        blocks[k - 1] = host.audio_output();
    }
    EXPECT_EQ(blocks[0], blocks[1]);
    EXPECT_EQ(At(blocks[0], channels(), 1), 943);
}

TEST_P(AudioSynth, PhaseRunsOnAcrossBlocksAndRestartsAtTheSectionStart) {
    Use("a_tone(0, 1000, 0, 1)\n");
    host.RunAudio(25);  // a freshly loaded line starts at t = 0 anywhere
    EXPECT_EQ(Tone(1), 4276);
    host.RunAudio(10);  // the section's first frame: t = 0 again
    EXPECT_EQ(Tone(1), 4276);
    host.RunAudio(11);  // continues at t = 1600, 1600 mod 48 = 16
    EXPECT_EQ(Tone(0), 28377);
    EXPECT_EQ(Tone(16), -28377);
    host.RunAudio(40);  // a seek: continues at t = 3200
    EXPECT_EQ(Tone(0), -28377);
    host.RunAudio(10);
    EXPECT_EQ(Tone(0), 0);
    EXPECT_EQ(Tone(1), 4276);
}

TEST_P(AudioSynth, SquareWaveFollowsTheSineSign) {
    Use("a_tone(0, 1000, 1, 1)\n");
    host.RunAudio(10);
    // The sine samples of frames 0 and 24 truncate to 0: the low half.
    const ToneSample expected[] = {{0, -32767},  {1, 32767},   {23, 32767},
                                   {24, -32767}, {25, -32767}, {47, -32767}};
    for (const ToneSample& s : expected)
        EXPECT_EQ(Tone(s.frame), s.value) << s.frame;
}

TEST_P(AudioSynth, SquareWavePeakIsTheTruncatedLevel) {
    Use("a_tone(1, 1000, 1, 0.5)\na_tone(2, 1000, 1, 0)\n");
    host.tracks[0] = 1;
    host.RunAudio(10);
    EXPECT_EQ(Tone(1), 16383);
    EXPECT_EQ(Tone(30), -16383);
    host.tracks[0] = 2;
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), 0));
}

TEST_P(AudioSynth, LevelOutsideZeroToOneDoesNothing) {
    Use("a_tone(0, 1000, 0, 1.5)\na_tone(0, 1000, 1, -0.1)\na_noise(0, 1.5)\na_noise(0, -0.1)\n");
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(10));
}

TEST_P(AudioSynth, ProjectRateZeroSilencesSinesAndLowersSquares) {
    host.audio_rate = 0;
    Use("a_tone(1, 1000, 0, 1)\na_tone(2, 1000, 1, 0.5)\na_voicechg(0, 440)\n");
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), 0));
    host.tracks[0] = 1;
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), 0));
    host.tracks[0] = 2;
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), -16383));
}

// A carrier of a quarter of the sampling rate is 0, 1, 0, -1 (the sines of
// even multiples of pi/2 are below 1e-14, which truncates to 0).
void ExpectQuarterRateModulation(const TestHost& host, int32_t f, int32_t frames) {
    const Samples& out = host.audio_output();
    Samples source = host.ProjectAudio(f);
    int32_t c = host.channels;
    const int32_t carrier[4] = {0, 1, 0, -1};
    for (int32_t i = 0; i < frames; ++i) {
        for (int32_t ch = 0; ch < c; ++ch) {
            EXPECT_EQ(At(out, c, i, ch), carrier[i % 4] * At(source, c, i, ch)) << i;
        }
    }
}

TEST_P(AudioSynth, VoiceChangeMultipliesByTheCarrier) {
    // 0.5 Hz at a rate of 2 is a quarter of the rate too: not truncated to 0.
    struct Case {
        int32_t rate;
        const char* line;
    } cases[] = {{48000, "a_voicechg(0, 12000)"}, {2, "a_voicechg(0, 0.5)"}};
    for (const Case& c : cases) {
        TestHost fresh;
        fresh.audio_rate = c.rate;
        fresh.channels = channels();
        fresh.WriteScript(std::string("[10-99]\n") + c.line + "\n");
        fresh.RunAudio(10);
        SCOPED_TRACE(c.line);
        ExpectQuarterRateModulation(fresh, 10, 8);
    }
}

TEST_P(AudioSynth, VoiceChangeKeepsItsPhaseAcrossBlocks) {
    Use("a_voicechg(0, 12000)\n");
    host.RunAudio(10, 1601);
    host.RunAudio(11, 1601);  // t = 1601: carrier 1
    const Samples& out = host.audio_output();
    Samples source = host.ProjectAudio(11);
    EXPECT_EQ(At(out, channels(), 0), At(source, channels(), 0));
    EXPECT_EQ(At(out, channels(), 1), 0);
    EXPECT_EQ(At(out, channels(), 2), -At(source, channels(), 2));
}

TEST_P(AudioSynth, VoiceChangeAtZeroHertzSilences) {
    Use("a_voicechg(0, 0)\n");
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), 0));
}

// The noise the shared generator gives, from its first draw: two draws per
// sample, the sign first.
std::vector<int32_t> ExpectedNoise(RandomState* state, size_t count) {
    std::vector<int32_t> noise(count);
    for (int32_t& value : noise) {
        int32_t sign = RandomNext(state);
        int32_t magnitude = RandomNext(state);
        value = sign >= 16384 ? magnitude : -magnitude;
    }
    return noise;
}

TEST_P(AudioSynth, NoiseDrawsSignThenMagnitudeFromTheSharedGenerator) {
    host.channels = channels();
    host.WriteScript("[10-10]\na_noise(0, 1)\n[11-11]\na_noise(0, 0.5)\n");
    host.RunAudio(10);
    RandomState state = {1};
    size_t count = size_t(1600) * channels();
    std::vector<int32_t> full = ExpectedNoise(&state, count);
    ASSERT_EQ(host.audio_output().size(), count);
    for (size_t s = 0; s < count; ++s)
        ASSERT_EQ(host.audio_output()[s], full[s]) << s;

    // The next block continues the sequence; half level truncates toward 0.
    host.RunAudio(11);
    std::vector<int32_t> half = ExpectedNoise(&state, count);
    for (size_t s = 0; s < count; ++s) {
        ASSERT_EQ(host.audio_output()[s], int16_t(half[s] / 2)) << s;
    }
}

TEST_P(AudioSynth, NoiseAtLevelZeroIsSilence) {
    Use("a_noise(1, 0)\n");
    host.tracks[0] = 1;
    host.RunAudio(10);
    EXPECT_EQ(host.audio_output(), Samples(size_t(1600) * channels(), 0));
}

}  // namespace
