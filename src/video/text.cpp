// Not built yet: these commands do nothing.
#include "video/video_commands.h"

void cmd_font(int32_t, FilterTable*, FrameInfo*) {}
void cmd_font_rgb(int32_t, FilterTable*, FrameInfo*) {}
void cmd_font2(int32_t, FilterTable*, FrameInfo*) {}
void cmd_font2_rgb(int32_t, FilterTable*, FrameInfo*) {}
void cmd_text(int32_t, FilterTable*, FrameInfo*) {}
void ReleaseTextCanvas() {}
