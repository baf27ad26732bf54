// Gain ramps, mixing, channel swaps, mono mixes and reversal through the test
// host, with exact samples.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "audio/audio_script.h"

using audiotest::At;
using audiotest::Samples;
using audiotest::SetConstantAudio;
using audiotest::UseScript;
using testhost::TestHost;

namespace {

// Runs `line` on the project's block of frame 7 (1600 sample frames).
Samples RunLine(TestHost* host, int32_t channels, const std::string& line) {
    UseScript(host, channels, line + "\n");
    host->RunAudio(7);
    return host->audio_output();
}

struct Expected {
    int32_t frame;
    int16_t left, right;
};

TEST(AudioVolume, StereoRampsPerChannel) {
    struct Case {
        const char* line;
        std::vector<Expected> samples;
    } cases[] = {
        {"a_volume(0, 1, 1, 0)", {{0, 20000, -1000}, {1599, 20000, -1000}}},
        {"a_volume(0, 0, 0, 0)", {{0, 0, 0}, {800, 0, 0}}},
        {"a_volume(0, 2, 2, 0)", {{0, -25536, -2000}, {1599, -25536, -2000}}},
        {"a_volume(0, -0.5, -0.5, 0)", {{3, -10000, 500}}},
        {"a_volume(0, 1, 0, 1)", {{0, 20000, -1000}, {800, 10000, -1000}, {1599, 12, -1000}}},
        {"a_volume(0, 0, 1, 2)", {{0, 20000, 0}, {400, 20000, -250}, {1599, 20000, -999}}},
        {"a_volume(0, 0.5, 0.5)", {{0, 10000, -500}}},  // absent C: both
        {"a_volume(0, 2, 2, 3)", {{0, 20000, -1000}}},
        {"a_volume(0, 2, 2, -1)", {{0, 20000, -1000}}},
    };
    for (const Case& c : cases) {
        TestHost host;
        host.channels = 2;
        SetConstantAudio(&host, 20000, -1000);
        Samples out = RunLine(&host, 2, c.line);
        for (const Expected& e : c.samples) {
            EXPECT_EQ(At(out, 2, e.frame, 0), e.left) << c.line << " frame " << e.frame;
            EXPECT_EQ(At(out, 2, e.frame, 1), e.right) << c.line << " frame " << e.frame;
        }
    }
}

TEST(AudioVolume, OneChannelIsScaledForEveryChannelChoice) {
    struct Case {
        const char* line;
        int32_t frame;
        int16_t sample;
    } cases[] = {
        {"a_volume(0, 2, 2, 1)", 0, -25536},
        {"a_volume(0, 0.5, 0.5, 2)", 5, 10000},
        {"a_volume(0, 1, 0, 0)", 800, 10000},
        {"a_volume(0, 0, 0, 3)", 0, 20000},
    };
    for (const Case& c : cases) {
        TestHost host;
        host.channels = 1;
        SetConstantAudio(&host, 20000, 0);
        Samples out = RunLine(&host, 1, c.line);
        EXPECT_EQ(At(out, 1, c.frame), c.sample) << c.line;
    }
}

class AudioMix : public ::testing::TestWithParam<int32_t> {
  protected:
    int32_t channels() const { return GetParam(); }
    TestHost host;
};

INSTANTIATE_TEST_SUITE_P(Channels, AudioMix, ::testing::Values(1, 2));

TEST_P(AudioMix, BlendAddsWithWrapAround) {
    host.channels = channels();
    SetConstantAudio(&host, 10000, -10000);
    Samples out = RunLine(&host, channels(), "a_copy(0, 1)\na_volume(0, 3, 3, 0)\na_blend(1, 0)");
    EXPECT_EQ(At(out, channels(), 9, 0), -25536);  // 30000 + 10000
    if (channels() == 2) {
        EXPECT_EQ(At(out, 2, 9, 1), 25536);
    }
}

TEST_P(AudioMix, BlendOfABufferWithItselfDoublesIt) {
    host.channels = channels();
    SetConstantAudio(&host, 10000, -10000);
    Samples out = RunLine(&host, channels(), "a_blend(0, 0)");
    EXPECT_EQ(At(out, channels(), 1599, 0), 20000);
    if (channels() == 2) {
        EXPECT_EQ(At(out, 2, 1599, 1), -20000);
    }
}

TEST_P(AudioMix, SwapExchangesStereoChannelsOnly) {
    host.channels = channels();
    SetConstantAudio(&host, 1, 2);
    Samples out = RunLine(&host, channels(), "a_swap(0)");
    EXPECT_EQ(At(out, channels(), 3, 0), channels() == 2 ? 2 : 1);
    if (channels() == 2) {
        EXPECT_EQ(At(out, 2, 3, 1), 1);
    }
}

TEST(AudioMono, BothChannelsGetTheChosenValue) {
    struct Case {
        const char* line;
        int16_t left, right;
        int16_t new_left, new_right;
    } cases[] = {
        {"a_mono(0, 0)", -3, 0, -1, -1},  // truncation toward zero
        {"a_mono(0, 0)", 32767, 32767, 32767, 32767},
        {"a_mono(0, 0)", -32768, -32767, -32767, -32767},
        {"a_mono(0)", 7, 0, 3, 3},
        {"a_mono(0, 1)", 5, 9, 5, 5},
        {"a_mono(0, 2)", 5, 9, 9, 9},
        {"a_mono(0, 3)", 5, 9, 5, 9},
        {"a_mono(0, -1)", 5, 9, 5, 9},
    };
    for (const Case& c : cases) {
        TestHost host;
        host.channels = 2;
        SetConstantAudio(&host, c.left, c.right);
        Samples out = RunLine(&host, 2, c.line);
        EXPECT_EQ(At(out, 2, 100, 0), c.new_left) << c.line << " " << c.left;
        EXPECT_EQ(At(out, 2, 100, 1), c.new_right) << c.line << " " << c.left;
    }
}

TEST(AudioMono, OneChannelStaysAsItIs) {
    TestHost host;
    host.channels = 1;
    Samples out = RunLine(&host, 1, "a_mono(0, 0)");
    EXPECT_EQ(out, host.ProjectAudio(7));
}

// The block of frame 7 with its sample frames in reverse order.
Samples Reversed(const TestHost& host, int32_t frames) {
    Samples source = host.ProjectAudio(7);
    int32_t c = host.channels;
    Samples reversed(size_t(frames) * c);
    for (int32_t i = 0; i < frames; ++i) {
        for (int32_t ch = 0; ch < c; ++ch) {
            reversed[size_t(i) * c + ch] = source[size_t(frames - 1 - i) * c + ch];
        }
    }
    return reversed;
}

TEST_P(AudioMix, ReverseMovesSampleFramesAndKeepsTheSource) {
    UseScript(&host, channels(), "a_reverse(0, 1)\n");
    host.tracks[0] = 1;
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), Reversed(host, 1600));
    host.tracks[0] = 0;
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(7));
}

TEST_P(AudioMix, ReverseOntoItselfReversesInPlace) {
    host.samples_per_frame = 1601;  // the middle frame stays
    UseScript(&host, channels(), "a_reverse(0, 0)\n");
    host.RunAudio(7);
    EXPECT_EQ(host.audio_output(), Reversed(host, 1601));
    host.RunAudio(7, 1600);
    Samples source = host.ProjectAudio(7);
    EXPECT_EQ(At(host.audio_output(), channels(), 0), At(source, channels(), 1599));
    EXPECT_EQ(At(host.audio_output(), channels(), 1599), At(source, channels(), 0));
}

// Every parallel command in one script gives the same samples on one thread
// as on two or three (a block long enough that every loop is split).
TEST_P(AudioMix, OneTwoAndThreeThreadsGiveTheSameBlock) {
    Samples results[3];
    for (int32_t threads : {1, 2, 3}) {
        TestHost host(32, 24, 100, threads);
        UseScript(&host, channels(),
                  "a_copy(0, 1)\na_volume(1, 0.3, 1.7, 0)\na_reverse(1, 1)\na_reverse(1, 3)\n"
                  "a_blend(3, 0)\na_swap(0)\na_tone(2, 440, 0, 0.7)\na_voicechg(2, 30.5)\n"
                  "a_blend(2, 0)\na_tone(4, 300, 1, 0.2)\na_blend(4, 0)\na_mono(0, 0)\n");
        host.RunAudio(0, 20001);
        results[threads - 1] = host.audio_output();
    }
    EXPECT_EQ(results[0], results[1]);
    EXPECT_EQ(results[0], results[2]);
}

}  // namespace
