// The audio command handlers, one per command, each with the same three
// parameters: the script line's index, the filter, the call.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

#define KINETRA_AUDIO_COMMAND(name) void name(int32_t line, FilterTable* filter, FrameInfo* frame)

// Copying and the project's audio (copy.cpp)
KINETRA_AUDIO_COMMAND(cmd_a_readvideo);
KINETRA_AUDIO_COMMAND(cmd_a_copyframe);
KINETRA_AUDIO_COMMAND(cmd_a_copyframe2);
KINETRA_AUDIO_COMMAND(cmd_a_copy);
// Mixing (mix.cpp)
KINETRA_AUDIO_COMMAND(cmd_a_volume);
KINETRA_AUDIO_COMMAND(cmd_a_blend);
KINETRA_AUDIO_COMMAND(cmd_a_swap);
KINETRA_AUDIO_COMMAND(cmd_a_mono);
KINETRA_AUDIO_COMMAND(cmd_a_reverse);
// Synthesis (synth.cpp)
KINETRA_AUDIO_COMMAND(cmd_a_noise);
KINETRA_AUDIO_COMMAND(cmd_a_tone);
KINETRA_AUDIO_COMMAND(cmd_a_voicechg);

#undef KINETRA_AUDIO_COMMAND
