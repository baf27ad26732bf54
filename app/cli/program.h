// The kinetra program as a function: `kinetra ARGS...` without the process
// set-up that main does, so that the command line's answers can be run and
// read in-process.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// Runs the program on the arguments after its name and returns its exit
// status. Help, version, usage and usage errors go to `out` and `err`; the
// commands (render, check, demo, preview) write to standard output and
// standard error as they always do.
int RunCommandLine(const std::vector<std::string>& args, FILE* out, FILE* err);
