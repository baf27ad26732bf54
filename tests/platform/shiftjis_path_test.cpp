// Directory parts of paths: '/' on this platform, and the Shift-JIS rule that
// a Windows build uses with '\'.
#include <gtest/gtest.h>

#include <string>

#include "platform/platform.h"

namespace {

struct PathCase {
    const char* name;
    std::string path;
    size_t directory;  // bytes kept, trailing separator included
};

TEST(ShiftJisPaths, SecondBytesAreNeverSeparators) {
    const PathCase cases[] = {
        {"Plain", "C:\\video\\a.avi", 9},
        {"NoSeparatorKeepsTheFirstByte", "a.avi", 1},
        {"RootOnly", "\\a.avi", 1},
        // "ソ" and "表" end in 0x5C.
        {"SoInTheName", "C:\\\x83\x5C\\a.avi", 6},
        {"SoAtTheEndOfTheFileName", "C:\\d\\\x83\x5C.avi", 5},
        {"HyoTwice", "C:\\\x95\x5C\x95\x5C.avi", 3},
        // "ぁ" (0x82 0x9F) and "ん" (0x82 0xF1) end in a byte of the lead range;
        // the separator after them still counts.
        {"SeparatorAfterA", "C:\\\x82\x9F\\a.avi", 6},
        {"SeparatorAfterN", "C:\\d\\\x82\xF1\\a.avi", 8},
        {"SoThenN", "C:\\\x83\x5C\x82\xF1\\a.avi", 8},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(platform::ShiftJisDirectoryPartLength(c.path.c_str(), 260, '\\'), c.directory)
            << c.name;
    }
}

TEST(ShiftJisPaths, CapacityBoundsTheScan) {
    std::string path = "ab\\cd\\ef";
    EXPECT_EQ(platform::ShiftJisDirectoryPartLength(path.c_str(), 5, '\\'), 3u);
    // A lead byte in the last position within the capacity is read alone.
    std::string lead = "ab\\\x83\\";
    EXPECT_EQ(platform::ShiftJisDirectoryPartLength(lead.c_str(), 4, '\\'), 3u);
}

#ifdef _WIN32
TEST(WindowsPaths, TheSystemRuleIsTheShiftJisBackslashRule) {
    const PathCase cases[] = {
        {"Plain", "C:\\video\\a.avi", 9},
        {"SoInTheName", "C:\\\x83\x5C\\a.avi", 6},
        {"EqualsSignEndsInALeadByte", "C:\\\x81\x81\\a.avi", 6},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(platform::DirectoryPartLength(c.path.c_str(), 260), c.directory) << c.name;
    }
}
#else
TEST(PosixPaths, CutAfterTheLastSlashWhateverTheBytesBefore) {
    // UTF-8 "が" is E3 81 8C: read as Shift-JIS, 8C would take the '/' after it.
    const PathCase cases[] = {
        {"Plain", "/home/u/a.avi", 8},
        {"NameEndingInGa", "/home/\xE3\x81\x8C/a.avi", 10},
        {"NoSlash", "a.avi", 1},
        {"Root", "/a.avi", 1},
    };
    for (const PathCase& c : cases) {
        EXPECT_EQ(platform::DirectoryPartLength(c.path.c_str(), 260), c.directory) << c.name;
    }
}
#endif

}  // namespace
