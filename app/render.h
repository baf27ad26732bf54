// `kinetra render`: runs the plug-in's video and audio filter on every frame
// of a source and encodes the result.
#pragma once

#include "options.h"

// Exit statuses of the program.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;

// Renders as the options say; returns the exit status. Failures are one line
// on standard error naming the file and the reason.
int RunRender(const RenderOptions& options);
