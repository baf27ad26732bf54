// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_readvideo(int32_t, FilterTable*, FrameInfo*) {}
void cmd_copyframe(int32_t, FilterTable*, FrameInfo*) {}
void cmd_swapbuf(int32_t, FilterTable*, FrameInfo*) {}
void cmd_dispsize(int32_t, FilterTable*, FrameInfo*) {}
