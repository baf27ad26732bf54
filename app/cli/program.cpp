#include "cli/program.h"

#include <exception>
#include <new>

#include "base/exit_status.h"
#include "checker/check.h"
#include "cli/help.h"
#include "cli/options.h"
#include "cli/version.h"
#include "demo/demo.h"
#include "render/render.h"

namespace {

// `kinetra help`: the program's commands and the script's; `help NAME`: a
// program command's help, or a script command's arguments.
int ShowHelp(const std::string& topic, bool markdown, FILE* out, FILE* err) {
    if (topic.empty()) {
        std::fputs((UsageText() + "\n" + CommandListText()).c_str(), out);
        return kExitOk;
    }
    std::string text = markdown ? std::string() : CommandHelpText(topic);
    if (text.empty()) return RunScriptHelp(topic, markdown, out, err) == 0 ? kExitOk : kExitUsage;
    std::fputs(text.c_str(), out);
    return kExitOk;
}

int RunCommand(const Command& command, FILE* out, FILE* err) {
    switch (command.kind) {
        case CommandKind::kUsage:
            // A bare `kinetra` is a wrong use like any other: the usage goes
            // to standard error with status 2.
            std::fputs(UsageText().c_str(), err);
            return kExitUsage;
        case CommandKind::kHelp:
            return ShowHelp(command.topic, command.markdown, out, err);
        case CommandKind::kVersion:
            std::fputs(VersionText(command.plugin).c_str(), out);
            return kExitOk;
        case CommandKind::kRender:
            return RunRender(command.render);
        case CommandKind::kCheck:
            return RunCheck(command.check, command.check_strict);
        case CommandKind::kDemo:
            return RunDemo(command.demo);
        case CommandKind::kPreview:
            return RunPreview(command.preview);
        case CommandKind::kFarm:
            return RunFarm(command.farm);
        case CommandKind::kJoin:
            return RunJoin(command.join);
    }
    return kExitFailure;
}

}  // namespace

int RunCommandLine(const std::vector<std::string>& args, FILE* out, FILE* err) {
    Command command;
    std::string error;
    if (!ParseCommandLine(args, &command, &error)) {
        std::string help =
            command.name.empty() ? "kinetra help" : "kinetra " + command.name + " --help";
        std::fprintf(err, "kinetra: %s\nsee '%s'\n", error.c_str(), help.c_str());
        return kExitUsage;
    }
    try {
        return RunCommand(command, out, err);
    } catch (const std::bad_alloc&) {
        std::fprintf(err, "kinetra: out of memory\n");
    } catch (const std::exception& e) {
        std::fprintf(err, "kinetra: %s\n", e.what());
    }
    return kExitFailure;
}
