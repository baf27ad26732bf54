// Script text as a terminal shows it: UTF-8 from either encoding, with
// control characters and stray bytes written out, never passed through.
#include "base/shown_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ShownText, ConvertedToUtf8AndEveryControlWrittenOut) {
    const struct {
        const char* name;
        std::string text;
        bool utf8;
        std::string shown;
    } cases[] = {
        {"ascii", "fill(0,0,0,w,h)", false, "fill(0,0,0,w,h)"},
        {"shift-jis kana and backslash", "\x82\xa0\\n", false, "\xe3\x81\x82\\n"},
        {"half-width kana", "\xb1", false, "\xef\xbd\xb1"},
        {"lead byte cut at the end", "ok\x82", false, "ok\\x82"},
        {"lead byte before a control", "\x82\x1b[2J", false, "\\x82\\x1b[2J"},
        {"unmapped byte", "a\xa0z", false, "a\\xa0z"},
        {"terminal title", "\x1b]0;title\x07", true, "\\x1b]0;title\\x07"},
        {"tab kept, carriage return and DEL not", "a\tb\rc\x7f", true, "a\tb\\x0dc\\x7f"},
        {"C1 control",
         "x\xc2\x9b"
         "2J",
         true, "x\\u009b2J"},
        {"utf-8 kept", "Caf\xc3\xa9 \xf0\x9f\x98\x80", true, "Caf\xc3\xa9 \xf0\x9f\x98\x80"},
        {"bytes that are no utf-8", "\xc0\xaf\xed\xa0\x80", true, "\\xc0\\xaf\\xed\\xa0\\x80"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ShownScriptText(c.text, c.utf8), c.shown) << c.name;
}

}  // namespace
