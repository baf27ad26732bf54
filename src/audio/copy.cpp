// Not built yet: these commands do nothing.
#include "audio/audio_commands.h"

void cmd_a_readvideo(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_copyframe(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_copyframe2(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_copy(int32_t, FilterTable*, FrameInfo*) {}
