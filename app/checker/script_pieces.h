// The script read the way the plug-in reads it, with the plug-in's own loader
// (linked from the core library): pieces of at most 511 bytes up to a line
// feed (after a UTF-8 byte-order mark), each parsed into a record or a section
// change. Whatever the host
// learns of a script before rendering, and whatever the checker says of it,
// comes from here, so both see exactly the lines the plug-in will run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "script/loader.h"

struct ScriptPiece {
    int32_t line = 0;             // line of the file the piece belongs to, from 1
    std::string text;             // as read, with its line feed
    bool cut = false;             // the line goes on past this piece
    bool continued = false;       // the piece is the tail of a longer line
    bool stored = false;          // the loader makes a record of it
    const ParsedLine* record;     // that record (all zero when not stored)
    const SectionState* section;  // the section in force after the piece
};

// Calls `visit` for every piece of `text`, parsed with sections that have no
// end running to `frame_count`. The parse lengthens nothing.
void ForEachScriptPiece(const std::string& text, int32_t frame_count,
                        const std::function<void(const ScriptPiece&)>& visit);
