// The kinetra program: `kinetra render` and `kinetra demo`.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "demo.h"
#include "options.h"
#include "render.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
    // Before any work, so that a stop asked for at once is handled cleanly.
    InstallStopSignals();
    std::vector<std::string> args(argv + 1, argv + argc);
    Command command;
    std::string error;
    if (!ParseCommandLine(args, &command, &error)) {
        std::fprintf(stderr, "kinetra: %s\n%s", error.c_str(), UsageText().c_str());
        return kExitUsage;
    }
    try {
        switch (command.kind) {
            case CommandKind::kHelp:
                std::fputs(UsageText().c_str(), stdout);
                return kExitOk;
            case CommandKind::kRender:
                return RunRender(command.render);
            case CommandKind::kDemo:
                return RunDemo(command.demo);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kinetra: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kinetra: %s\n", e.what());
    }
    return kExitFailure;
}
