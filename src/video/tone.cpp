// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_gamma(int32_t, FilterTable*, FrameInfo*) {}
void cmd_posterize(int32_t, FilterTable*, FrameInfo*) {}
void cmd_posterize_rgb(int32_t, FilterTable*, FrameInfo*) {}
