// The script's line grammar: how each kind of line becomes a record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "script/loader.h"
#include "script/script.h"
#include "script_support.h"

using scripttest::ParseText;
using scripttest::ReadPieces;

namespace {

// ---- reading lines --------------------------------------------------------

struct PieceCase {
    const char* name;
    std::string text;
    std::vector<std::string> pieces;
};

TEST(ScriptPieces, ReadLikeTextModeInPiecesOf511Bytes) {
    const std::string x510(510, 'x'), x511(511, 'x');
    const PieceCase cases[] = {
        {"LfLines", "ab\ncd\n", {"ab\n", "cd\n"}},
        {"CrLfBecomesLf", "ab\r\ncd\r\n", {"ab\n", "cd\n"}},
        {"LoneCrStays", "ab\rcd\r", {"ab\rcd\r"}},
        {"LastLineWithoutLf", "ab\ncd", {"ab\n", "cd"}},
        {"BlankLines", "a\n\n\r\nb", {"a\n", "\n", "\n", "b"}},
        {"LongLineIsCut",
         std::string(600, 'y') + "\n",
         {std::string(511, 'y'), std::string(89, 'y') + "\n"}},
        {"CrLfAtTheLimitIsOneByte", x510 + "\r\nz", {x510 + "\n", "z"}},
        {"LfAfterAFullPiece", x511 + "\r\n", {x511, "\n"}},
        {"Empty", "", {}},
    };
    for (const PieceCase& c : cases) {
        EXPECT_EQ(ReadPieces(c.text), c.pieces) << c.name;
    }
}

// ---- one line -------------------------------------------------------------

struct LineCase {
    const char* name;
    std::string line;
    const char* command;  // null: the line makes no record
    std::vector<std::string> args;
};

// Shift-JIS "ソ" and "表": their second byte is a backslash. "ん" ends in
// 0xF1, a byte in the lead-byte range.
#define SO "\x83\x5C"
#define HYO "\x95\x5C"
#define N_ "\x82\xF1"

std::string Arguments(int count) {
    std::string list;
    for (int k = 0; k < count; ++k)
        list += (k ? "," : "") + std::to_string(k);
    return list;
}

TEST(ScriptLineGrammar, EachKindOfLine) {
    const LineCase cases[] = {
        // Commands.
        {"CommandFoldedToLowerCase", "COPY(1, 2)\n", "copy", {"1", "2"}},
        {"SpacesInTheNameRemoved", "co py(1,2)\n", "copy", {"1", "2"}},
        {"NameOfLettersDigitsUnderscoreDash", "Fill2_RGB-x(1)\n", "fill2_rgb-x", {"1"}},
        {"TabsStay", "copy(1,\t2)\n", "copy", {"1", "\t2"}},
        {"NestedParenthesesStay", "copy((1 + 2) * 3, 4)\n", "copy", {"(1+2)*3", "4"}},
        {"EmptyList", "swapbuf()\n", "swapbuf", {}},
        {"TextAfterTheListIgnored", "copy(1)junk(2)\n", "copy", {"1"}},
        {"TwentyArguments",
         "copy(" + Arguments(20) + ")\n",
         "copy",
         {"0",  "1",  "2",  "3",  "4",  "5",  "6",  "7",  "8",  "9",
          "10", "11", "12", "13", "14", "15", "16", "17", "18", "19"}},
        {"TwentyOneArgumentsDropTheLine", "copy(" + Arguments(21) + ")\n", nullptr, {}},
        {"UnclosedListDropsTheLine", "copy(1,2\n", nullptr, {}},
        {"NoParenthesisDropsTheLine", "copy 1,2\n", nullptr, {}},
        // Quotes.
        {"QuotedCommaStays", "text(2, \"a, b\", 3)\n", "text", {"2", "a, b", "3"}},
        {"QuotedParenthesisClosesTheList", "text(2, \"a)\", 3)\n", "text", {"2", "a"}},
        {"EscapedQuotes",
         "text(2, \"say \\\"hi there\\\" ok\")\n",
         "text",
         {"2", "say \"hithere\" ok"}},
        {"QuotesAroundAFileName",
         "readvideo(2, f, \"my clip.avi\")\n",
         "readvideo",
         {"2", "f", "my clip.avi"}},
        // Shift-JIS second bytes are neither escapes nor anything else.
        {"SoBeforeClosingQuote", "text(2, \"" SO "\")\n", "text", {"2", SO}},
        {"HyoBeforeClosingQuote", "text(2,\"" HYO "\",5)\n", "text", {"2", HYO, "5"}},
        {"SpacedShiftJisInQuotes", "text(2, \"" SO " " HYO "\")\n", "text", {"2", SO " " HYO}},
        {"EscapeAfterATwoByteCharacter", "text(2, \"" N_ "\\\"\")\n", "text", {"2", N_ "\""}},
        // Assignments.
        {"Assignment", "A = f * 2\n", "A=", {"f*2"}},
        {"LowerCaseAssignment", "k=k+1\n", "k=", {"k+1"}},
        // Jumps and labels.
        {"Label", ":Loop\n", ":Loop", {}},
        {"Goto", "goto :End\n", "goto", {"", ":End"}},
        {"GotoAnyCase", "GoTo:x\n", "goto", {"", ":x"}},
        {"IfKeepsSpacesInTheExpression", "if f > 3 goto :end\n", "if", {"f > 3", ":end"}},
        {"IfAnyCase", "IF f GOTO :x\n", "if", {"f", ":x"}},
        {"IfLabelEndsAtASpace", "if 1 goto :x :y\n", "if", {"1", ":x"}},
        {"IfLabelFromTheFirstColonAfterGoto", "if a:b goto :x\n", "if", {"a:b", ":x"}},
        {"IfWithoutColonStoresNothing", "if f goto end\n", nullptr, {}},
        {"IfWithoutGotoStoresNothing", "if f :x\n", nullptr, {}},
        // Lines that are not read at all.
        {"Comment", "# copy(1)\n", nullptr, {}},
        {"Indented", " copy(1)\n", nullptr, {}},
        {"TabIndented", "\tcopy(1)\n", nullptr, {}},
        {"DigitFirst", "1copy(1)\n", nullptr, {}},
        {"Blank", "\n", nullptr, {}},
    };
    for (const LineCase& c : cases) {
        std::vector<ParsedLine> lines = ParseText(c.line);
        if (c.command == nullptr) {
            EXPECT_TRUE(lines.empty()) << c.name;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << c.name;
        const ParsedLine& line = lines[0];
        EXPECT_STREQ(line.command, c.command) << c.name;
        for (int k = 0; k < kScriptArgCount; ++k) {
            std::string expected = k < int(c.args.size()) ? c.args[k] : "";
            EXPECT_EQ(std::string(line.args[k]), expected) << c.name << " argument " << k;
        }
    }
}

TEST(ScriptLineGrammar, ADroppedLineLeavesItsRecordZero) {
    ParseContext context;
    BeginParse(&context, 100, nullptr, nullptr);
    ParsedLine record;
    std::memset(&record, 0, sizeof record);
    std::string line = "copy(" + Arguments(21) + ")\n";
    EXPECT_FALSE(ParseScriptLine(line.c_str(), &context, &record));
    const char* bytes = reinterpret_cast<const char*>(&record);
    EXPECT_EQ(std::string(bytes, sizeof record), std::string(sizeof record, '\0'));
}

TEST(ScriptLineGrammar, LongLineIsReadAsSeveralLines) {
    // The first 511 bytes are a comment; the rest is a line of its own.
    std::vector<ParsedLine> lines = ParseText("#" + std::string(510, '-') + "copy(7)\n");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_STREQ(lines[0].command, "copy");
    EXPECT_STREQ(lines[0].args[0], "7");
}

TEST(ScriptLineGrammar, CrLfScriptMakesTheSameRecordsAsLf) {
    const std::string lf =
        "[10-20]\n"
        "copy(1, 2)\n"
        "[\"f > 3\"]\n"
        "if f > 3 goto :end\n"
        "A = f\n"
        "goto :end\n"
        ":end\n"
        "text(2, \"a b\")\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    std::vector<ParsedLine> a = ParseText(lf);
    std::vector<ParsedLine> b = ParseText(crlf);
    ASSERT_EQ(a.size(), 6u);
    ASSERT_EQ(b.size(), a.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a[i], &b[i], sizeof(ParsedLine)), 0) << "record " << i;
    }
    EXPECT_STREQ(b[5].args[1], "a b");
    EXPECT_STREQ(b[3].args[1], ":end");
    EXPECT_STREQ(b[1].condition, "f > 3");
}

// ---- sections -------------------------------------------------------------

struct SectionCase {
    const char* name;
    const char* header;
    int32_t start;
    int32_t end;
    const char* condition;
};

TEST(ScriptSections, RangesAndConditions) {
    // A project of 100 frames.
    const SectionCase cases[] = {
        {"Range", "[10-20]", 10, 20, ""},
        {"StartOnly", "[10]", 10, 100, ""},
        {"OpenEnd", "[10-]", 10, 100, ""},
        {"OpenStart", "[-20]", 0, 20, ""},
        {"Empty", "[]", 0, 100, ""},
        {"SpacesRemoved", "[ 10 - 20 ]", 10, 20, ""},
        {"AnyByteBetween", "[10_20]", 10, 20, ""},
        {"Condition", "[\"f > 3\"]", 0, 100, "f > 3"},
        {"UnclosedConditionKeepsTheLineFeed", "[\"f>3]", 0, 100, "f>3]\n"},
    };
    for (const SectionCase& c : cases) {
        std::vector<ParsedLine> lines = ParseText(std::string(c.header) + "\ncopy(1)\n");
        ASSERT_EQ(lines.size(), 1u) << c.name;
        EXPECT_EQ(lines[0].start, c.start) << c.name;
        EXPECT_EQ(lines[0].end, c.end) << c.name;
        EXPECT_STREQ(lines[0].condition, c.condition) << c.name;
    }
}

TEST(ScriptSections, ConditionKeepsTheRangeAndARangeClearsTheCondition) {
    std::vector<ParsedLine> lines =
        ParseText("copy(0)\n[5-6]\n[\"f\"]\ncopy(1)\n[7-8]\ncopy(2)\n:label\nA=1\n");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].start, 0);
    EXPECT_EQ(lines[0].end, 100);
    EXPECT_EQ(lines[1].start, 5);
    EXPECT_EQ(lines[1].end, 6);
    EXPECT_STREQ(lines[1].condition, "f");
    EXPECT_EQ(lines[2].start, 7);
    EXPECT_STREQ(lines[2].condition, "");
    // A label belongs to no section.
    EXPECT_EQ(lines[3].start, 0);
    EXPECT_EQ(lines[3].end, 0);
    EXPECT_EQ(lines[4].start, 7);
    EXPECT_EQ(lines[4].end, 8);
}

std::vector<int32_t> g_lengthen_requests;
int32_t RecordLengthen(void*, int32_t frames) {
    g_lengthen_requests.push_back(frames);
    return 1;
}

TEST(ScriptSections, EndBeyondTheProjectLengthensIt) {
    HostServices services;
    std::memset(&services, 0, sizeof services);
    services.set_timeline_length = RecordLengthen;
    g_lengthen_requests.clear();
    ParseText("[5-2000]\n[0-100]\n[7]\n[-101]\n", 100, &services);
    EXPECT_EQ(g_lengthen_requests, (std::vector<int32_t>{2000, 101}));
}

// ---- jumps ----------------------------------------------------------------

TEST(ScriptJumps, LabelsResolveWithoutRegardToCase) {
    std::vector<ParsedLine> lines = ParseText(
        ":Top\n"            // 0
        "goto:END\n"        // 1
        "if 1 goto :top\n"  // 2
        ":end\n"            // 3
        ":End\n"            // 4: a duplicate; the first wins
        "goto:nowhere\n"    // 5
        "copy(1, :top)\n"   // 6: not a jump
        ":"
        "\x83\x41"
        "\n"  // 7: ":ア"
        ":"
        "\x83\x61"
        "\n"  // 8: ":ヂ", which differs from ":ア" only in a second byte's case
        "goto:"
        "\x83\x61"
        "\n");  // 9
    ASSERT_EQ(lines.size(), 10u);
    EXPECT_EQ(lines[1].jump, 3);
    EXPECT_EQ(lines[2].jump, 0);
    EXPECT_EQ(lines[5].jump, -1);
    EXPECT_EQ(lines[6].jump, 0);
    EXPECT_EQ(lines[9].jump, 8);
}

}  // namespace
