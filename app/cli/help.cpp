#include "cli/help.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "checker/check.h"
#include "script/command_table.h"

namespace {

const CommandTable* const kTables[] = {&kVideoCommandTable, &kAudioCommandTable};

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

// Rows of the argument table: one per described argument.
struct ArgumentLine {
    std::string number, name, meaning, unit, range;
};

std::vector<ArgumentLine> ArgumentLines(const CommandRow& row) {
    std::vector<ArgumentLine> lines;
    for (int32_t k = 0; k < row.described; ++k) {
        const CommandArgument& a = row.arguments[k];
        bool repeats = k == row.described - 1 && row.argument_count > row.described;
        std::string number = std::to_string(k + 1);
        if (repeats) number += ".." + std::to_string(row.argument_count);
        lines.push_back({number, a.name, a.meaning, a.unit, a.range});
    }
    return lines;
}

}  // namespace

std::string CommandCallText(const CommandRow& row) {
    std::string call = std::string(row.name) + "(";
    for (int32_t k = 0; k < row.described; ++k) {
        if (k > 0) call += ", ";
        call += row.arguments[k].name;
        if (k == row.described - 1 && row.argument_count > row.described) call += "...";
    }
    return call + ")";
}

std::string CommandListText() {
    // Families in the order of their first command; a family's commands may
    // be spread over the dispatch order.
    std::vector<std::string> families;
    for (const CommandTable* table : kTables) {
        for (int32_t i = 0; i < table->count; ++i) {
            const std::string family = table->rows[i].family;
            if (std::find(families.begin(), families.end(), family) == families.end()) {
                families.push_back(family);
            }
        }
    }
    std::string text =
        "Script commands (kinetra help NAME shows one; the reference is docs/script.md):\n";
    for (const std::string& family : families) {
        text += "\n" + family + ":\n";
        for (const CommandTable* table : kTables) {
            for (int32_t i = 0; i < table->count; ++i) {
                const CommandRow& row = table->rows[i];
                if (family == row.family) text += "  " + Padded(row.name, 14) + row.purpose + "\n";
            }
        }
    }
    return text;
}

std::string CommandHelpText(const CommandRow& row) {
    std::string text = CommandCallText(row) + "\n  " + row.purpose + " (" +
                       (row.filter == CommandFilter::kVideo ? "video" : "audio") + ", " +
                       row.family + ")\n";
    if (row.described == 0) return text + "  No arguments.\n";
    std::vector<ArgumentLine> lines = ArgumentLines(row);
    size_t w_number = 1, w_name = 8, w_meaning = 7, w_unit = 4;
    for (const ArgumentLine& l : lines) {
        w_number = std::max(w_number, l.number.size());
        w_name = std::max(w_name, l.name.size());
        w_meaning = std::max(w_meaning, l.meaning.size());
        w_unit = std::max(w_unit, l.unit.size());
    }
    auto line = [&](const std::string& n, const std::string& a, const std::string& m,
                    const std::string& u, const std::string& r) {
        return "  " + Padded(n, w_number + 2) + Padded(a, w_name + 2) + Padded(m, w_meaning + 2) +
               Padded(u, w_unit + 2) + r + "\n";
    };
    text += "\n" + line("#", "argument", "meaning", "unit", "range");
    for (const ArgumentLine& l : lines)
        text += line(l.number, l.name, l.meaning, l.unit, l.range);
    return text;
}

std::string ArgumentTableMarkdown(const CommandRow& row) {
    if (row.described == 0) return "No arguments.\n";
    std::string text = "| # | Argument | Meaning | Unit | Range |\n|---|---|---|---|---|\n";
    for (const ArgumentLine& l : ArgumentLines(row)) {
        text += "| " + l.number + " | `" + l.name + "` | " + l.meaning + " | " + l.unit + " | " +
                l.range + " |\n";
    }
    return text;
}

int RunScriptHelp(const std::string& name, bool markdown, FILE* out, FILE* err) {
    if (name.empty()) {
        std::fputs(CommandListText().c_str(), out);
        return 0;
    }
    const CommandRow* row = FindAnyCommand(name.c_str());
    if (row == nullptr) {
        std::string nearest = NearestCommandName(name);
        std::fprintf(err, "kinetra: no help on '%s'%s; see 'kinetra help'\n", name.c_str(),
                     nearest.empty() ? "" : (" (did you mean '" + nearest + "'?)").c_str());
        return 1;
    }
    std::fputs((markdown ? ArgumentTableMarkdown(*row) : CommandHelpText(*row)).c_str(), out);
    return 0;
}
