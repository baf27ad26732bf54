// The loader's steps, one function each, so that each can be driven on its own.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kinetra/plugin_abi.h"
#include "script/script.h"

// The script's file name, looked for in the script directory.
constexpr char kScriptFileName[] = "kinetra.txt";

// The section that the lines below a section line belong to.
struct SectionState {
    int32_t start;
    int32_t end;
    char condition[kScriptTextSize];
};

// One line as the parser takes it apart, in fixed texts of the largest size a
// line can have; StoreScriptLine keeps it at its real length.
struct ParsedLine {
    int32_t start;
    int32_t end;
    char condition[kScriptTextSize];
    char command[kScriptTextSize];
    char args[kScriptArgCount][kScriptTextSize];
    int32_t jump;         // 0: jumps are resolved on the stored table
    int32_t source_line;  // 1-based line of the file; 0: not known
};

// What parsing a line needs besides its text.
struct ParseContext {
    SectionState section;
    int32_t frame_count;     // default section end
    HostServices* services;  // asked to lengthen the project; may be null
    void* edit_handle;
};

// Starts a parse: section 0..frame_count without a condition.
void BeginParse(ParseContext* context, int32_t frame_count, HostServices* services,
                void* edit_handle);

// Parses one line as read from the file (bytes past the 511th are ignored).
// Returns true when the line makes a record, written into `record`, which
// must start all zero; otherwise `record` is left all zero. Section lines
// change context->section and make no record.
bool ParseScriptLine(const char* text, ParseContext* context, ParsedLine* record);

// Appends a parsed line to a table whose `lines` has room for it: its texts
// at their real length, every expression text compiled. False when memory
// ran out (the table keeps the lines stored before).
bool StoreScriptLine(ScriptTable* table, const ParsedLine& parsed);

// Sets `jump` of every "if" and "goto" record: the index of the first record
// whose command is its label (argument text 1) without regard to ASCII case,
// or -1. Labels are looked up in a table built once.
void ResolveJumps(ScriptTable* table);

// Frees a table's lines and everything they point to; the table becomes empty.
void FreeScriptTable(ScriptTable* table);

// Steps over a UTF-8 byte-order mark at the start of a file just opened (the
// first line is read from the byte after it); any other start is read as it is.
void SkipUtf8Mark(std::FILE* file);

// Reads the next line the way a text-mode read with a 512-byte buffer does:
// at most 511 bytes, up to and including a line feed, with a carriage return
// right before a line feed removed. False at the end of the file.
bool ReadScriptPiece(std::FILE* file, char piece[kScriptTextSize]);
