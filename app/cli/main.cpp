// The kinetra program: `kinetra COMMAND [arguments]`; see UsageText. main sets
// up the process and hands the arguments to RunCommandLine.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "base/stop_signals.h"
#include "cli/program.h"

int main(int argc, char** argv) {
    // Before any work, so that a stop asked for at once is handled cleanly.
    InstallStopSignals();
    // A reader that closes its end of a pipe early is a write error, reported
    // as such, rather than a silent death by signal.
    signal(SIGPIPE, SIG_IGN);
#ifdef __linux__
    // Small pages only. The encoder asks for huge pages for its big buffers,
    // and the kernel then zeroes 2 MiB at a time on first touch (compacting
    // memory first where it is fragmented). Where fresh memory is expensive
    // to touch, as on virtual machines, that costs a render of a few minutes
    // more than the fewer address-cache misses win back, and it makes the
    // system time vary from run to run.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
#endif
    return RunCommandLine(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
