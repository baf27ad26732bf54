// The script reference documents every command of the command table, with
// exactly the argument table the help prints, so a command cannot be added
// or changed without its documentation; every script the documents show
// passes the checker.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "checker/check.h"
#include "cli/help.h"
#include "script/command_table.h"

namespace {

std::string ReadDoc(const std::string& name) {
    std::ifstream in(std::string(KINETRA_SOURCE_DIR) + "/docs/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(ScriptReference, DocumentsEveryCommandWithItsArgumentTable) {
    const std::string doc = ReadDoc("script.md");
    ASSERT_FALSE(doc.empty());
    for (const CommandTable* table : {&kVideoCommandTable, &kAudioCommandTable}) {
        for (int32_t i = 0; i < table->count; ++i) {
            const CommandRow& row = table->rows[i];
            const std::string heading = "#### `" + std::string(row.name) + "`\n";
            size_t at = doc.find(heading);
            ASSERT_NE(at, std::string::npos) << row.name << " has no section";
            size_t end = doc.find("\n#### ", at + heading.size());
            std::string section = doc.substr(at, end == std::string::npos ? end : end - at);
            EXPECT_NE(section.find("`" + CommandCallText(row) + "`"), std::string::npos)
                << row.name << ": the call line differs from the table";
            EXPECT_NE(section.find(ArgumentTableMarkdown(row)), std::string::npos)
                << row.name << ": the argument table differs from the command table";
            EXPECT_NE(section.find("Example:\n\n```kinetra\n"), std::string::npos) << row.name;
        }
    }
}

// Every example script appears in the cookbook exactly as it is in examples/.
TEST(Cookbook, ShowsEveryExampleAsItIs) {
    const std::string cookbook = ReadDoc("cookbook.md");
    ASSERT_FALSE(cookbook.empty());
    const char* examples[] = {
        "lower_third",     "picture_in_picture", "key_over_still", "blur_region", "moving_mosaic",
        "rotate_in_title", "posterized_look",    "tone_fade",      "reverse",     "frame_counter"};
    for (const char* name : examples) {
        std::ifstream in(std::string(KINETRA_SOURCE_DIR) + "/examples/" + name + "/kinetra.txt");
        std::ostringstream script;
        script << in.rdbuf();
        ASSERT_FALSE(script.str().empty()) << name;
        EXPECT_NE(cookbook.find("```kinetra\n" + script.str() + "```\n"), std::string::npos)
            << name;
    }
}

// Every script the documents show (a code block marked `kinetra`) passes
// `kinetra check`: no error and no warning but a file the reader has to
// supply or a font face this machine lacks.
TEST(ScriptReference, EveryScriptShownPassesTheCheck) {
    int32_t blocks = 0;
    for (const char* doc : {"script.md", "cookbook.md"}) {
        std::istringstream lines(ReadDoc(doc));
        std::string line, script;
        bool inside = false;
        int32_t first_line = 0, number = 0;
        while (std::getline(lines, line)) {
            ++number;
            if (!inside && line == "```kinetra") {
                inside = true;
                script.clear();
                first_line = number + 1;
            } else if (inside && line == "```") {
                inside = false;
                ++blocks;
                ScriptCheck check = CheckScriptText(script, "/nonexistent/kinetra.txt", {});
                for (const ScriptFinding& f : check.findings) {
                    bool supplied = f.message.find("does not exist") != std::string::npos ||
                                    f.message.find("is not installed") != std::string::npos;
                    EXPECT_TRUE(supplied)
                        << doc << ":" << first_line + f.line - 1 << ": " << f.message;
                }
            } else if (inside) {
                script += line + "\n";
            }
        }
        EXPECT_FALSE(inside) << doc << ": a block is never closed";
    }
    EXPECT_GT(blocks, 60);
}

// The arguments of a call line "name(a, b, ...)" split at top-level commas
// outside quotes, each without surrounding spaces; false when the line is
// not a call.
bool SplitCall(const std::string& line, std::string* name, std::vector<std::string>* args) {
    size_t open = line.find('(');
    if (open == std::string::npos || open == 0) return false;
    *name = line.substr(line.find_first_not_of(' '), open - line.find_first_not_of(' '));
    args->clear();
    std::string current;
    int depth = 0;
    bool quoted = false;
    for (size_t i = open + 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == '"') quoted = !quoted;
        if (!quoted && c == '(') ++depth;
        if (!quoted && c == ')' && depth-- == 0) {
            args->push_back(current);
            for (std::string& a : *args) {
                a.erase(0, a.find_first_not_of(' '));
                a.erase(a.find_last_not_of(' ') + 1);
            }
            return true;
        }
        if (!quoted && depth == 0 && c == ',') {
            args->push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    return false;
}

bool Constant(const std::string& text, double* value) {
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return !text.empty() && end == text.c_str() + text.size();
}

// Colours written as constants in the reference, the cookbook and the demo
// are colours a screen can show: R, G and B of a Y/Cb/Cr colour within
// 0..4096 (give or take the truncation), and R/G/B colours within 0..4096.
TEST(ScriptReference, ExampleColoursAreWithinRange) {
    std::ifstream demo_file(std::string(KINETRA_SOURCE_DIR) + "/app/demo/demo_script.txt");
    std::ostringstream demo;
    demo << demo_file.rdbuf();
    int32_t colours = 0;
    for (const std::string& text : {ReadDoc("script.md"), ReadDoc("cookbook.md"), demo.str()}) {
        std::istringstream lines(text);
        std::string line, name;
        std::vector<std::string> args;
        while (std::getline(lines, line)) {
            if (!SplitCall(line, &name, &args)) continue;
            const CommandRow* row = FindAnyCommand(name.c_str());
            if (row == nullptr) continue;
            for (int32_t k = 0; k + 2 < int32_t(args.size()); ++k) {
                const CommandArgument* a = ArgumentAt(*row, k);
                if (a == nullptr || ArgumentAt(*row, k + 2) == nullptr) break;
                std::string range = a->range;
                double v[3];
                if (!Constant(args[k], &v[0]) || !Constant(args[k + 1], &v[1]) ||
                    !Constant(args[k + 2], &v[2])) {
                    continue;
                }
                double rgb[3];
                if (range.rfind("0 black .. 4096 white", 0) == 0) {
                    rgb[0] = v[0] + 1.402 * v[2];
                    rgb[1] = v[0] - 0.344 * v[1] - 0.714 * v[2];
                    rgb[2] = v[0] + 1.772 * v[1];
                } else if (range.rfind("0..4096 (not 0..255)", 0) == 0 &&
                           std::string(a->name).back() == 'R') {
                    std::copy(v, v + 3, rgb);
                } else {
                    continue;
                }
                ++colours;
                for (double c : rgb) {
                    EXPECT_TRUE(c > -8 && c < 4104)
                        << line << ": R, G, B " << rgb[0] << ", " << rgb[1] << ", " << rgb[2];
                }
            }
        }
    }
    EXPECT_GT(colours, 10);
}

}  // namespace
