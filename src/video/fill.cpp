// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_fill(int32_t, FilterTable*, FrameInfo*) {}
void cmd_fill_rgb(int32_t, FilterTable*, FrameInfo*) {}
void cmd_fill2(int32_t, FilterTable*, FrameInfo*) {}
void cmd_fill2_rgb(int32_t, FilterTable*, FrameInfo*) {}
