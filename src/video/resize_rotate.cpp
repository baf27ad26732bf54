// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_resize(int32_t, FilterTable*, FrameInfo*) {}
void cmd_rotate(int32_t, FilterTable*, FrameInfo*) {}
