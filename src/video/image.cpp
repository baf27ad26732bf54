// Still images: the host decodes the file into a buffer.
#include "host/buffers.h"
#include "platform/platform.h"
#include "script/arguments.h"
#include "script/run_failures.h"
#include "script/script.h"
#include "video/video_commands.h"

// readimage(buffer, file): the host loads the file into the buffer, with the
// script directory current so that a relative name is found next to the
// script. Read again every time the line runs; nothing is cached.
void cmd_readimage(int32_t line, FilterTable* filter, FrameInfo* frame) {
    PixelYC* buffer = AcquireImageBuffer(ArgInt(line, 0));
    if (buffer == nullptr) return;
    const HostServices* services = filter->services;
    if (services == nullptr || services->load_image_file == nullptr) return;
    platform::SavedDirectory saved;
    platform::EnterDirectory(g_script_directory, &saved);
    int32_t loaded = services->load_image_file(buffer, ArgText(line, 1), nullptr, nullptr, 0);
    platform::RestoreDirectory(&saved);
    if (loaded == 0) ReportFileFailure(line, ArgText(line, 1), frame->frame);
}
