// Filling and copying whole blocks: the project's own audio (one frame, or a
// span of frames squeezed into one block), the audio of other video files,
// and block copies between buffers. All of it runs in the calling thread.
#include <cstdlib>
#include <cstring>

#include "audio/audio_commands.h"
#include "audio/samples.h"
#include "host/buffers.h"
#include "host/video_file_cache.h"
#include "script/arguments.h"
#include "script/run_failures.h"

ProjectAudioCache g_project_audio_cache = {-1, 0, 0, 0};

namespace {

bool CacheHolds(int32_t project_frame, AudioBlock block) {
    const ProjectAudioCache& cache = g_project_audio_cache;
    return cache.frame == project_frame && cache.frames == block.frames &&
           cache.channels == block.channels && cache.generation == g_audio_work_generation;
}

}  // namespace

void ReadProjectAudio(FilterTable* filter, const FrameInfo* frame, AudioBlock block,
                      int32_t project_frame) {
    if (CacheHolds(project_frame, block)) return;
    // An empty block needs nothing, and the work buffer may have no room.
    if (block.samples() < 1 || g_audio_work == nullptr) return;
    std::memset(g_audio_work, 0, static_cast<size_t>(block.samples()) * sizeof(int16_t));
    const HostServices* services = filter->services;
    if (services != nullptr && services->read_timeline_audio != nullptr) {
        int32_t got =
            services->read_timeline_audio(filter, frame->edit_handle, project_frame, g_audio_work);
        // A short frame is completed from the next one, behind the first part.
        if (got > 0 && got < block.frames && project_frame < INT32_MAX) {
            int16_t* rest = g_audio_work + static_cast<size_t>(got) * block.channels;
            services->read_timeline_audio(filter, frame->edit_handle, project_frame + 1, rest);
        }
    }
    // Recorded whether or not the host delivered: a failing frame is not asked
    // for again until another frame has been read.
    g_project_audio_cache = {project_frame, block.frames, block.channels, g_audio_work_generation};
}

// a_readvideo(B, F, file): the audio of frame F of another video file, in the
// project's sampling rate and the call's channel count, written over B.
// Samples the host does not write keep their contents.
void cmd_a_readvideo(int32_t line, FilterTable* filter, FrameInfo* frame) {
    int16_t* target = AcquireAudioBuffer(ArgInt(line, 0));
    if (target == nullptr) return;
    int32_t file_frame = ArgFrame(line, 1);
    const char* name = ArgText(line, 2);
    AudioBlock block = BlockOf(frame);
    if (block.samples() < 1) return;
    size_t block_bytes = static_cast<size_t>(block.samples()) * sizeof(int16_t);
    // The host may write up to two blocks' samples. Buffers 1..9 have that
    // room; the host's own block has only one, so it is read through a larger
    // copy of itself.
    bool opened = true;
    if (target != g_audio_buffers.entry[0]) {
        opened = ReadVideoAudio(filter, frame, name, file_frame, target);
    } else {
        int16_t* staging = static_cast<int16_t*>(std::calloc(2 * block_bytes, 1));
        if (staging == nullptr) return;
        std::memcpy(staging, target, block_bytes);
        opened = ReadVideoAudio(filter, frame, name, file_frame, staging);
        std::memcpy(target, staging, block_bytes);
        std::free(staging);
    }
    if (!opened) ReportFileFailure(line, name, frame->frame);
}

// a_copyframe(B, F): the project's audio of frame F into B.
void cmd_a_copyframe(int32_t line, FilterTable* filter, FrameInfo* frame) {
    int16_t* target = AcquireAudioBuffer(ArgInt(line, 0));
    if (target == nullptr) return;
    int32_t project_frame = ArgFrame(line, 1);
    AudioBlock block = BlockOf(frame);
    if (block.samples() < 1) return;
    ReadProjectAudio(filter, frame, block, project_frame);
    std::memcpy(target, g_audio_work, static_cast<size_t>(block.samples()) * sizeof(int16_t));
}

// a_copyframe2(B, S, E): the project's audio from frame position S to E played
// into one block, squeezed or stretched. Each frame counts as one block of
// samples; sample frame i takes the sample at position i * (E - S) / n + S,
// picked, not interpolated.
void cmd_a_copyframe2(int32_t line, FilterTable* filter, FrameInfo* frame) {
    int16_t* target = AcquireAudioBuffer(ArgInt(line, 0));
    if (target == nullptr) return;
    double start = ArgValue(line, 1);
    double end = ArgValue(line, 2);
    if (!(start < end)) return;  // also a NaN
    AudioBlock block = BlockOf(frame);
    const double n = block.frames;
    for (int32_t i = 0; i < block.frames; ++i) {
        double position = static_cast<double>(i) * (end - start) / n + start;
        int32_t project_frame = FloorToInt32(position);
        int32_t k = FloorToInt32((position - project_frame) * n);
        // Positions beyond the 32-bit frame range would pick a sample outside
        // the frame; keep it inside.
        if (k < 0) k = 0;
        if (k > block.frames - 1) k = block.frames - 1;
        ReadProjectAudio(filter, frame, block, project_frame);
        const int16_t* from = g_audio_work + static_cast<size_t>(k) * block.channels;
        int16_t* to = target + static_cast<size_t>(i) * block.channels;
        for (int32_t ch = 0; ch < block.channels; ++ch)
            to[ch] = from[ch];
    }
}

// a_copy(A, B): block A copied over block B.
void cmd_a_copy(int32_t line, FilterTable*, FrameInfo* frame) {
    int16_t* source = AcquireAudioBuffer(ArgInt(line, 0));
    if (source == nullptr) return;
    int16_t* target = AcquireAudioBuffer(ArgInt(line, 1));
    if (target == nullptr || target == source) return;
    AudioBlock block = BlockOf(frame);
    std::memcpy(target, source, static_cast<size_t>(block.samples()) * sizeof(int16_t));
}
