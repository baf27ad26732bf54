// Not built yet: these commands do nothing.
#include "audio/audio_commands.h"

void cmd_a_volume(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_blend(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_swap(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_mono(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_reverse(int32_t, FilterTable*, FrameInfo*) {}
