#include "script/command_table.h"

#include <cstring>

const CommandRow* FindCommand(CommandFilter filter, const char* name) {
    const CommandTable& table =
        filter == CommandFilter::kAudio ? kAudioCommandTable : kVideoCommandTable;
    for (int32_t i = 0; i < table.count; ++i) {
        if (std::strcmp(name, table.rows[i].name) == 0) return &table.rows[i];
    }
    return nullptr;
}

const CommandRow* FindAnyCommand(const char* name) {
    const CommandRow* row = FindCommand(CommandFilter::kVideo, name);
    return row != nullptr ? row : FindCommand(CommandFilter::kAudio, name);
}

const CommandArgument* ArgumentAt(const CommandRow& row, int32_t k) {
    if (k < 0 || k >= row.argument_count || row.described == 0) return nullptr;
    return &row.arguments[k < row.described ? k : row.described - 1];
}

bool IsTextArgument(const CommandRow& row, int32_t k) {
    const CommandArgument* argument = ArgumentAt(row, k);
    return argument != nullptr &&
           (argument->kind == ArgumentKind::kText || argument->kind == ArgumentKind::kFile ||
            argument->kind == ArgumentKind::kFace || argument->kind == ArgumentKind::kFormat);
}
