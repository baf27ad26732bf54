// Run-time failures of script lines: the first failure of each line (an
// argument that fails to evaluate, a file that cannot be opened) is kept as a
// report until the host takes it (KinetraTakeRunFailures, src/host). The line
// itself behaves as it always has.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

// Reports waiting for the host at most; when it never takes them, later
// failures are not kept (and their lines stay unreported, to be reported when
// there is room again).
constexpr int32_t kPendingRunFailures = 64;

// Argument k (0-based) of line `line` failed to evaluate at `frame`; for
// "if" and assignments argument 0 is the condition or the value. Arguments
// the line's command reads as text are not reported.
void ReportArgumentFailure(int32_t line, int32_t k, int32_t frame);

// Line `line` could not open the file it names (`name` as the line gives it).
void ReportFileFailure(int32_t line, const char* name, int32_t frame);

// Moves up to `capacity` waiting reports into `out`, oldest first.
int32_t TakeRunFailures(KinetraRunFailure* out, int32_t capacity);

// Forgets the waiting reports (when the plug-in is released).
void ClearRunFailures();
