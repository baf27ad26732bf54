#include "script/dispatch.h"

#include <cstring>

#include "audio/audio_commands.h"
#include "script/script.h"
#include "video/video_commands.h"

const CommandEntry kVideoCommands[] = {
    {"readimage", cmd_readimage},
    {"readvideo", cmd_readvideo},
    {"copyframe", cmd_copyframe},
    {"mkmask", cmd_mkmask},
    {"mkmask_rgb", cmd_mkmask_rgb},
    {"copy", cmd_copy},
    {"copy2", cmd_copy2},
    {"copy3", cmd_copy3},
    {"alpha", cmd_alpha},
    {"alpha2", cmd_alpha2},
    {"alpha3", cmd_alpha3},
    {"alpha4", cmd_alpha4},
    {"swapbuf", cmd_swapbuf},
    {"dispsize", cmd_dispsize},
    {"fill", cmd_fill},
    {"fill_rgb", cmd_fill_rgb},
    {"fill2", cmd_fill2},
    {"fill2_rgb", cmd_fill2_rgb},
    {"color", cmd_color},
    {"color_rgb", cmd_color_rgb},
    {"resize", cmd_resize},
    {"rotate", cmd_rotate},
    {"flipv", cmd_flipv},
    {"fliph", cmd_fliph},
    {"mosaic", cmd_mosaic},
    {"defocus", cmd_defocus},
    {"gamma", cmd_gamma},
    {"diffuse", cmd_diffuse},
    {"font", cmd_font},
    {"font_rgb", cmd_font_rgb},
    {"font2", cmd_font2},
    {"font2_rgb", cmd_font2_rgb},
    {"text", cmd_text},  // one handler draws both text and text2
    {"text2", cmd_text},
    {"posterize", cmd_posterize},
    {"posterize_rgb", cmd_posterize_rgb},
    {"ellipse", cmd_ellipse},
    {"ellipse_rgb", cmd_ellipse_rgb},
};
const int32_t kVideoCommandCount = sizeof kVideoCommands / sizeof kVideoCommands[0];

const CommandEntry kAudioCommands[] = {
    {"a_readvideo", cmd_a_readvideo},
    {"a_copyframe", cmd_a_copyframe},
    {"a_copyframe2", cmd_a_copyframe2},
    {"a_copy", cmd_a_copy},
    {"a_volume", cmd_a_volume},
    {"a_blend", cmd_a_blend},
    {"a_swap", cmd_a_swap},
    {"a_mono", cmd_a_mono},
    {"a_reverse", cmd_a_reverse},
    {"a_noise", cmd_a_noise},
    {"a_tone", cmd_a_tone},
    {"a_voicechg", cmd_a_voicechg},
};
const int32_t kAudioCommandCount = sizeof kAudioCommands / sizeof kAudioCommands[0];

void DispatchCommand(int32_t line, FilterTable* filter, FrameInfo* frame) {
    bool audio = (filter->flags & KINETRA_FLAG_AUDIO) != 0;
    const CommandEntry* table = audio ? kAudioCommands : kVideoCommands;
    int32_t count = audio ? kAudioCommandCount : kVideoCommandCount;
    const char* command = g_script.lines[line].command;
    if (command == nullptr) return;
    for (int32_t i = 0; i < count; ++i) {
        if (std::strcmp(command, table[i].name) == 0) {
            table[i].handler(line, filter, frame);
            return;
        }
    }
}
