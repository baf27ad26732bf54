// What the host needs to know of a script before rendering, read from its
// text without running it.
#pragma once

#include <string>

// True when a line of the script calls an audio command (a name beginning
// with "a_" followed by '('), read as the loader reads lines: a line that
// does not begin with a letter is ignored and spaces outside double quotes
// do not count. False for a missing file.
bool ScriptHasAudioCommands(const std::string& script_path);

// The same for one line of text (without its line feed).
bool LineCallsAudioCommand(const std::string& line);
