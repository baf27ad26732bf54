// Speed of the audio commands on one block, called directly as the executor
// calls them: a second of 48 kHz stereo per block, so the per-sample loops
// dominate. The commands run against one script line whose values are set
// here (no script file, no evaluator).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "audio/audio_commands.h"
#include "host/buffers.h"
#include "script/script.h"
#include "support/hand_line.h"

namespace {

constexpr int32_t kBlockFrames = 48000;
constexpr int32_t kChannels = 2;

// One command line and one audio call set up for the command handlers.
struct AudioBench {
    AudioBench(const char* command, std::initializer_list<double> values) {
        hand.Set(command, {}, values);
        g_script.lines = &hand.line;
        g_script.count = 1;
        g_project_audio_rate = 48000;
        block.assign(size_t(kBlockFrames) * kChannels, 1234);
        std::memset(&frame, 0, sizeof frame);
        frame.audio_samples = block.data();
        frame.sample_count = kBlockFrames;
        frame.channel_count = kChannels;
        frame.frame = 1;
        SetUpAudioBuffers(&frame);
    }
    ~AudioBench() {
        ReleaseBuffers();
        g_script.lines = nullptr;
        g_script.count = 0;
    }
    HandLine hand;
    std::vector<int16_t> block;
    FrameInfo frame;
    FilterTable filter{};
};

template <void (*Command)(int32_t, FilterTable*, FrameInfo*)>
void RunCommand(benchmark::State& state, AudioBench* bench) {
    for (auto _ : state) {
        Command(0, &bench->filter, &bench->frame);
        benchmark::DoNotOptimize(bench->block.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlockFrames);
}

void BM_Volume(benchmark::State& state) {
    AudioBench bench("a_volume", {0, 1.0, 0.999, 0});
    RunCommand<cmd_a_volume>(state, &bench);
}
BENCHMARK(BM_Volume)->UseRealTime();

void BM_Blend(benchmark::State& state) {
    AudioBench bench("a_blend", {0, 0});
    RunCommand<cmd_a_blend>(state, &bench);
}
BENCHMARK(BM_Blend)->UseRealTime();

void BM_Reverse(benchmark::State& state) {
    AudioBench bench("a_reverse", {0, 1});
    RunCommand<cmd_a_reverse>(state, &bench);
}
BENCHMARK(BM_Reverse)->UseRealTime();

void BM_SineTone(benchmark::State& state) {
    AudioBench bench("a_tone", {0, 440, 0, 0.8});
    RunCommand<cmd_a_tone>(state, &bench);
}
BENCHMARK(BM_SineTone)->UseRealTime();

void BM_VoiceChange(benchmark::State& state) {
    AudioBench bench("a_voicechg", {0, 30});
    RunCommand<cmd_a_voicechg>(state, &bench);
}
BENCHMARK(BM_VoiceChange)->UseRealTime();

void BM_Noise(benchmark::State& state) {
    AudioBench bench("a_noise", {0, 0.3});
    RunCommand<cmd_a_noise>(state, &bench);
}
BENCHMARK(BM_Noise)->UseRealTime();

}  // namespace
