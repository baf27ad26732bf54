// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_mosaic(int32_t, FilterTable*, FrameInfo*) {}
void cmd_defocus(int32_t, FilterTable*, FrameInfo*) {}
void cmd_diffuse(int32_t, FilterTable*, FrameInfo*) {}
