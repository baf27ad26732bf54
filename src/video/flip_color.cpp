// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_flipv(int32_t, FilterTable*, FrameInfo*) {}
void cmd_fliph(int32_t, FilterTable*, FrameInfo*) {}
void cmd_color(int32_t, FilterTable*, FrameInfo*) {}
void cmd_color_rgb(int32_t, FilterTable*, FrameInfo*) {}
