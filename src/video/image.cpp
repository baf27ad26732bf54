// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_readimage(int32_t, FilterTable*, FrameInfo*) {}
