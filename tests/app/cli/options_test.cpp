// The command line and the progress line.
#include <gtest/gtest.h>

#include <sstream>

#include "cli/options.h"
#include "render/progress.h"

namespace {

std::vector<std::string> Split(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    std::string w;
    while (in >> w)
        words.push_back(w);
    return words;
}

TEST(CommandLine, RenderSettingsAreRead) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(Split("render in.mp4 -o out.mkv --frames 5-20 --show 3 --var a=10 "
                                       "--var=z=4096 --threads 3 --quiet --lossless --crf 30 "
                                       "--preset fast --no-audio --plugin /p/k.auf"),
                                 &c, &error))
        << error;
    EXPECT_EQ(c.kind, CommandKind::kRender);
    const RenderSettings& r = c.render;
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
    EXPECT_TRUE(r.encode.lossless);
    EXPECT_FALSE(r.encode.audio);
    EXPECT_EQ(r.encode.crf, 30);
    EXPECT_EQ(r.encode.preset, "fast");
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
        {"render a -o b -y -n", "contradict"},
        {"render a -o b --no-overwrite --overwrite", "contradict"},
        {"demo a b", "one directory"},
        {"demo --threads x", "--threads takes"},
        {"paint", "unknown command"},
        {"--paint", "unknown option '--paint'"},
        {"render a -o -", "needs a container: -f"},
        {"render a -o b --canvas 100", "--canvas takes WxH"},
        {"render a -o b --canvas 0x10", "--canvas takes WxH"},
        {"render a -o b --canvas 20000x10", "--canvas takes WxH"},
        {"render a -o b -b:v fast", "-b:v takes"},
        {"render a -o b -b:v 0", "-b:v takes"},
        {"render a -o b -c:v", "-c:v needs a value"},
        {"render a -o b -c:v lib/x264", "-c:v takes an encoder name"},
        {"render a -o b --crf 64", "--crf takes"},
        {"render a -o b -c:v libvpx-vp9 --preset a;b", "--preset takes"},
        {"help render demo", "help takes one"},
        {"--version extra", "--version takes no arguments"},
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
    // A bare `kinetra` is a wrong use: the usage, with status 2.
    ASSERT_TRUE(ParseCommandLine({}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kUsage);
}

TEST(CommandLine, EncoderPipeAndOverwriteOptions) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine(Split("render in.mkv -o - -f nut -c:v libx265 --acodec libopus "
                                       "--pix-fmt yuv422p10le -b:v 2.5M -b:a 192k --preset slow "
                                       "--canvas 1920x1080 -v -y"),
                                 &c, &error))
        << error;
    const RenderSettings& r = c.render;
    EXPECT_EQ(r.output, "-");
    EXPECT_EQ(r.encode.format, "nut");
    EXPECT_EQ(r.encode.video_codec, "libx265");
    EXPECT_EQ(r.encode.audio_codec, "libopus");
    EXPECT_EQ(r.encode.pixel_format, "yuv422p10le");
    EXPECT_EQ(r.encode.video_bitrate, 2500000);
    EXPECT_EQ(r.encode.audio_bitrate, 192000);
    EXPECT_EQ(r.encode.preset, "slow");
    EXPECT_EQ(r.canvas_width, 1920);
    EXPECT_EQ(r.canvas_height, 1080);
    EXPECT_TRUE(r.verbose);
    EXPECT_EQ(r.overwrite, Overwrite::kYes);
    EXPECT_EQ(r.encode.crf, -1);  // the encoder's own default unless given

    // The long spellings, "=" forms, -n, and a preset that only the chosen
    // encoder can judge (VP9's speed).
    ASSERT_TRUE(ParseCommandLine(Split("render in.mkv --output=o.webm --vcodec=libvpx-vp9 "
                                       "--format=webm --preset 5 -n"),
                                 &c, &error))
        << error;
    EXPECT_EQ(c.render.output, "o.webm");
    EXPECT_EQ(c.render.encode.video_codec, "libvpx-vp9");
    EXPECT_EQ(c.render.encode.format, "webm");
    EXPECT_EQ(c.render.encode.preset, "5");
    EXPECT_EQ(c.render.overwrite, Overwrite::kNo);
    ASSERT_TRUE(ParseCommandLine({"render", "in.mkv", "-o", "o.mp4"}, &c, &error));
    EXPECT_EQ(c.render.overwrite, Overwrite::kAsk);
    // After "--" a name that looks like an option is the source.
    ASSERT_TRUE(ParseCommandLine({"render", "-o", "o.mp4", "--", "-clip.mp4"}, &c, &error));
    EXPECT_EQ(c.render.source, "-clip.mp4");
}

TEST(CommandLine, HelpAndVersionForms) {
    struct Case {
        std::vector<std::string> args;
        CommandKind kind;
        const char* topic;
    };
    const Case cases[] = {
        {{"help"}, CommandKind::kHelp, ""},
        {{"-h"}, CommandKind::kHelp, ""},
        {{"--help"}, CommandKind::kHelp, ""},
        {{"help", "render"}, CommandKind::kHelp, "render"},
        {{"render", "--help"}, CommandKind::kHelp, "render"},
        {{"render", "a", "-o", "b", "-h"}, CommandKind::kHelp, "render"},
        {{"demo", "-h"}, CommandKind::kHelp, "demo"},
        {{"help", "a_tone"}, CommandKind::kHelp, "a_tone"},
        {{"--version"}, CommandKind::kVersion, ""},
        {{"-V", "--plugin", "/p.auf"}, CommandKind::kVersion, ""},
        {{}, CommandKind::kUsage, ""},
    };
    for (const Case& c : cases) {
        Command command;
        std::string error;
        ASSERT_TRUE(ParseCommandLine(c.args, &command, &error)) << c.args.size() << error;
        EXPECT_EQ(command.kind, c.kind) << (c.args.empty() ? "" : c.args[0]);
        EXPECT_EQ(command.topic, c.topic);
    }
    // Every command listed has its own help, and the usage names each.
    for (const std::string& name : CommandNames()) {
        EXPECT_NE(CommandHelpText(name).find("usage: kinetra " + name), std::string::npos) << name;
        EXPECT_NE(UsageText().find("kinetra " + name), std::string::npos) << name;
    }
    EXPECT_TRUE(CommandHelpText("paint").empty());
    // The render help lists the containers that work.
    for (const char* container : {".mp4", ".webm", ".mkv", ".wav", ".flac", ".mp3", ".m4a", "-o -"})
        EXPECT_NE(CommandHelpText("render").find(container), std::string::npos) << container;
}

TEST(CommandLine, BitRates) {
    struct Case {
        const char* text;
        int64_t bits;  // 0: refused
    };
    const Case cases[] = {
        {"800000", 800000}, {"800k", 800000}, {"2.5M", 2500000}, {"1G", 1000000000},
        {"192K", 192000},   {"0", 0},         {"-5M", 0},        {"5m", 0},
        {"k", 0},           {"", 0},          {"1e3", 0},        {"2000G", 0}};
    for (const Case& c : cases) {
        int64_t bits = 0;
        EXPECT_EQ(ParseBitRate(c.text, &bits), c.bits > 0) << c.text;
        if (c.bits > 0) {
            EXPECT_EQ(bits, c.bits) << c.text;
        }
    }
}

TEST(Progress, LogLinesAndClosingSummary) {
    EXPECT_EQ(FormatProgressLine(120, 300, 5.0), "frame 120/300 (40%), 24.0 fps, 0:05 elapsed");
    EXPECT_EQ(FormatProgressLine(1, 3, 3725.0), "frame 1/3 (33%), 0.0 fps, 1:02:05 elapsed");
    EXPECT_EQ(FormatSummary(300, 12.5, "out.mp4", 12345678),
              "300 frames in 12.5 s (24.0 fps), out.mp4, 12.3 MB");
    EXPECT_EQ(FormatSummary(1, 0.0, "standard output", -1),
              "1 frame in 0.0 s (0.0 fps), standard output");
    EXPECT_EQ(FormatSummary(9000, 125.0, "a.mkv", 999),
              "9000 frames in 2:05 (72.0 fps), a.mkv, 999 bytes");
    EXPECT_EQ(FormatSize(1500), "1.5 kB");
    EXPECT_EQ(FormatSize(2500000000LL), "2.5 GB");
}

// "help" is about the script's commands; "check" takes one script, source or folder.
TEST(CommandLine, ScriptHelpAndCheck) {
    Command c;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"help"}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kHelp);
    EXPECT_EQ(c.topic, "");
    ASSERT_TRUE(ParseCommandLine({"help", "fill", "--markdown"}, &c, &error));
    EXPECT_EQ(c.topic, "fill");
    EXPECT_TRUE(c.markdown);
    EXPECT_FALSE(ParseCommandLine({"help", "fill", "copy"}, &c, &error));
    ASSERT_TRUE(ParseCommandLine({"check"}, &c, &error));
    EXPECT_EQ(c.kind, CommandKind::kCheck);
    EXPECT_EQ(c.check, "");
    ASSERT_TRUE(ParseCommandLine({"check", "clip.mp4"}, &c, &error));
    EXPECT_EQ(c.check, "clip.mp4");
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
