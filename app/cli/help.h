// `kinetra help`: the script commands, from the command table that the
// plug-in dispatches through, so the help never drifts from the code.
#pragma once

#include <cstdio>
#include <string>

struct CommandRow;

// Every command, grouped by family, one line each.
std::string CommandListText();
// One command: its call, its purpose and its argument table.
std::string CommandHelpText(const CommandRow& row);
// The call as written in a script: "fill(buffer, x, y, width, height, Y, Cb, Cr)".
std::string CommandCallText(const CommandRow& row);
// The argument table in Markdown, as the script reference shows it.
std::string ArgumentTableMarkdown(const CommandRow& row);

// `kinetra help [NAME] [--markdown]` on a script command, written to `out`:
// 0, or 1 with a message on `err` for an unknown name.
int RunScriptHelp(const std::string& name, bool markdown, FILE* out, FILE* err);
