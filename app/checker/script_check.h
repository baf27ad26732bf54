// What the host checks of the script before it renders: that a script that
// is there can be read by the plug-in (a regular, readable file whose path
// fits the plug-in's 260-byte script path), how far its section headers
// lengthen the project, and which files its readvideo, a_readvideo and
// readimage lines name, and whether it makes sound. The lines are read with
// the plug-in's own loader.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ScriptFacts {
    bool exists = false;
    // The largest frame number that ends a section ([a-b], [-b]), where it
    // stands (line numbers from 1) and the header as written; 0: none.
    int64_t longest_end = 0;
    int32_t longest_end_line = 0;
    std::string longest_end_header;
    // The media and picture files the script names, against its directory.
    std::vector<std::string> media_files;
    // Some line runs an audio command (a_...).
    bool has_audio_commands = false;
};

// The longest script path the plug-in can form, in bytes.
constexpr size_t kPluginScriptPathLimit = 259;

// False with `error` (the reason, e.g. "cannot read the script (Is a
// directory)") when a script exists but cannot be used; a missing script is
// no error (`exists` false).
bool CheckScript(const std::string& script_path, ScriptFacts* facts, std::string* error);

// Looks at the script's text (`directory` ends with '/').
void ScanScript(const std::string& text, const std::string& directory, ScriptFacts* facts);
