// What the video commands keep from call to call, released by the filters'
// exit callback (declared in host/plugin.h).
#include "host/plugin.h"
#include "video/video_commands.h"

void ReleaseVideoCommandState() {
    ReleaseTextCanvas();
}
