// The three callbacks both filters register.
#pragma once

#include "kinetra/plugin_abi.h"

int32_t FilterProcess(FilterTable* filter, FrameInfo* frame);
int32_t FilterInit(FilterTable* filter);
int32_t FilterExit(FilterTable* filter);

inline bool IsAudioFilter(const FilterTable* filter) {
    return (filter->flags & KINETRA_FLAG_AUDIO) != 0;
}
