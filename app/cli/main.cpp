// The kinetra program: `kinetra COMMAND [arguments]`; see UsageText.
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#ifdef __linux__
#include <sys/prctl.h>
#endif

#include "checker/check.h"
#include "demo/demo.h"
#include "cli/help.h"
#include "cli/options.h"
#include "render/render.h"
#include "base/stop_signals.h"
#include "cli/version.h"

namespace {

// `kinetra help`: the program's commands and the script's; `help NAME`: a
// program command's help, or a script command's arguments.
int ShowHelp(const std::string& topic, bool markdown) {
    if (topic.empty()) {
        std::fputs((UsageText() + "\n" + CommandListText()).c_str(), stdout);
        return kExitOk;
    }
    std::string text = markdown ? std::string() : CommandHelpText(topic);
    if (text.empty()) return RunScriptHelp(topic, markdown) == 0 ? kExitOk : kExitUsage;
    std::fputs(text.c_str(), stdout);
    return kExitOk;
}

}  // namespace

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
    std::vector<std::string> args(argv + 1, argv + argc);
    Command command;
    std::string error;
    if (!ParseCommandLine(args, &command, &error)) {
        std::string help =
            command.name.empty() ? "kinetra help" : "kinetra " + command.name + " --help";
        std::fprintf(stderr, "kinetra: %s\nsee '%s'\n", error.c_str(), help.c_str());
        return kExitUsage;
    }
    try {
        switch (command.kind) {
            case CommandKind::kUsage:
                // A bare `kinetra` is a wrong use like any other: the usage
                // goes to standard error with status 2.
                std::fputs(UsageText().c_str(), stderr);
                return kExitUsage;
            case CommandKind::kHelp:
                return ShowHelp(command.topic, command.markdown);
            case CommandKind::kVersion:
                std::fputs(VersionText(command.plugin).c_str(), stdout);
                return kExitOk;
            case CommandKind::kRender:
                return RunRender(command.render);
            case CommandKind::kCheck:
                return RunCheck(command.check);
            case CommandKind::kDemo:
                return RunDemo(command.demo);
            case CommandKind::kPreview:
                return RunPreview(command.preview);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kinetra: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kinetra: %s\n", e.what());
    }
    return kExitFailure;
}
