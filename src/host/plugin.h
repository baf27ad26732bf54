// The three callbacks both filters register.
#pragma once

#include "kinetra/plugin_abi.h"

int32_t FilterProcess(FilterTable* filter, FrameInfo* frame);
int32_t FilterInit(FilterTable* filter);
int32_t FilterExit(FilterTable* filter);

// Frees what the video commands keep from call to call (the text canvas).
// Declared here for the exit callback, defined with the commands in
// src/video, so that this layer calls it without including theirs.
void ReleaseVideoCommandState();

inline bool IsAudioFilter(const FilterTable* filter) {
    return (filter->flags & KINETRA_FLAG_AUDIO) != 0;
}
