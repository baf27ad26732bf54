// What the audio commands share: the shape of a call's block, the rule that
// turns a computed sample into a stored one, and the reader of the project's
// own audio.
#pragma once

#include <cmath>
#include <cstdint>

#include "kinetra/plugin_abi.h"

// A block of the current audio call: `frames` sample frames of `channels`
// interleaved samples each (left, right with two channels). Every command
// works on exactly frames * channels samples of each buffer it touches.
struct AudioBlock {
    int32_t frames;
    int32_t channels;
    int32_t samples() const { return frames * channels; }
};

inline AudioBlock BlockOf(const FrameInfo* frame) {
    AudioBlock block;
    block.frames = frame->sample_count > 0 ? frame->sample_count : 0;
    block.channels = frame->channel_count > 0 ? frame->channel_count : 0;
    return block;
}

// A computed sample as stored: truncated toward zero to 32 bits, of which the
// low 16 bits are kept. Nothing saturates, so loud results wrap around; a
// value beyond the 32-bit range, or a NaN, becomes -2^31, whose low bits are 0.
inline int16_t StoreSample(double x) {
    if (!(x > -2147483649.0 && x < 2147483648.0)) return 0;
    int32_t whole = static_cast<int32_t>(x);
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(whole)));
}

// The low 16 bits of an integer sample (wrapping addition).
inline int16_t WrapSample(int32_t value) {
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(value)));
}

// What the work buffer holds: the project audio of `frame`, read for a block
// of `frames` x `channels`. `generation` is g_audio_work_generation at the
// read, so a reallocated work buffer never passes for a filled one.
struct ProjectAudioCache {
    int32_t frame;
    int32_t frames;
    int32_t channels;
    uint32_t generation;
};

extern ProjectAudioCache g_project_audio_cache;

// Makes the work buffer hold the project's audio of frame `project_frame`
// (first block.samples() samples; silence where the host delivered nothing).
// Asks the host only when the frame or the block shape changed; a frame
// shorter than the block is completed from the next one. The host writes at
// most two blocks' samples per frame, so the four blocks of the work buffer
// hold both reads.
void ReadProjectAudio(FilterTable* filter, const FrameInfo* frame, AudioBlock block,
                      int32_t project_frame);
