// The command line and the progress line.
#include <gtest/gtest.h>

#include <sstream>

#include "options.h"
#include "progress.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

TEST(CommandLine, RenderOptionsAreRead) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(Split("render in.mp4 -o out.mkv --frames 5-20 --show 3 --var a=10 "
                                       "--var=z=4096 --threads 3 --quiet --lossless --crf 30 "
                                       "--preset fast --no-audio --plugin /p/k.auf"),
                                 &c, &error))
        << error;
    EXPECT_EQ(c.kind, CommandKind::kRender);
    const RenderOptions& r = c.render;
    EXPECT_EQ(r.source, "in.mp4");
    EXPECT_EQ(r.output, "out.mkv");
    EXPECT_EQ(r.first_frame, 5);
    EXPECT_EQ(r.last_frame, 20);
    ASSERT_EQ(r.sliders.size(), 3u);
    EXPECT_EQ(r.sliders[0], std::make_pair(0, 3));
    EXPECT_EQ(r.sliders[1], std::make_pair(1, 10));
    EXPECT_EQ(r.sliders[2], std::make_pair(9, 4096));
    EXPECT_EQ(r.threads, 3);
    EXPECT_TRUE(r.quiet);
    EXPECT_TRUE(r.lossless);
    EXPECT_FALSE(r.audio);
    EXPECT_EQ(r.crf, 30);
    EXPECT_EQ(r.preset, "fast");
    EXPECT_EQ(r.plugin, "/p/k.auf");
}

TEST(CommandLine, FrameRangesAndSliderLetters) {
    struct Case {
        const char* range;
        int32_t first, last;
    };
    const Case ranges[] = {{"0-0", 0, 0}, {"7", 7, 7}, {"12-", 12, -1}, {"3-9", 3, 9}};
    for (const Case& c : ranges) {
        Command command;
        std::string error;
        ASSERT_TRUE(
            ParseCommandLine({"render", "s", "-o", "o", "--frames", c.range}, &command, &error))
            << c.range << ": " << error;
        EXPECT_EQ(command.render.first_frame, c.first) << c.range;
        EXPECT_EQ(command.render.last_frame, c.last) << c.range;
    }
    const char letters[] = "abcduvxyz";
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(SliderOfLetter(letters[i]), i + 1) << letters[i];
    EXPECT_EQ(SliderOfLetter('e'), -1);
    EXPECT_EQ(SliderOfLetter('\0'), -1);
}

TEST(CommandLine, UsageErrorsAreRefusedWithAReason) {
    struct Case {
        const char* line;
        const char* message;
    };
    const Case cases[] = {
        {"render", "needs a SOURCE"},
        {"render a b -o c", "one SOURCE"},
        {"render a", "-o OUTPUT"},
        {"render a -o", "-o needs a value"},
        {"render a -o b --frames 9-3", "--frames takes"},
        {"render a -o b --frames x", "--frames takes"},
        {"render a -o b --frames -3", "--frames takes"},
        {"render a -o b --show 10", "--show takes"},
        {"render a -o b --show -1", "--show takes"},
        {"render a -o b --var e=1", "--var takes"},
        {"render a -o b --var a=4097", "--var takes"},
        {"render a -o b --var a=", "--var takes"},
        {"render a -o b --var a", "--var takes"},
        {"render a -o b --threads 0", "--threads takes"},
        {"render a -o b --crf 52", "--crf takes"},
        {"render a -o b --preset quick", "--preset takes"},
        {"render a -o b --fast", "unknown option '--fast'"},
        {"demo a b", "one directory"},
        {"demo --threads x", "--threads takes"},
        {"paint", "unknown command"},
    };
    for (const Case& c : cases) {
        Command command;
        std::string error;
        EXPECT_FALSE(ParseCommandLine(Split(c.line), &command, &error)) << c.line;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.line << ": " << error;
    }
}

TEST(CommandLine, DemoAndHelp) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"demo"}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kDemo);
    EXPECT_EQ(c.demo.directory, "kinetra-demo");
    ASSERT_TRUE(ParseCommandLine({"demo", "out/dir", "--quiet"}, &c, &error));
    EXPECT_EQ(c.demo.directory, "out/dir");
    EXPECT_TRUE(c.demo.quiet);
    for (const char* help : {"--help", "-h"}) {
        ASSERT_TRUE(ParseCommandLine({help}, &c, &error));
        EXPECT_EQ(c.kind, CommandKind::kHelp);
    }
    ASSERT_TRUE(ParseCommandLine({}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kHelp);
}

// "help" is about the script's commands; "check" takes one script, source or folder.
TEST(CommandLine, ScriptHelpAndCheck) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"help"}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kScriptHelp);
    EXPECT_EQ(c.script_help.name, "");
    ASSERT_TRUE(ParseCommandLine({"help", "fill", "--markdown"}, &c, &error));
    EXPECT_EQ(c.script_help.name, "fill");
    EXPECT_TRUE(c.script_help.markdown);
    EXPECT_FALSE(ParseCommandLine({"help", "fill", "copy"}, &c, &error));
    ASSERT_TRUE(ParseCommandLine({"check"}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kCheck);
    EXPECT_EQ(c.check.target, "");
    ASSERT_TRUE(ParseCommandLine({"check", "clip.mp4"}, &c, &error));
    EXPECT_EQ(c.check.target, "clip.mp4");
    EXPECT_FALSE(ParseCommandLine({"check", "a", "b"}, &c, &error));
    EXPECT_FALSE(ParseCommandLine({"check", "--bogus"}, &c, &error));
    ASSERT_TRUE(ParseCommandLine({"render", "in.mp4", "-o", "o.mp4", "--strict"}, &c, &error));
    EXPECT_TRUE(c.render.strict);
}

TEST(Progress, LineShowsFramesRateAndTimeLeft) {
    char line[160];
    FormatProgress(30, 120, 2.0, line, sizeof line);
    EXPECT_STREQ(line, " 25% [######                  ] 30/120 frames  15.0 fps  0:06 left");
    FormatProgress(0, 10, 0.0, line, sizeof line);
    EXPECT_STREQ(line, "  0% [                        ] 0/10 frames  0.0 fps  --:-- left");
    FormatProgress(10, 10, 5.0, line, sizeof line);
    EXPECT_STREQ(line, "100% [########################] 10/10 frames  2.0 fps  0:00 left");
}

}  // namespace
