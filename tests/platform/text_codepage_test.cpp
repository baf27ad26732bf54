// The text engine's code pages: Shift-JIS and UTF-8 bytes into code points,
// and code points into UTF-8 for the font lookup.
#include "platform/text_codepage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<uint32_t> Decode(const std::string& text, int32_t capacity = 64) {
    std::vector<uint32_t> out(size_t(capacity) + 1, 0xFFFFFFFF);
    int32_t n = platform::DecodeText(text.c_str(), out.data(), capacity);
    EXPECT_EQ(out[size_t(capacity)], 0xFFFFFFFF);  // nothing written past the capacity
    out.resize(size_t(n));
    return out;
}

TEST(TextCodePage, ShiftJisDecodesWholeCharactersAndSkipsWhatItCannot) {
    ASSERT_TRUE(platform::OpenCodePages());
    struct Case {
        const char* name;
        std::string text;
        std::vector<uint32_t> code_points;
    };
    const Case cases[] = {
        {"ascii", "Ab&", {'A', 'b', '&'}},
        {"two-byte characters", "\x81\xa1\x83\x41\x95\x5c", {0x25A0, 0x30A2, 0x8868}},
        {"half-width katakana", "\xb1", {0xFF71}},
        {"control characters",
         "A\t\x01\x7f"
         "B",
         {'A', 'B'}},
        {"lead byte at the end", "A\x81", {'A'}},
        {"lead byte before a space", "\x81 A", {' ', 'A'}},
        {"empty", "", {}},
#ifndef _WIN32
        // Windows' table gives these bytes private-use characters.
        {"byte the code page lacks",
         "A\x80"
         "B",
         {'A', 'B'}},
        {"bytes above the lead range",
         "A\xfd\xfe\xff"
         "B",
         {'A', 'B'}},
        {"unassigned two-byte code",
         "A\x85\x40"
         "B",
         {'A', 'B'}},
#endif
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Decode(c.text), c.code_points) << c.name;
    }
    EXPECT_EQ(Decode("\x81\xa1"
                     "ABC",
                     2),
              (std::vector<uint32_t>{0x25A0, 'A'}))
        << "capacity";
    platform::CloseCodePages();
    EXPECT_TRUE(Decode("AB").empty()) << "closed";
}

TEST(TextCodePage, Utf8DecodesWellFormedSequencesOnly) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<uint32_t> code_points;
    };
    const Case cases[] = {
        {"every length", "A\xc3\xa9\xe3\x82\xa2\xf0\x9f\x98\x80", {'A', 0xE9, 0x30A2, 0x1F600}},
        {"control characters",
         "A\t\x7f\xc2\x85"
         "B",
         {'A', 0x85, 'B'}},
        {"overlong forms",
         "\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf"
         "A",
         {'A'}},
        {"surrogate",
         "\xed\xa0\x80"
         "A",
         {'A'}},
        {"past U+10FFFF",
         "\xf4\x90\x80\x80"
         "A",
         {'A'}},
        {"cut short by the end", "A\xe3\x82", {'A'}},
        {"cut short by ascii",
         "\xe3"
         "A\xe3\x82"
         "B",
         {'A', 'B'}},
        {"lone continuation bytes",
         "\x80\xbf"
         "A",
         {'A'}},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> out(16);
        out.resize(size_t(platform::DecodeUtf8(c.text.c_str(), out.data(), 16)));
        EXPECT_EQ(out, c.code_points) << c.name;
    }
    // DecodeText follows the code page set last.
    ASSERT_TRUE(platform::OpenCodePages());
    platform::SetTextCodePage(platform::TextCodePage::kUtf8);
    EXPECT_EQ(Decode("\xe3\x82\xa2"), (std::vector<uint32_t>{0x30A2}));
    platform::SetTextCodePage(platform::TextCodePage::kShiftJis);
    EXPECT_EQ(Decode("\x83\x41"), (std::vector<uint32_t>{0x30A2}));
    platform::CloseCodePages();
}

TEST(TextCodePage, Utf8EncodesEveryLengthAndStopsBeforeOverflow) {
    const uint32_t text[] = {'A', 0xE9, 0x30A2, 0x1F600};
    const std::string utf8 = "A\xc3\xa9\xe3\x82\xa2\xf0\x9f\x98\x80";
    struct Case {
        size_t capacity;
        std::string expected;
    };
    for (Case c : {Case{64, utf8}, Case{11, utf8}, Case{10, utf8.substr(0, 6)},
                   Case{3, utf8.substr(0, 1)}, Case{1, ""}}) {
        char out[64];
        std::memset(out, 'x', sizeof out);
        platform::EncodeUtf8(text, 4, out, c.capacity);
        EXPECT_EQ(std::string(out), c.expected) << c.capacity;
    }
}

}  // namespace
