// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_alpha(int32_t, FilterTable*, FrameInfo*) {}
void cmd_alpha2(int32_t, FilterTable*, FrameInfo*) {}
void cmd_alpha3(int32_t, FilterTable*, FrameInfo*) {}
void cmd_alpha4(int32_t, FilterTable*, FrameInfo*) {}
