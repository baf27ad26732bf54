// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_mkmask(int32_t, FilterTable*, FrameInfo*) {}
void cmd_mkmask_rgb(int32_t, FilterTable*, FrameInfo*) {}
