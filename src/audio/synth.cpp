// Not built yet: these commands do nothing.
#include "audio/audio_commands.h"

void cmd_a_noise(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_tone(int32_t, FilterTable*, FrameInfo*) {}
void cmd_a_voicechg(int32_t, FilterTable*, FrameInfo*) {}
