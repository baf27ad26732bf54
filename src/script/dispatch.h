// Offering a script line to the commands of the calling filter.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

// Offers line `line` to the commands of the filter's kind, in the order of
// its command table: the handler whose name equals the line's command, byte
// for byte, runs.
void DispatchCommand(int32_t line, FilterTable* filter, FrameInfo* frame);
