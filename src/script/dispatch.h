// The command tables: every handler of each filter, in the order in which a
// command line is offered to them. Adding a command is one line in a table.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

// A command handler: the index of its script line, its filter, the call.
typedef void (*CommandHandler)(int32_t line, FilterTable* filter, FrameInfo* frame);

struct CommandEntry {
    const char* name;
    CommandHandler handler;
};

extern const CommandEntry kVideoCommands[];
extern const int32_t kVideoCommandCount;
extern const CommandEntry kAudioCommands[];
extern const int32_t kAudioCommandCount;

// Offers line `line` to the handlers of the filter's kind: the handler whose
// name equals the line's command, byte for byte, runs.
void DispatchCommand(int32_t line, FilterTable* filter, FrameInfo* frame);
