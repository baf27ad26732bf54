// Not built yet: finds no script.
#include <cstdlib>

#include "script/script.h"

ScriptTable g_script;
char g_script_directory[kScriptPathCapacity];
int32_t g_project_audio_rate;

void LoadScript(FilterTable*, FrameInfo*) {}

void FreeScript() {
    std::free(g_script.lines);
    g_script.lines = nullptr;
    g_script.count = 0;
}
