#include "host/buffers.h"

#include <cstring>

#include "common/page_memory.h"

ImageBufferSet g_image_buffers;
AudioBufferSet g_audio_buffers;
int16_t* g_audio_work;
size_t g_audio_work_bytes;
uint32_t g_audio_work_generation;

namespace {

constexpr int32_t kFirstOwnedImage = 2;
constexpr int32_t kFirstOwnedAudio = 1;

// Makes *block hold at least `bytes` bytes, zero-filled when (re)allocated.
// A block that is already large enough keeps its contents. Blocks come with
// their pages present (page_memory.h): a buffer that a command first reads
// while it is still all zero, and writes later, costs no second round of
// page faults.
bool EnsureBlock(void** block, size_t* capacity, size_t bytes) {
    if (*block != nullptr && *capacity >= bytes) return true;
    void* fresh = page_memory::AllocateZeroed(bytes);
    if (fresh == nullptr) return false;
    page_memory::Release(*block);
    *block = fresh;
    *capacity = bytes;
    return true;
}

struct ScratchBlock {
    void* data;
    size_t capacity;
};
ScratchBlock s_scratch[kScratchUseCount];

bool IsValidIndex(int32_t index) {
    return static_cast<uint32_t>(index) < kBufferCount;
}

}  // namespace

PixelYC* AcquireImageBuffer(int32_t index) {
    if (!IsValidIndex(index)) return nullptr;
    if (index < kFirstOwnedImage) return g_image_buffers.entry[index];
    void* block = g_image_buffers.entry[index];
    if (!EnsureBlock(&block, &g_image_buffers.capacity_bytes[index], g_image_buffers.size_bytes)) {
        return nullptr;
    }
    g_image_buffers.entry[index] = static_cast<PixelYC*>(block);
    return g_image_buffers.entry[index];
}

int16_t* AcquireAudioBuffer(int32_t index) {
    if (!IsValidIndex(index)) return nullptr;
    if (index < kFirstOwnedAudio) return g_audio_buffers.entry[index];
    void* block = g_audio_buffers.entry[index];
    if (!EnsureBlock(&block, &g_audio_buffers.capacity_bytes[index], g_audio_buffers.size_bytes)) {
        return nullptr;
    }
    g_audio_buffers.entry[index] = static_cast<int16_t*>(block);
    return g_audio_buffers.entry[index];
}

void* AcquireScratch(ScratchUse use, size_t bytes) {
    ScratchBlock& block = s_scratch[use];
    if (block.data != nullptr && block.capacity >= bytes) return block.data;
    page_memory::Release(block.data);
    block.data = page_memory::AllocateZeroed(bytes);
    block.capacity = block.data != nullptr ? bytes : 0;
    return block.data;
}

void SetUpImageBuffers(const FrameInfo* frame) {
    g_image_buffers.entry[0] = frame->edit_pixels;
    g_image_buffers.entry[1] = frame->temp_pixels;
    g_image_buffers.size_bytes =
        static_cast<size_t>(frame->max_w) * static_cast<size_t>(frame->max_h) * sizeof(PixelYC);
}

bool SetUpAudioBuffers(const FrameInfo* frame) {
    g_audio_buffers.entry[0] = frame->audio_samples;
    size_t block_bytes = static_cast<size_t>(frame->channel_count) *
                         static_cast<size_t>(frame->sample_count) * sizeof(int16_t);
    g_audio_buffers.size_bytes = block_bytes * 2;
    void* work = g_audio_work;
    if (!EnsureBlock(&work, &g_audio_work_bytes, block_bytes * 4)) return false;
    if (work != g_audio_work) ++g_audio_work_generation;
    g_audio_work = static_cast<int16_t*>(work);
    return true;
}

void CopyDisplayedImage(int32_t index, const FrameInfo* frame) {
    if (index == 0 || !IsValidIndex(index)) return;
    size_t bytes = g_image_buffers.size_bytes;
    PixelYC* shown = g_image_buffers.entry[index];
    if (shown == frame->edit_pixels) return;
    if (shown != nullptr) {
        std::memcpy(frame->edit_pixels, shown, bytes);
    } else {
        std::memset(frame->edit_pixels, 0, bytes);
    }
}

void CopyDisplayedAudio(int32_t index, const FrameInfo* frame) {
    if (index == 0 || !IsValidIndex(index)) return;
    size_t bytes = static_cast<size_t>(frame->sample_count) *
                   static_cast<size_t>(frame->channel_count) * sizeof(int16_t);
    int16_t* heard = g_audio_buffers.entry[index];
    if (heard != nullptr) {
        std::memcpy(frame->audio_samples, heard, bytes);
    } else {
        std::memset(frame->audio_samples, 0, bytes);
    }
}

void ReleaseBuffers() {
    for (int32_t i = kFirstOwnedImage; i < kBufferCount; ++i) {
        page_memory::Release(g_image_buffers.entry[i]);
        g_image_buffers.entry[i] = nullptr;
        g_image_buffers.capacity_bytes[i] = 0;
    }
    for (int32_t i = kFirstOwnedAudio; i < kBufferCount; ++i) {
        page_memory::Release(g_audio_buffers.entry[i]);
        g_audio_buffers.entry[i] = nullptr;
        g_audio_buffers.capacity_bytes[i] = 0;
    }
    for (ScratchBlock& block : s_scratch) {
        page_memory::Release(block.data);
        block = ScratchBlock{nullptr, 0};
    }
    page_memory::Release(g_audio_work);
    g_audio_work = nullptr;
    ++g_audio_work_generation;
    g_audio_work_bytes = 0;
}
