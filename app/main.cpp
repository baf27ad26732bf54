// The kinetra program: `kinetra render`, `check`, `help` and `demo`.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "check.h"
#include "demo.h"
#include "help.h"
#include "options.h"
#include "render.h"

int main(int argc, char** argv) {
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
            case CommandKind::kCheck:
                return RunCheck(command.check.target);
            case CommandKind::kScriptHelp:
                return RunScriptHelp(command.script_help.name, command.script_help.markdown);
        }
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "kinetra: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kinetra: %s\n", e.what());
    }
    return kExitFailure;
}
