// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_ellipse(int32_t, FilterTable*, FrameInfo*) {}
void cmd_ellipse_rgb(int32_t, FilterTable*, FrameInfo*) {}
