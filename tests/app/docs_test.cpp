// The script reference documents every command of the command table, with
// exactly the argument table the help prints, so a command cannot be added
// or changed without its documentation.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "help.h"
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
            EXPECT_NE(section.find("Example:\n\n```\n"), std::string::npos) << row.name;
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
        EXPECT_NE(cookbook.find("```\n" + script.str() + "```\n"), std::string::npos) << name;
    }
}

}  // namespace
