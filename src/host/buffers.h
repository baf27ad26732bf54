// The buffer sets every command works on, shared by the video and the audio
// filter, and the audio work buffer.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kinetra/plugin_abi.h"

constexpr int32_t kBufferCount = 10;

// Ten images of max_w x max_h pixels. 0 and 1 are the host's images of the
// current video call; 2..9 are allocated zero-filled on first use and kept.
struct ImageBufferSet {
    PixelYC* entry[kBufferCount];
    size_t size_bytes;                    // max_w * max_h * 6 of the current call
    size_t capacity_bytes[kBufferCount];  // allocation size of entries 2..9
};

// Ten blocks of 16-bit samples. 0 is the host's block of the current audio
// call; 1..9 are allocated zero-filled on first use and kept. Each holds
// twice the samples of a block (channel_count * sample_count * 4 bytes).
struct AudioBufferSet {
    int16_t* entry[kBufferCount];
    size_t size_bytes;
    size_t capacity_bytes[kBufferCount];
};

extern ImageBufferSet g_image_buffers;
extern AudioBufferSet g_audio_buffers;

// The project audio of one frame, read by the project audio reader: room for
// four blocks' samples (channel_count * sample_count * 8 bytes).
extern int16_t* g_audio_work;
extern size_t g_audio_work_bytes;
// Bumped whenever the work buffer is (re)allocated or freed, which loses its
// contents; whoever remembers what it holds compares this number.
extern uint32_t g_audio_work_generation;

// The buffer with that index, allocating a missing (or too small) entry
// zero-filled; null for an index outside 0..9 or a failed allocation.
PixelYC* AcquireImageBuffer(int32_t index);
int16_t* AcquireAudioBuffer(int32_t index);

// Per-call set-up: entries 0 and 1 and the image size from a video call;
// entry 0, the block size and the work buffer from an audio call. The audio
// set-up fails only when the work buffer cannot be allocated.
void SetUpImageBuffers(const FrameInfo* frame);
bool SetUpAudioBuffers(const FrameInfo* frame);

// Copies buffer `index` (1..9) over buffer 0, or clears buffer 0 when that
// buffer was never used. 0 changes nothing.
void CopyDisplayedImage(int32_t index, const FrameInfo* frame);
void CopyDisplayedAudio(int32_t index, const FrameInfo* frame);

// Scratch memory of the video commands, kept from call to call so that a
// frame's large temporary blocks are not mapped and cleared by the system
// again on every frame. Each use has a block of its own, which a command holds
// only while it runs (commands run on one thread, one at a time).
enum ScratchUse : int32_t {
    kScratchDefocus,     // defocus: the first pass's image
    kScratchSourceRect,  // a source rectangle read from its own destination
    kScratchWalkSource,  // the rectangle walk's copies of source and mask
    kScratchWalkMask,
    kScratchUseCount
};

// A block of at least `bytes` bytes for that use, its contents undefined;
// null when it cannot be allocated.
void* AcquireScratch(ScratchUse use, size_t bytes);

// Frees entries 2..9, audio entries 1..9, the work buffer and the scratch
// blocks.
void ReleaseBuffers();
