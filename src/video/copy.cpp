// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_copy(int32_t, FilterTable*, FrameInfo*) {}
void cmd_copy2(int32_t, FilterTable*, FrameInfo*) {}
void cmd_copy3(int32_t, FilterTable*, FrameInfo*) {}
