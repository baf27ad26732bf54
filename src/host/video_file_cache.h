// Video files opened through the host, shared by both filters: the 50 most
// recently opened, replaced oldest first.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

constexpr int32_t kVideoFileSlots = 50;
constexpr int32_t kFileNameCapacity = 260;

struct VideoFileSlot {
    char name[kFileNameCapacity];  // empty when the slot is free
    void* handle;                  // host handle; null when free
    SourceInfo info;               // filled by the host at opening; never read
};

struct VideoFileCache {
    VideoFileSlot slot[kVideoFileSlots];
    int32_t next_slot;
};

extern VideoFileCache g_video_files;

// The slot holding `name`, opening the file through the host (with the script
// directory current) when no slot holds it; -1 when it cannot be opened.
int32_t OpenOrFindVideoFile(const FilterTable* filter, const char* name);

// Has the host write frame `frame` of the file into `destination`; nothing
// happens, and false is returned, when the file cannot be opened.
bool ReadVideoFrame(const FilterTable* filter, const char* name, int32_t frame,
                    PixelYC* destination);

// Has the host write the audio of the file's frame `frame` into
// `destination`, in the project's sampling rate and the call's channel count;
// false when the file cannot be opened.
bool ReadVideoAudio(const FilterTable* filter, const FrameInfo* call, const char* name,
                    int32_t frame, int16_t* destination);

// Closes every open file.
void CloseVideoFiles(const FilterTable* filter);
