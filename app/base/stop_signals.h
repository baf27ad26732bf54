// Stopping a render cleanly. SIGINT, SIGTERM and SIGHUP ask the render to
// stop after the frame in progress; the render then keeps what it finished
// under a name that says so and exits with 128 + the signal. A second signal
// while the first is being handled ends the program at once, removing the
// temporary output first. SIGXFSZ is ignored, so that a file-size limit makes
// a write fail with an error instead of killing the program.
#pragma once

#include <string>

// Installs the handlers (once; later calls do nothing). Signals that were
// ignored when the program started (nohup) stay ignored; the three signals
// are unblocked, so one that was already pending is handled right here.
void InstallStopSignals();

// The signal that asked to stop, or 0.
int StopSignal();
// Asks to stop as the signal would (observers, tests); 0 clears the request.
void RequestStop(int signal);

// The file that a second signal removes before ending the program; empty:
// none.
void SetEmergencyRemoval(const std::string& path);

// "SIGINT", "SIGTERM", ...; "signal N" for others.
std::string SignalName(int signal);
