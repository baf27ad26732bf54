// Finding the script and the rule for reading it again. A section end beyond
// the project makes the loader ask the host for a longer project, so the
// host's set_timeline_length requests show when the file was read.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "script/script.h"
#include "script_support.h"
#include "support/test_host.h"
#include "support/test_platform.h"

using scripttest::InProcessPlugin;
using scripttest::NextClockSecond;
using testhost::JoinPath;
using testhost::MakeDirectory;
using testhost::TestHost;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string ScriptPath(const TestHost& host) {
    return JoinPath(host.directory(), "kinetra.txt");
}

TEST(ScriptReload, ChangeTakesEffectInALaterClockSecond) {
    TestHost host;
    InProcessPlugin plugin(&host);
    host.WriteScript("[0-500]\n");
    NextClockSecond();
    plugin.RunVideo(0);
    EXPECT_EQ(host.timeline_lengths, std::vector<int32_t>{500});

    host.frame_count = 100;  // undo the lengthening: only the file changes
    host.WriteScript("[0-600]\n");
    plugin.RunVideo(1);
    // Still the same clock second: the file was not looked at again.
    EXPECT_EQ(host.timeline_lengths, std::vector<int32_t>{500});
    NextClockSecond();
    plugin.RunAudio(1);  // whichever filter calls first
    EXPECT_EQ(host.timeline_lengths, (std::vector<int32_t>{500, 600}));
}

TEST(ScriptReload, OnlyANewWriteTimeOrProjectLengthRereadsTheFile) {
    TestHost host;
    InProcessPlugin plugin(&host);
    auto run = [&host, &plugin](int32_t length) {
        host.frame_count = length;
        NextClockSecond();
        plugin.RunVideo(0);
        host.frame_count = length;  // the host lengthened the project; put it back
    };
    host.WriteScript("[0-150]\n");
    run(100);
    EXPECT_EQ(host.timeline_lengths, std::vector<int32_t>{150});
    run(100);  // same file, same length
    EXPECT_EQ(host.timeline_lengths, std::vector<int32_t>{150});
    run(120);  // a new project length re-reads the unchanged file
    EXPECT_EQ(host.timeline_lengths, (std::vector<int32_t>{150, 150}));

    // A new version saved with the old last-write time goes unnoticed...
    int64_t before = 0;
    ASSERT_TRUE(testhost::GetWriteTime(ScriptPath(host), &before));
    host.WriteScript("[0-170]\n");
    ASSERT_TRUE(testhost::SetWriteTime(ScriptPath(host), before));
    run(120);
    EXPECT_EQ(host.timeline_lengths, (std::vector<int32_t>{150, 150}));
    // ...until the project length changes.
    run(130);
    EXPECT_EQ(host.timeline_lengths, (std::vector<int32_t>{150, 150, 170}));
}

TEST(ScriptReload, DefaultSectionEndFollowsTheProjectLength) {
    TestHost host;
    InProcessPlugin plugin(&host);
    host.WriteScript("[10]\ncopy(1)\n");
    plugin.Load();
    ASSERT_EQ(g_script.count, 1);
    EXPECT_EQ(g_script.lines[0].end, 100);
    host.frame_count = 120;
    NextClockSecond();
    plugin.Load();
    ASSERT_EQ(g_script.count, 1);
    EXPECT_EQ(g_script.lines[0].end, 120);
}

TEST(ScriptReload, MissingOrUnreadableFileKeepsTheLastScript) {
    TestHost host;
    InProcessPlugin plugin(&host);
    host.WriteScript("copy(1)\ncopy(2)\n");
    plugin.Load();
    ASSERT_EQ(g_script.count, 2);

    ASSERT_EQ(std::remove(ScriptPath(host).c_str()), 0);
    NextClockSecond();
    plugin.Load();
    ASSERT_EQ(g_script.count, 2);
    EXPECT_STREQ(g_script.lines[1].args[0].text, "2");

    // Something that cannot be read as a file stands in its place.
    ASSERT_TRUE(MakeDirectory(ScriptPath(host)));
    NextClockSecond();
    plugin.Load();
    EXPECT_EQ(g_script.count, 2);

    EXPECT_EQ(platform::OpenRegularFile(ScriptPath(host).c_str()), nullptr);
    ASSERT_TRUE(testhost::RemoveEmptyDirectory(ScriptPath(host)));
#ifndef _WIN32
    // A FIFO that no one writes is refused, never waited on.
    ASSERT_EQ(mkfifo(ScriptPath(host).c_str(), 0644), 0);
    EXPECT_EQ(platform::OpenRegularFile(ScriptPath(host).c_str()), nullptr);
    NextClockSecond();
    plugin.Load();
    EXPECT_EQ(g_script.count, 2);
    ASSERT_EQ(std::remove(ScriptPath(host).c_str()), 0);
#endif
    host.WriteScript("copy(3)\n");
    NextClockSecond();
    plugin.Load();
    ASSERT_EQ(g_script.count, 1);
    EXPECT_STREQ(g_script.lines[0].args[0].text, "3");
}

// The loaded table keeps what the parser cut, text for text, at every length
// up to the 511-byte limit, with each section's condition shared by its lines.
TEST(ScriptStorage, LoadedLinesKeepWhatTheParserCut) {
    const std::string longest = "copy(" + std::string(504, '7') + ")\n";  // 511 bytes
    const std::string script =
        "[10-20]\ncopy(1, 2, , \"a, b\")\nA = f*2\n[\"f > 3\"]\n"
        "if f > 3 goto :End\nfill(" +
        std::string(19, ',') +
        "9)\n"
        ":end\ngoto:END\nif(1, copy)\n" +
        longest + ":x\nk=1/0\n";
    TestHost host;
    InProcessPlugin plugin(&host);
    host.WriteScript(script);
    plugin.Load();
    std::vector<ParsedLine> parsed = scripttest::ParseText(script);
    ASSERT_EQ(g_script.count, int32_t(parsed.size()));
    for (int32_t i = 0; i < g_script.count; ++i) {
        const ScriptLine& line = g_script.lines[i];
        const ParsedLine& expected = parsed[size_t(i)];
        EXPECT_EQ(line.start, expected.start) << i;
        EXPECT_EQ(line.end, expected.end) << i;
        EXPECT_EQ(line.jump, expected.jump) << i;
        EXPECT_STREQ(line.command, expected.command) << i;
        EXPECT_STREQ(line.condition != nullptr ? line.condition->text : "", expected.condition)
            << i;
        for (int k = 0; k < kScriptArgCount; ++k) {
            EXPECT_STREQ(k < line.arg_count ? line.args[k].text : "", expected.args[k])
                << i << " argument " << k;
        }
    }
    EXPECT_EQ(std::string(g_script.lines[7].args[0].text), std::string(504, '7'));
    EXPECT_EQ(g_script.lines[2].condition, g_script.lines[3].condition);
    EXPECT_EQ(g_script.lines[5].jump, 4);  // goto:END finds :end
    EXPECT_EQ(g_script.lines[6].jump, 0);  // if(1, copy) names the first copy line
    // Only lines a handler may take keep argument values.
    const bool keeps_values[] = {true, false, false, true, false, false, false, true, false, false};
    for (int32_t i = 0; i < g_script.count; ++i)
        EXPECT_EQ(g_script.lines[i].values != nullptr, keeps_values[i]) << i;
}

// Directory names whose bytes a careless scan misreads: UTF-8 "が" ends in
// 0x8C, a Shift-JIS lead byte; in Shift-JIS "ソ" and "表" end in 0x5C, the
// Windows separator, and "＝" (0x81 0x81) in a byte of the lead range.
#ifdef _WIN32
const char* const kTrickyDirectoryNames[] = {"clips\x83\x5C", "\x95\x5C\x8E\xA6", "a\x81\x81",
                                             "\x83\x5C\x83\x5C"};
#else
const char* const kTrickyDirectoryNames[] = {"clips\xE3\x81\x8C"};
#endif

TEST(ScriptLocation, DirectoryNamesWithTrickyBytes) {
    for (const char* name : kTrickyDirectoryNames) {
        TestHost host;
        const std::string directory = JoinPath(host.directory(), name);
        ASSERT_TRUE(MakeDirectory(directory)) << name;
        // Written with CR LF line ends, as a Windows editor saves it.
        WriteFile(JoinPath(directory, "kinetra.txt"), "[0-300]\r\ncopy(1, 2)\r\n");
        host.WriteScript("[0-200]\n");  // the parent's script must not be read
        host.set_source_path(JoinPath(directory, "source.avi"));
        host.RunVideo(0);
        EXPECT_EQ(host.timeline_lengths, std::vector<int32_t>{300}) << name;

        TestHost other;
        other.set_source_path(JoinPath(directory, "source.avi"));
        InProcessPlugin plugin(&other);
        plugin.Load();
        EXPECT_EQ(std::string(g_script_directory), JoinPath(directory, "")) << name;
        EXPECT_EQ(g_project_audio_rate, 48000);
        ASSERT_EQ(g_script.count, 1) << name;
        EXPECT_STREQ(g_script.lines[0].command, "copy") << name;
        EXPECT_STREQ(g_script.lines[0].args[1].text, "2") << name;
        EXPECT_EQ(g_script.lines[0].end, 300) << name;
    }
}

TEST(ScriptLocation, ScriptPathOf260BytesOrMoreIsNotRead) {
    TestHost host;
    const std::string base = JoinPath(host.directory(), "");
    // Directories of 248 and 249 bytes: script paths of 259 and 260 bytes.
    for (size_t length : {size_t(248), size_t(249)}) {
        std::string name = base + std::string(length - base.size() - 1, 'd');
        std::string directory = JoinPath(name, "");
        ASSERT_EQ(directory.size(), length);
        ASSERT_TRUE(MakeDirectory(name));
        WriteFile(directory + "kinetra.txt", "copy(1)\n");
        host.set_source_path(directory + "source.avi");
        InProcessPlugin plugin(&host);
        plugin.Load();
        EXPECT_EQ(std::string(g_script_directory), directory) << length;
        EXPECT_EQ(g_script.count, length == 248 ? 1 : 0) << length;
    }
}

}  // namespace
