// The exit statuses of the kinetra program, shared by every command that
// returns one (render, check, demo, preview) and by the command line itself.
#pragma once

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;  // a wrong use of the command line
// Stopped by Ctrl-C (128 + SIGINT); another stop signal N gives 128 + N.
constexpr int kExitInterrupted = 130;
