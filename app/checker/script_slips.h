// The slips a new script writer makes that the plug-in reads differently from
// what was meant, each told with its line and what to write instead: a
// command indented into a comment, a text with spaces outside quotes, colours
// on the 0..255 scale where the command reads 0..4096, an opacity or a level
// past its 0..1, and arguments left out so that the rest shift or the line
// does nothing. The checker (check.h) calls these for every line it reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checker/check.h"
#include "script/command_table.h"
#include "script/loader.h"

// The value of an expression made only of numbers and operators (no
// variables, functions or random numbers); false for anything else.
bool ConstantValue(const char* text, double* value);

// A line the loader takes for a comment because it starts with a space or a
// tab, though what follows is a command, a jump or a section header: a
// warning saying so, on `line`; nothing for any other line.
void FindIndentedCommand(int32_t line, const std::string& text, bool utf8,
                         std::vector<ScriptFinding>* out);

// The slips in the arguments of a command line the loader stored (`text` as
// read, `given` the arguments it has, at most the row's count): texts with
// spaces outside quotes, colours on the wrong scale, opacities and levels
// past 0..1.
void FindArgumentSlips(int32_t line, const std::string& text, const ParsedLine& record,
                       const CommandRow& row, int32_t given, bool utf8,
                       std::vector<ScriptFinding>* out);

// The finding for a command line with fewer arguments than the command
// reads (`given` < `needed`): which ones count as 0, and what follows: the
// line does nothing (an error), or the values given land on other arguments
// than meant (defocus, mosaic, font2, font2_rgb), or plainly which are 0.
ScriptFinding MissingArgumentsFinding(int32_t line, const CommandRow& row, int32_t given,
                                      int32_t needed);
