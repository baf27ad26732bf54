// The kinetra program: `kinetra COMMAND [arguments]`; see UsageText. main sets
// up the process and hands the arguments to RunCommandLine.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "base/stop_signals.h"
#include "cli/program.h"

int main(int argc, char** argv) {
    // Before any work, so that a stop asked for at once is handled cleanly.
    InstallStopSignals();
    // A reader that closes its end of a pipe early is a write error, reported
    // as such, rather than a silent death by signal.
    signal(SIGPIPE, SIG_IGN);
    return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
