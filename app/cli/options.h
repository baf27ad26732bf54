// The command line of the kinetra program: `kinetra COMMAND [arguments]`,
// one parser and one help text per command, and the program-wide options
// (--help, --version).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "demo/demo.h"
#include "farm/farm.h"
#include "farm/join.h"
#include "preview/preview_options.h"
#include "render/render.h"

// kUsage: `kinetra` alone, a wrong use that prints the usage and exits 2.
enum class CommandKind { kUsage, kHelp, kVersion, kRender, kDemo, kPreview, kCheck, kFarm, kJoin };

struct Command {
    CommandKind kind = CommandKind::kUsage;
    std::string name;           // the command word as given ("render"), for messages
    std::string topic;          // kHelp: the command or subject asked about; empty: all
    std::string plugin;         // kVersion: --plugin given before it
    bool markdown = false;      // kHelp on a script command: its argument table in Markdown
    std::string check;          // kCheck: source video, script or directory; empty: ./kinetra.txt
    bool check_strict = false;  // kCheck: --strict=warnings (warnings fail it too)
    RenderSettings render;
    DemoOptions demo;
    PreviewOptions preview;
    FarmOptions farm;
    JoinOptions join;
};

// Parses the arguments after the program name; false with a one-line
// `error` for a usage error (command->name then names the command whose
// help to point at, when one was recognised).
bool ParseCommandLine(const std::vector<std::string>& args, Command* command, std::string* error);

// The program's usage: every command with its one-line summary.
std::string UsageText();
// The full help of one command ("render"), or empty when there is none.
std::string CommandHelpText(const std::string& name);
// The commands `kinetra help` lists, in order.
std::vector<std::string> CommandNames();

// The slider index of a variable letter (a b c d u v x y z -> 1..9), or -1.
int32_t SliderOfLetter(char letter);

// A bit rate such as 2500000, 2500k, 2.5M; false when malformed or not positive.
bool ParseBitRate(const std::string& text, int64_t* bits);
