// `kinetra --version`: the program's version, the FFmpeg libraries it runs
// with and the plug-in it would load.
#pragma once

#include <string>

// The program's version ("0.1.0").
const char* ProgramVersion();

// The lines `kinetra --version` prints; `plugin` is --plugin when given.
std::string VersionText(const std::string& plugin);
