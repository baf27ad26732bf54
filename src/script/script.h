// The script: "kinetra.txt" in the directory of the project's source file,
// parsed into a table of ScriptLine records, and the variables it runs with.
#pragma once

#include <cstdint>

#include "formula/formula.h"
#include "kinetra/plugin_abi.h"

constexpr int32_t kScriptTextSize = 512;
constexpr int32_t kScriptArgCount = 20;
constexpr int32_t kScriptPathCapacity = 260;
constexpr int32_t kVariableLetters = 26;

// One expression text of a line with its program, compiled once when the
// script is loaded.
struct ScriptText {
    const char* text;             // NUL-terminated, never null
    const FormulaToken* program;  // end marker included; null: does not compile
};

// One stored line of the script. Texts are kept at their real length (each
// at most 511 bytes, as read); a record built by hand starts all zero, which
// reads as a line without section condition, command or arguments.
struct ScriptLine {
    int32_t start;                // first frame of the line's section
    int32_t end;                  // last frame (inclusive)
    int32_t jump;                 // jump target, or a command's running counter
    int32_t arg_count;            // texts in `args`; the later ones are empty
    int32_t source_line;          // 1-based line of the file it was read from; 0: built by hand
    int32_t failure_reported;     // a run-time failure of this line has been reported
    const ScriptText* condition;  // section condition, shared by the section's lines; null: none
    const char* command;          // command name, "if", "goto", "X=" or ":label"; null: empty
    const ScriptText* args;       // argument texts 0 .. arg_count - 1
    double* values;               // kScriptArgCount evaluated arguments, set before dispatch;
                                  // null on lines no handler takes (jumps, labels, assignments)
    void* reserved;
};

struct ScriptStorage;  // where a table's texts, programs and values live

struct ScriptTable {
    ScriptLine* lines;
    int32_t count;
    ScriptStorage* storage;
};

extern ScriptTable g_script;

// The script directory with its trailing separator, and the project's audio
// sampling rate, both refreshed on every process call.
extern char g_script_directory[kScriptPathCapacity];
extern int32_t g_project_audio_rate;

// User variables A..Z and system variables a..z: shared by both filters,
// never reset while the plug-in is loaded.
extern double g_user_variables[kVariableLetters];
extern double g_system_variables[kVariableLetters];

// Finds the script and re-parses it when it changed (first step of a call).
void LoadScript(FilterTable* filter, FrameInfo* frame);
// Frees the line table and forgets when the file was last looked at, so that
// the next call reads the script again.
void FreeScript();
// Runs the whole table once for this call.
void RunScript(FilterTable* filter, FrameInfo* frame);
