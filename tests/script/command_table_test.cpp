// The command table: what the executor, the checker and the help rely on.
#include "script/command_table.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

namespace {

std::set<std::string> AllNames() {
    std::set<std::string> names;
    for (const CommandTable* table : {&kVideoCommandTable, &kAudioCommandTable}) {
        for (int32_t i = 0; i < table->count; ++i)
            names.insert(table->rows[i].name);
    }
    return names;
}

TEST(CommandTable, NamesAreUniqueAcrossBothFiltersAndLookedUpInTheirOwn) {
    EXPECT_EQ(AllNames().size(), size_t(kVideoCommandTable.count + kAudioCommandTable.count));
    for (const CommandTable* table : {&kVideoCommandTable, &kAudioCommandTable}) {
        for (int32_t i = 0; i < table->count; ++i) {
            const CommandRow& row = table->rows[i];
            EXPECT_EQ(FindCommand(row.filter, row.name), &row) << row.name;
            EXPECT_EQ(FindAnyCommand(row.name), &row) << row.name;
            CommandFilter other =
                row.filter == CommandFilter::kVideo ? CommandFilter::kAudio : CommandFilter::kVideo;
            EXPECT_EQ(FindCommand(other, row.name), nullptr) << row.name;
        }
    }
    EXPECT_EQ(FindAnyCommand("Fill"), nullptr);  // lines are folded to lower case first
    EXPECT_EQ(FindAnyCommand("if"), nullptr);
}

TEST(CommandTable, EveryArgumentIsDescribedWithinTheLineLimit) {
    for (const CommandTable* table : {&kVideoCommandTable, &kAudioCommandTable}) {
        for (int32_t i = 0; i < table->count; ++i) {
            const CommandRow& row = table->rows[i];
            SCOPED_TRACE(row.name);
            EXPECT_NE(row.handler, nullptr);
            EXPECT_GT(std::strlen(row.purpose), 0u);
            EXPECT_LE(row.argument_count, kCommandArgumentLimit);
            EXPECT_LE(row.described, row.argument_count);
            std::set<std::string> seen;
            for (int32_t k = 0; k < row.described; ++k) {
                const CommandArgument& a = row.arguments[k];
                EXPECT_TRUE(seen.insert(a.name).second) << "argument named twice: " << a.name;
                EXPECT_GT(std::strlen(a.meaning), 0u) << a.name;
                EXPECT_GT(std::strlen(a.range), 0u) << a.name;
            }
            EXPECT_EQ(ArgumentAt(row, row.argument_count), nullptr);
        }
    }
}

// The texts a command reads as written: the loader and the checker must not
// treat these as expressions.
TEST(CommandTable, TextArgumentsAreExactlyTheNamesAndStrings) {
    struct Case {
        const char* command;
        int32_t text_argument;  // -1: none
    };
    const Case cases[] = {
        {"readimage", 1}, {"readvideo", 2}, {"a_readvideo", 2}, {"font", 0},    {"font2_rgb", 0},
        {"text", 4},      {"text2", 4},     {"fill", -1},       {"a_tone", -1}, {"copyframe", -1},
    };
    for (const Case& c : cases) {
        const CommandRow* row = FindAnyCommand(c.command);
        ASSERT_NE(row, nullptr) << c.command;
        for (int32_t k = 0; k < kCommandArgumentLimit; ++k) {
            EXPECT_EQ(IsTextArgument(*row, k), k == c.text_argument) << c.command << " " << k;
        }
    }
    // text2's fifteen values share one description.
    const CommandRow* text2 = FindAnyCommand("text2");
    EXPECT_EQ(text2->argument_count, 20);
    EXPECT_EQ(ArgumentAt(*text2, 19), ArgumentAt(*text2, 5));
}

}  // namespace
