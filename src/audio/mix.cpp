// Level, channels and order of audio blocks: gain ramps, mixing by addition,
// channel swaps, mono mixes and reversal. Each loop runs over sample frames
// split statically among the worker threads; a thread writes only the sample
// positions of its own frames.
#include <utility>

#include "audio/audio_commands.h"
#include "audio/samples.h"
#include "common/parallel.h"
#include "host/buffers.h"
#include "script/arguments.h"

namespace {

// Which channels a_volume scales (with two channels).
enum VolumeChannels { kBothChannels = 0, kLeftChannel = 1, kRightChannel = 2 };

// Which value a_mono gives both channels.
enum MonoMode { kMonoAverage = 0, kMonoLeft = 1, kMonoRight = 2 };

// The gain g = ((n - i) * G0 + i * G1) / n of sample frame i: G0 at the first
// frame, and G1 one frame past the block, so that consecutive blocks fade on.
void ApplyGainRamp(int16_t* samples, AudioBlock block, double start_gain, double end_gain,
                   int32_t channels_scaled) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    const bool scale_left = c != 2 || channels_scaled != kRightChannel;
    const bool scale_right = c != 2 || channels_scaled != kLeftChannel;
    parallel::ParallelFor(0, n, c, [=](int32_t i) {
        double gain =
            (static_cast<double>(n - i) * start_gain + static_cast<double>(i) * end_gain) /
            static_cast<double>(n);
        int16_t* sample_frame = samples + static_cast<size_t>(i) * c;
        for (int32_t ch = 0; ch < c; ++ch) {
            bool scaled = ch == 0 ? scale_left : scale_right;
            if (scaled) sample_frame[ch] = StoreSample(gain * sample_frame[ch]);
        }
    });
}

void AddBlock(const int16_t* source, int16_t* target, AudioBlock block) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    parallel::ParallelFor(0, n, c, [=](int32_t i) {
        for (int32_t j = i * c; j < (i + 1) * c; ++j) {
            target[j] = WrapSample(int32_t{target[j]} + int32_t{source[j]});
        }
    });
}

void SwapStereoChannels(int16_t* samples, int32_t frames) {
    parallel::ParallelFor(0, frames, 2,
                          [=](int32_t i) { std::swap(samples[2 * i], samples[2 * i + 1]); });
}

void MixStereoToMono(int16_t* samples, int32_t frames, int32_t mode) {
    parallel::ParallelFor(0, frames, 2, [=](int32_t i) {
        int32_t left = samples[2 * i];
        int32_t right = samples[2 * i + 1];
        // The sum of two 16-bit samples fits in 32 bits; / truncates toward 0.
        int32_t value = mode == kMonoAverage ? (left + right) / 2
                        : mode == kMonoLeft  ? left
                                             : right;
        samples[2 * i] = static_cast<int16_t>(value);
        samples[2 * i + 1] = static_cast<int16_t>(value);
    });
}

void ReverseInto(const int16_t* source, int16_t* target, AudioBlock block) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    parallel::ParallelFor(0, n, c, [=](int32_t i) {
        const int16_t* from = source + static_cast<size_t>(n - 1 - i) * c;
        int16_t* to = target + static_cast<size_t>(i) * c;
        for (int32_t ch = 0; ch < c; ++ch)
            to[ch] = from[ch];
    });
}

// Exchanges sample frames i and n - 1 - i for the first half: a reversal that
// never reads a frame it has already written.
void ReverseInPlace(int16_t* samples, AudioBlock block) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    const int32_t half = n / 2;
    parallel::ParallelFor(0, half, 2 * c, [=](int32_t i) {
        int16_t* front = samples + static_cast<size_t>(i) * c;
        int16_t* back = samples + static_cast<size_t>(n - 1 - i) * c;
        for (int32_t ch = 0; ch < c; ++ch)
            std::swap(front[ch], back[ch]);
    });
}

}  // namespace

// a_volume(B, G0, G1, C): a linear gain ramp from G0 toward G1 over block B,
// on both channels (C = 0), the left (1) or the right (2). With one channel
// every C in 0..2 scales the block.
void cmd_a_volume(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* samples = AcquireAudioBuffer(ArgInt(line, 0));
    if (samples == nullptr) return;
    int32_t channels_scaled = ArgInt(line, 3);
    if (channels_scaled < kBothChannels || channels_scaled > kRightChannel) return;
    ApplyGainRamp(samples, BlockOf(frame), ArgValue(line, 1), ArgValue(line, 2), channels_scaled);
}

// a_blend(A, B): block A added into block B (16-bit wrap-around, no scaling).
void cmd_a_blend(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* source = AcquireAudioBuffer(ArgInt(line, 0));
    if (source == nullptr) return;
    int16_t* target = AcquireAudioBuffer(ArgInt(line, 1));
    if (target == nullptr) return;
    AddBlock(source, target, BlockOf(frame));
}

// a_swap(B): left and right exchanged; a one-channel block stays as it is.
void cmd_a_swap(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* samples = AcquireAudioBuffer(ArgInt(line, 0));
    if (samples == nullptr) return;
    AudioBlock block = BlockOf(frame);
    if (block.channels != 2) return;
    SwapStereoChannels(samples, block.frames);
}

// a_mono(B, M): both channels get the average (M = 0), the left (1) or the
// right (2) sample; a one-channel block stays as it is.
void cmd_a_mono(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* samples = AcquireAudioBuffer(ArgInt(line, 0));
    if (samples == nullptr) return;
    int32_t mode = ArgInt(line, 1);
    AudioBlock block = BlockOf(frame);
    if (block.channels != 2 || mode < kMonoAverage || mode > kMonoRight) return;
    MixStereoToMono(samples, block.frames, mode);
}

// a_reverse(A, B): block A backwards into B, sample frame by sample frame (the
// channels stay in place). With A = B the block is reversed in place.
void cmd_a_reverse(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* source = AcquireAudioBuffer(ArgInt(line, 0));
    if (source == nullptr) return;
    int16_t* target = AcquireAudioBuffer(ArgInt(line, 1));
    if (target == nullptr) return;
    if (source == target) {
        ReverseInPlace(target, BlockOf(frame));
    } else {
        ReverseInto(source, target, BlockOf(frame));
    }
}
