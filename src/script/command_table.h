// The command table: one row per script command, with its handler and the
// description of its arguments. The executor dispatches through it; the
// script checker, `kinetra help` and the reference's test read it. The rows
// are filled where the handlers are visible (src/video, src/audio); this
// layer only declares them, so the script layer never includes a handler.
//
// Adding a command is one row in its filter's list plus the handler.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

// A command handler: the index of its script line, its filter, the call.
typedef void (*CommandHandler)(int32_t line, FilterTable* filter, FrameInfo* frame);

enum class CommandFilter : uint8_t { kVideo, kAudio };

// How a command reads an argument.
enum class ArgumentKind : uint8_t {
    kNumber,  // the value of the expression
    kBuffer,  // the value, truncated, names a buffer 0..9
    kText,    // the argument's text itself, as written (quotes removed)
    kFile,    // a text naming a file; relative names start in the script's directory
    kFace,    // a text naming a font face
    kFormat,  // a printf-style format for the values after it
};

struct CommandArgument {
    const char* name;  // short name, as in the help's call line: "buffer", "x", "Y"
    ArgumentKind kind;
    const char* meaning;  // what it is, in a few words
    const char* unit;     // "pixels", "frames", "Y scale", "radians", ...
    const char* range;    // the useful values and what happens outside them
};

// The most arguments a script line carries.
constexpr int32_t kCommandArgumentLimit = 20;

// The values a kFormat argument's format takes at most (the arguments after
// it: text2 passes its arguments 5..19).
constexpr int32_t kFormatValueCount = 15;

// The conversions of a kFormat argument's format (each takes the next of up
// to kFormatValueCount values), or -1 when the command refuses the format and
// draws nothing. text2 runs this test before drawing, and the checker runs
// it on the script's text.
int32_t Text2FormatConversions(const char* format);

struct CommandRow {
    const char* name;
    CommandHandler handler;
    CommandFilter filter;
    const char* family;   // the group it is listed under ("Fills", "Audio mixing", ...)
    const char* purpose;  // one line
    // Described arguments; when `argument_count` is larger, the last entry
    // stands for all the positions from its own to argument_count - 1.
    const CommandArgument* arguments;
    int32_t described;
    int32_t argument_count;  // arguments the command reads; more are ignored
};

struct CommandTable {
    const CommandRow* rows;
    int32_t count;
};

// Each filter's commands, in the order in which a line is offered to them.
extern const CommandTable kVideoCommandTable;  // src/video/command_rows.cpp
extern const CommandTable kAudioCommandTable;  // src/audio/command_rows.cpp

// The row of `name` (exact, lower case) in one filter's table, or null.
const CommandRow* FindCommand(CommandFilter filter, const char* name);
// The row of `name` in either table, video first, or null.
const CommandRow* FindAnyCommand(const char* name);

// The description of argument position k (0-based) of a row; null past
// argument_count.
const CommandArgument* ArgumentAt(const CommandRow& row, int32_t k);
// True when the command reads argument k as text rather than as a value.
bool IsTextArgument(const CommandRow& row, int32_t k);
