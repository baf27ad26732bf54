#include "script/dispatch.h"

#include <cstring>

#include "script/command_table.h"
#include "script/script.h"

void DispatchCommand(int32_t line, FilterTable* filter, FrameInfo* frame) {
    bool audio = (filter->flags & KINETRA_FLAG_AUDIO) != 0;
    const CommandTable& table = audio ? kAudioCommandTable : kVideoCommandTable;
    const char* command = g_script.lines[line].command;
    if (command == nullptr) return;
    for (int32_t i = 0; i < table.count; ++i) {
        if (std::strcmp(command, table.rows[i].name) == 0) {
            table.rows[i].handler(line, filter, frame);
            return;
        }
    }
}
