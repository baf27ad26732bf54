// Sound made by the script: white noise, sine and square tones, and the voice
// change (a block multiplied by a sine carrier). The periodic commands keep
// their phase from one call to the next in a sample counter T held in their
// own script line's `jump` field: reset at the section's first frame, T + i
// is the time of sample frame i, and T advances by the block after it.
#include <cmath>

#include "audio/audio_commands.h"
#include "audio/samples.h"
#include "common/constants.h"
#include "common/parallel.h"
#include "formula/random.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "script/script.h"

namespace {

// The angle of a full turn.
constexpr double kFullTurn = 2 * kPi;
constexpr double kFullScale = 32767.0;
constexpr int32_t kSquareWave = 1;
// Draws at or above this give a positive noise sample.
constexpr int32_t kPositiveDraw = 16384;
// The work of one sine, in the units of the parallel loops.
constexpr int64_t kSineCost = 16;

bool IsLevel(double level) {
    return level >= 0.0 && level <= 1.0;
}

// The phase step per sample in radians. A sampling rate of 0 makes it
// non-finite, and every sine then a NaN.
double PhaseStep(double frequency) {
    return frequency * kFullTurn / static_cast<double>(g_project_audio_rate);
}

// The line's sample counter at the start of this block.
int32_t& SampleCounter(int32_t line, const FrameInfo* frame) {
    ScriptLine& script_line = g_script.lines[line];
    if (frame->frame == script_line.start) script_line.jump = 0;
    return script_line.jump;
}

void AdvanceCounter(int32_t* counter, AudioBlock block) {
    *counter =
        static_cast<int32_t>(static_cast<uint32_t>(*counter) + static_cast<uint32_t>(block.frames));
}

void FillNoise(int16_t* samples, AudioBlock block, double level) {
    const int32_t count = block.samples();
    for (int32_t j = 0; j < count; ++j) {
        int32_t sign_draw = SharedRandomNext();
        int32_t magnitude = SharedRandomNext();
        if (sign_draw < kPositiveDraw) magnitude = -magnitude;
        samples[j] = StoreSample(magnitude * level);
    }
}

void FillSine(int16_t* samples, AudioBlock block, int32_t counter, double step, double level) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    parallel::ParallelFor(0, n, kSineCost + c, [=](int32_t i) {
        double t = static_cast<double>(counter) + i;
        int16_t value = StoreSample(std::sin(t * step) * kFullScale * level);
        int16_t* sample_frame = samples + static_cast<size_t>(i) * c;
        for (int32_t ch = 0; ch < c; ++ch)
            sample_frame[ch] = value;
    });
}

// +peak where the sine sample of the same level is above 0, -peak elsewhere
// (zero and NaN included).
void FillSquare(int16_t* samples, AudioBlock block, int32_t counter, double step, double level) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    const int16_t peak = static_cast<int16_t>(std::trunc(level * kFullScale));
    parallel::ParallelFor(0, n, kSineCost + c, [=](int32_t i) {
        double t = static_cast<double>(counter) + i;
        int16_t sine = StoreSample(std::sin(t * step) * kFullScale * level);
        int16_t value = sine > 0 ? peak : static_cast<int16_t>(-peak);
        int16_t* sample_frame = samples + static_cast<size_t>(i) * c;
        for (int32_t ch = 0; ch < c; ++ch)
            sample_frame[ch] = value;
    });
}

void ModulateBySine(int16_t* samples, AudioBlock block, int32_t counter, double step) {
    const int32_t n = block.frames;
    const int32_t c = block.channels;
    parallel::ParallelFor(0, n, kSineCost + c, [=](int32_t i) {
        double t = static_cast<double>(counter) + i;
        double carrier = std::sin(step * t);
        int16_t* sample_frame = samples + static_cast<size_t>(i) * c;
        for (int32_t ch = 0; ch < c; ++ch) {
            sample_frame[ch] = StoreSample(carrier * sample_frame[ch]);
        }
    });
}

}  // namespace

// a_noise(B, L): block B overwritten with white noise of level L (0..1). Each
// sample takes two draws from the shared generator, in order: the sign (upper
// half positive), then the magnitude. Runs in the calling thread only, so the
// sequence of draws is fixed.
void cmd_a_noise(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* samples = AcquireAudioBuffer(ArgInt(line, 0));
    if (samples == nullptr) return;
    double level = ArgValue(line, 1);
    if (!IsLevel(level)) return;
    FillNoise(samples, BlockOf(frame), level);
}

// a_tone(B, f, W, L): block B overwritten with a tone of f Hz (whole hertz),
// a square wave for W = 1 and a sine otherwise, of level L (0..1), in both
// channels alike.
void cmd_a_tone(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* samples = AcquireAudioBuffer(ArgInt(line, 0));
    if (samples == nullptr) return;
    int32_t frequency = ArgInt(line, 1);
    int32_t wave = ArgInt(line, 2);
    double level = ArgValue(line, 3);
    if (!IsLevel(level)) return;
    int32_t& counter = SampleCounter(line, frame);
    AudioBlock block = BlockOf(frame);
    double step = PhaseStep(frequency);
    if (wave == kSquareWave) {
        FillSquare(samples, block, counter, step, level);
    } else {
        FillSine(samples, block, counter, step, level);
    }
    AdvanceCounter(&counter, block);
}

// a_voicechg(B, f): every sample of B multiplied by a sine carrier of f Hz
// (ring modulation).
void cmd_a_voicechg(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* samples = AcquireAudioBuffer(ArgInt(line, 0));
    if (samples == nullptr) return;
    int32_t& counter = SampleCounter(line, frame);
    AudioBlock block = BlockOf(frame);
    ModulateBySine(samples, block, counter, PhaseStep(ArgValue(line, 1)));
    AdvanceCounter(&counter, block);
}
