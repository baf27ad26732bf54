// UTF-8 scripts: which files are read as UTF-8, how the loader's scans step
// over their characters, and files that start with a byte-order mark.
#include "script/encoding.h"

#include <gtest/gtest.h>

#include <string>

#include "script_support.h"
#include "support/test_host.h"

using scripttest::InProcessPlugin;
using scripttest::NextClockSecond;
using scripttest::ParseText;

namespace {

TEST(ScriptEncoding, Utf8OnlyWhenValidWithAMultiByteSequence) {
    struct Case {
        const char* name;
        std::string bytes;
        ScriptEncoding expected;
    };
    const Case cases[] = {
        {"plain ascii", "fill(0,0,0,w,h,0,0,0)\n", ScriptEncoding::kShiftJis},
        {"empty", "", ScriptEncoding::kShiftJis},
        {"accented latin", "text(0,0,0,2,\"Caf\xc3\xa9\")\n", ScriptEncoding::kUtf8},
        {"kana and a four-byte emoji", "\xe3\x81\x82 \xf0\x9f\x98\x80", ScriptEncoding::kUtf8},
        {"shift-jis kana", "text(0,0,0,2,\"\x82\xa0\")\n", ScriptEncoding::kShiftJis},
        {"shift-jis that starts like utf-8", "\xe3\x81\x82\x82\xa0", ScriptEncoding::kShiftJis},
        {"overlong slash", "\xc0\xaf", ScriptEncoding::kShiftJis},
        {"surrogate", "\xed\xa0\x80", ScriptEncoding::kShiftJis},
        {"above U+10FFFF", "\xf4\x90\x80\x80", ScriptEncoding::kShiftJis},
        {"cut at the end", "ok \xe3\x81", ScriptEncoding::kShiftJis},
        {"utf-8 mark before ascii",
         "\xef\xbb\xbf"
         "copy(1)\n",
         ScriptEncoding::kUtf8},
    };
    for (const Case& c : cases) {
#ifdef _WIN32
        // The Windows build reads every script as Shift-JIS.
        EXPECT_EQ(DetectScriptEncoding(c.bytes.data(), c.bytes.size()), ScriptEncoding::kShiftJis)
            << c.name;
#else
        EXPECT_EQ(DetectScriptEncoding(c.bytes.data(), c.bytes.size()), c.expected) << c.name;
#endif
    }
}

class EncodingScan : public ::testing::Test {
  protected:
    void TearDown() override { g_script_encoding = ScriptEncoding::kShiftJis; }
};

// "あ" is E3 81 82 in UTF-8: read as Shift-JIS, its last byte would pair with
// the byte after it and hide a backslash or a capital from the scans.
TEST_F(EncodingScan, Utf8ScansStepOverWholeCharacters) {
    const std::string a = "\xe3\x81\x82";
    g_script_encoding = ScriptEncoding::kUtf8;
    auto lines = ParseText("text(0,0,0,2,\"" + a + "\\\"x\")\n:" + a + "A\ngoto:" + a + "a\n");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(std::string(lines[0].args[4]), a + "\"x");
    EXPECT_EQ(lines[2].jump, 1);  // labels fold ASCII case after a UTF-8 character

    g_script_encoding = ScriptEncoding::kShiftJis;
    lines = ParseText(":" + a + "A\ngoto:" + a + "a\n");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].jump, -1);  // the same bytes as Shift-JIS: 82 41 is one character
}

// A UTF-8 mark is stepped over (the first line runs) and says UTF-8; a file
// that starts with a UTF-16 mark runs no line at all, not even the script
// that ran before it was saved so.
TEST(ScriptEncoding, ByteOrderMarks) {
    struct Case {
        const char* name;
        std::string bytes;
        ByteOrderMark mark;
        int32_t records;
    };
    const std::string copy_le(
        "c\0o\0p\0y\0(\0"
        "1\0)\0\n\0",
        16);
    const std::string copy_be(
        "\0c\0o\0p\0y\0(\0"
        "1\0)\0\n",
        16);
    const Case cases[] = {
        {"none", "copy(1)\ncopy(2)\n", ByteOrderMark::kNone, 2},
        {"utf-8",
         "\xef\xbb\xbf"
         "copy(1)\ncopy(2)\n",
         ByteOrderMark::kUtf8, 2},
        {"utf-8 mark alone", "\xef\xbb\xbf", ByteOrderMark::kUtf8, 0},
        {"utf-16 little-endian", "\xff\xfe" + copy_le, ByteOrderMark::kUtf16, 0},
        {"utf-16 big-endian", "\xfe\xff" + copy_be, ByteOrderMark::kUtf16, 0},
        {"half a utf-8 mark",
         "\xef\xbb"
         "copy(1)\n",
         ByteOrderMark::kNone, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindByteOrderMark(c.bytes.data(), c.bytes.size()), c.mark) << c.name;
        testhost::TestHost host;
        InProcessPlugin plugin(&host);
        host.WriteScript("copy(9)\n");
        plugin.Load();
        ASSERT_EQ(g_script.count, 1) << c.name;
        host.WriteScript(c.bytes);
        NextClockSecond();
        plugin.Load();
        ASSERT_EQ(g_script.count, c.records) << c.name;
        if (c.records > 0) {
            EXPECT_STREQ(g_script.lines[0].command, "copy") << c.name;
            EXPECT_EQ(g_script.lines[0].source_line, 1) << c.name;
        }
    }
}

}  // namespace
