// Running the other programs a farm works through (sbatch, parallel, ffmpeg):
// by argument list, never through a shell, with what they print on standard
// output kept when asked for.
#pragma once

#include <string>
#include <vector>

// Runs `args` (args[0] looked up on PATH) and waits; returns its exit status,
// 128+N when a signal ended it, or -1 (with `error`) when it could not start.
// `output` (when given) gets its standard output; its standard error is ours.
int RunProgram(const std::vector<std::string>& args, std::string* output, std::string* error);

// The arguments as one shell command line, each quoted where it needs it.
std::string ShellCommand(const std::vector<std::string>& args);
// One argument quoted for the shell ('...' when it holds anything special).
std::string ShellQuote(const std::string& arg);
