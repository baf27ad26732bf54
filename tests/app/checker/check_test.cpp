// The script checker: each kind of mistake found on its line, clean scripts
// clean, and `kinetra check` / `kinetra help` as a user runs them.
#include "checker/check.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "fixtures/clips.h"
#include "cli/help.h"
#include "demo/demo.h"
#include "script/command_table.h"
#include "checker/script_check.h"
#include "checker/segment_safety.h"

using apptest::TempDir;

namespace {

struct FindingCase {
    const char* name;
    std::string script;
    int32_t line;
    FindingSeverity severity;
    const char* says;  // part of the message
};

TEST(ScriptCheck, EachMistakeIsFoundOnItsLine) {
    const std::string long_line(600, 'x');
    const FindingCase cases[] = {
        {"unknown command", "# hi\ntxt(0,100,100,2,\"hi\")\n", 2, FindingSeverity::kError,
         "did you mean 'text'?"},
        {"argument does not compile", "fill(0,0,0,w/2+,h,4096,0,0)\n", 1, FindingSeverity::kError,
         "argument 4 (width) 'w/2+' does not compile"},
        {"too many arguments", "fill(0,0,0,w,h,4096,0,0,9)\n", 1, FindingSeverity::kError,
         "takes 8, this line has 9"},
        {"too few arguments", "fill(0,0,0,w,h)\n", 1, FindingSeverity::kWarning,
         "the missing ones count as 0"},
        {"constant buffer out of range", "copy(12,0,0,0,w,h,0,0)\n", 1, FindingSeverity::kError,
         "buffer 12, outside 0..9"},
        {"negative buffer", "\n\na_copy(-1,0)\n", 3, FindingSeverity::kError, "outside 0..9"},
        {"missing label", "goto:nowhere\n", 1, FindingSeverity::kError, "no label ':nowhere'"},
        {"missing if label", "if f>2 goto :gone\n", 1, FindingSeverity::kError, "no label ':gone'"},
        {"duplicate label", ":a\nfill(0,0,0,1,1,0,0,0)\n:A\ngoto:a\n", 3, FindingSeverity::kError,
         "first on line 1"},
        {"backwards section", "[5-1]\n", 1, FindingSeverity::kError, "never applies"},
        {"not a range", "[abc]\n", 1, FindingSeverity::kError,
         "is read as frames 0..the end; write a range"},
        {"range without ']'", "[10-20\n", 1, FindingSeverity::kWarning,
         "no closing ']'; it is read as frames 10..20 all the same"},
        // What a new script writer gets wrong, told with what to write.
        {"indented command", "# a\n  fill(0,0,0,w,h,4096,0,0)\n", 2, FindingSeverity::kWarning,
         "looks like a command, but a line that starts with a space or a tab is a comment"},
        {"indented jump", "\tgoto:a\n:a\n", 1, FindingSeverity::kWarning, "looks like a jump"},
        {"text with a loose space", "text(0,10,10,2,Hello world)\n", 1, FindingSeverity::kWarning,
         "spaces outside double quotes, and those are dropped: it reads 'Helloworld'; write "
         "\"Hello world\""},
        {"rgb on the byte scale", "fill_rgb(0,0,0,w,h,255,128,0)\n", 1, FindingSeverity::kWarning,
         "the colour 255, 128, 0 looks like 0..255 values"},
        {"y/cb/cr on the byte scale", "font2(\"\",40,0,0,0,2,235,128,128,16,128,128)\n", 1,
         FindingSeverity::kWarning, "multiply Y by 16"},
        {"opacity on the byte scale", "alpha(2,0,0,0,w,h,0,0,150)\n", 1, FindingSeverity::kWarning,
         "opacity is a fraction, 0..1"},
        {"level past full scale", "a_tone(0,1000,0,1.5)\n", 1, FindingSeverity::kError,
         "argument 4 (level) is 1.5, outside 0..1 (1 is full scale): the line does nothing"},
        {"missing size", "fill(0,0,0,w)\n", 1, FindingSeverity::kError,
         "(height, Y, Cb, Cr), and with height 0 the line does nothing"},
        {"missing level", "a_tone(0,1000,0.5)\n", 1, FindingSeverity::kError,
         "with level 0 the sound is silent"},
        {"defocus without its unused pair", "defocus(0,0,0,0,w,h,8)\n", 1,
         FindingSeverity::kWarning,
         "this line has 7: its last value lands on unused1, and unused2, radius count"},
        {"mosaic without the corner", "mosaic(0,0,0,0,w,h,16,16)\n", 1, FindingSeverity::kWarning,
         "its last value lands on dy"},
        {"font2 without the outline", "font2(\"\",48,1,0,0,4096,0,0,0,0,0)\n", 1,
         FindingSeverity::kWarning, "the outline width comes after underline"},
        {"condition does not compile", "[\"f>\"]\n", 1, FindingSeverity::kError,
         "does not compile"},
        {"condition never closed", "[\"f>3]\n", 1, FindingSeverity::kError, "never closed"},
        {"unterminated string", "text(0,0,0,2,\"open)\n", 1, FindingSeverity::kError,
         "unterminated string"},
        {"list never closed", "fill(0,0,0\n", 1, FindingSeverity::kError, "not closed by ')'"},
        {"long line", long_line + "\n", 1, FindingSeverity::kError, "longer than 511 bytes"},
        {"missing file", "readimage(1,\"missing.png\")\n", 1, FindingSeverity::kError,
         "'missing.png' does not exist"},
        {"unknown face", "font(\"No Such Face 987\",32,0,0,0,4096,0,0)\n", 1,
         FindingSeverity::kWarning, "is used instead"},
        {"assignment", "C=C+\n", 1, FindingSeverity::kError, "'C+' does not compile"},
        {"if without goto", "if f>2 :a\n:a\n", 1, FindingSeverity::kError, "if EXPRESSION goto"},
        {"stray words", "hello world\n", 1, FindingSeverity::kError, "not a command"},
        {"format text2 refuses", "text2(0,0,0,2,\"%d of %g\",f,m)\n", 1, FindingSeverity::kError,
         "argument 5 (format) '%d of %g' is not a format the line can draw"},
        {"format wider than its values", "text2(0,0,0,2,\"%g of %g\",f)\n", 1,
         FindingSeverity::kWarning, "has 2 conversions but the line gives 1 value: the rest"},
        // Script text is quoted in UTF-8 with its control characters shown.
        {"shift-jis label", "goto:\x82\xa0\n", 1, FindingSeverity::kError,
         "no label ':\xe3\x81\x82' in"},
        {"escape sequence", "hello \x1b]0;t\x07\n", 1, FindingSeverity::kError,
         "'hello \\x1b]0;t\\x07' is not a command"},
        // A UTF-8 mark is not part of the first line; UTF-16 is not read.
        {"utf-8 mark", "\xef\xbb\xbftxt(1)\n", 1, FindingSeverity::kError, "did you mean 'text'?"},
        {"utf-16", std::string("\xff\xfet\0x\0t\0(\0)\0\n\0", 14), 0, FindingSeverity::kError,
         "saved as UTF-16, which the plug-in does not read"},
    };
    for (const FindingCase& c : cases) {
        ScriptCheck check = CheckScriptText(c.script, "/nonexistent/kinetra.txt", CheckContext());
        ASSERT_FALSE(check.findings.empty()) << c.name;
        const ScriptFinding& f = check.findings[0];
        EXPECT_EQ(f.line, c.line) << c.name;
        EXPECT_EQ(f.severity, c.severity) << c.name;
        EXPECT_NE(f.message.find(c.says), std::string::npos) << c.name << ": " << f.message;
    }
}

TEST(ScriptCheck, CorrectScriptsAreClean) {
    const char* scripts[] = {
        "# every kind of line\n[0-10]\nfill(0, 0, 0, w/2, h, 4096, 0, 0)\nC = C + 1\n"
        "if C > 3 goto :done\ngoto:Done\n:done\n[\"f%2\"]\ntext(0,w/2,10,1,\"a, b\")\n"
        "[20-]\na_tone(1,440,0,0.5)\na_blend(1,0)\n",
        "text2(0,0,0,2,\"%5.1f / %g\",f,m)\nswapbuf()\ndispsize(320,240)\n",
        "copy(B,0,0,0,w,h,0,0)\n",  // a buffer from a variable is not judged
        "font(\"\",24,0,0,0,4096,0,0)\ntext(0,0,0,2,\"Caf\xc3\xa9\")\n",
        // Indented prose, dark colours and blends past the source on purpose.
        "  (a note: fill it later)\n\tfill means paint\nfill_rgb(0,0,0,w,h,0,0,1)\n"
        "fill(0,0,0,w,h,200,-40,0)\nalpha(2,0,0,0,w,h,0,0,1.5)\ntext(0,0,0,2,\" a b \")\n",
    };
    for (const char* script : scripts) {
        ScriptCheck check = CheckScriptText(script, "/nonexistent/kinetra.txt", CheckContext());
        for (const ScriptFinding& f : check.findings)
            ADD_FAILURE() << script << FormatFinding("", f);
    }
}

TEST(ScriptCheck, SectionsPastTheProjectWarnOnlyWhenTheLengthIsKnown) {
    CheckContext known;
    known.frame_count = 100;
    ScriptCheck check = CheckScriptText("[5-2000]\nfill(0,0,0,1,1,0,0,0)\n", "k.txt", known);
    ASSERT_EQ(check.findings.size(), 1u);
    EXPECT_EQ(check.findings[0].severity, FindingSeverity::kWarning);
    EXPECT_NE(check.findings[0].message.find("lengthened to 2000"), std::string::npos);
    EXPECT_EQ(check.errors(), 0);
    EXPECT_TRUE(CheckScriptText("[5-2000]\n", "k.txt", CheckContext()).findings.empty());
}

TEST(ScriptCheck, RecordLinesFollowTheFileAndSayTheEncoding) {
    ScriptCheck check =
        CheckScriptText("# c\nfill(0,0,0,1,1,0,0,0)\n\n[1-2]\n:l\nC=1\n", "k.txt", CheckContext());
    EXPECT_EQ(check.record_lines, (std::vector<int32_t>{2, 5, 6}));
    EXPECT_FALSE(check.utf8);
    EXPECT_NE(FormatCheckSummary(check).find("(ASCII)"), std::string::npos);
    check = CheckScriptText(":\x82\xa0\n", "k.txt", CheckContext());
    EXPECT_NE(FormatCheckSummary(check).find("read as Shift-JIS"), std::string::npos);
    check = CheckScriptText("text(0,0,0,2,\"Zo\xc3\xab\")\n", "k.txt", CheckContext());
    EXPECT_TRUE(check.utf8);
    EXPECT_NE(FormatCheckSummary(check).find("UTF-8"), std::string::npos);
    check = CheckScriptText("\xef\xbb\xbf:l\n", "k.txt", CheckContext());
    EXPECT_TRUE(check.utf8);
    EXPECT_EQ(check.record_lines, std::vector<int32_t>{1});
    // The plug-in's run-time reports quote the script in its encoding.
    KinetraRunFailure failure = {3, 7, "readimage: cannot open '\x82\xa0\x1b.png'"};
    EXPECT_EQ(FormatRunFailure("k.txt", failure, false),
              "k.txt:3: error at frame 7: readimage: cannot open '\xe3\x81\x82\\x1b.png'");
}

// Each file a line reads is looked for next to the script and tried as the
// host reads it for that line; one that cannot be read is one error on its
// line, and is listed (absolute) among the files the check told of.
TEST(ScriptCheck, NamedFilesAreTriedAsTheHostReadsThem) {
    TempDir dir;
    PictureYC picture;
    picture.Resize(4, 3);
    std::string error;
    ASSERT_TRUE(WritePicturePng(dir / "logo.png", picture, &error)) << error;
    apptest::WriteFile(dir / "bad.png", "not a picture");
    apptest::WriteFile(dir / "notes.mp4", "not a video");
    apptest::WriteFile(dir / "talk.srt", "1\n00:00:00,000 --> 00:00:01,000\nhello\n\n");
    ASSERT_EQ(mkdir((dir / "folder.png").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((dir / "pipe.mkv").c_str(), 0644), 0);
    struct FileCase {
        const char* line;
        const char* file;
        const char* says;  // null: no finding
    };
    const FileCase cases[] = {
        {"readimage(1, logo.png)", "logo.png", nullptr},
        {"readvideo(1, 0, \"logo.png\")", "logo.png", nullptr},
        {"readimage(1, bad.png)", "bad.png", "argument 2 (file): file 'bad.png' cannot be read: "},
        {"readimage(1, talk.srt)", "talk.srt", "cannot be read: not a picture"},
        {"readimage(1, folder.png)", "folder.png", "cannot be read: it is a directory"},
        {"readvideo(1, 0, pipe.mkv)", "pipe.mkv", "cannot be read: it is not a regular file"},
        {"readvideo(1, 0, notes.mp4)", "notes.mp4", "file 'notes.mp4' cannot be read: "},
        {"a_readvideo(1, 0, talk.srt)", "talk.srt", "cannot be read: it has no video stream"},
        {"readvideo(1, 0, gone.mkv)", "gone.mkv", "'gone.mkv' does not exist (looked in "},
    };
    // One script of all the lines, so that a file read two ways is tried
    // both ways.
    std::string script = "# files\n";
    std::vector<std::pair<std::string, int32_t>> reported;
    for (int32_t i = 0; i < int32_t(sizeof cases / sizeof cases[0]); ++i) {
        script += std::string(cases[i].line) + "\n";
        if (cases[i].says != nullptr) reported.push_back({dir / cases[i].file, i + 2});
    }
    ScriptCheck check = CheckScriptText(script, dir / "kinetra.txt", CheckContext());
    std::vector<ScriptFinding>::const_iterator finding = check.findings.begin();
    for (int32_t i = 0; i < int32_t(sizeof cases / sizeof cases[0]); ++i) {
        const FileCase& c = cases[i];
        bool found = finding != check.findings.end() && finding->line == i + 2;
        EXPECT_EQ(found, c.says != nullptr) << c.line;
        if (!found) continue;
        EXPECT_EQ(finding->severity, FindingSeverity::kError) << c.line;
        if (c.says != nullptr) {
            EXPECT_NE(finding->message.find(c.says), std::string::npos)
                << c.line << ": " << finding->message;
        }
        ++finding;
    }
    EXPECT_EQ(finding, check.findings.end());
    EXPECT_EQ(check.reported_files, reported);
    EXPECT_EQ(ScriptPathFor(dir.path()), dir / "kinetra.txt");
    EXPECT_EQ(ScriptPathFor(dir / "clip.mp4"), dir / "kinetra.txt");
    EXPECT_EQ(ScriptPathFor(dir / "other.txt"), dir / "other.txt");
    EXPECT_FALSE(CheckScriptFile(dir / "none.txt", CheckContext()).read);
}

// What a user sees: PATH:LINE lines in file order, a count, the exit status.
// What the host learns before rendering comes from the plug-in's own parse:
// only lines the plug-in runs count, cut as it cuts them.
TEST(ScriptFacts, ComeFromTheLinesThePluginRuns) {
    const std::string tail_of_long_line = std::string(511, ' ') + "readimage(1,\"tail.png\")";
    ScriptFacts facts;
    ScanScript(
        "[0-20]\n[\"f>1\"]\n[ 3 - 90 ]\n[100-]\n"
        "readvideo(1, 0, \"a, b.mp4\", 0)\n"
        "READIMAGE(2, \"/abs/pic.png\")\n"
        "  readimage(3, \"indented.png\")\n"
        "# a_copy(0, 1)\n"
        "readimage(4, \"open.png\"\n" +
            tail_of_long_line + "\n",
        "/dir/", &facts);
    EXPECT_EQ(facts.longest_end, 90);
    EXPECT_EQ(facts.longest_end_line, 3);
    EXPECT_EQ(facts.longest_end_header, "[ 3 - 90 ]");
    // The comment's a_copy and the unclosed readimage never run; the tail of
    // the over-long line is a line of its own and does.
    EXPECT_FALSE(facts.has_audio_commands);
    EXPECT_EQ(facts.media_files,
              (std::vector<std::string>{"/dir/a, b.mp4", "/abs/pic.png", "/dir/tail.png"}));

    ScanScript("[2-]\na_sine(0, 440, 0.5)\n", "/dir/", &facts);
    EXPECT_TRUE(facts.has_audio_commands);

    // A line may change the project's sound unless its destination is a
    // plain number that truncates to another buffer than 0 (or to none).
    const std::pair<const char*, bool> lines[] = {
        {"a_tone(2, 440, 0, 0.5)", false},
        {"a_tone(0.9, 440, 0, 0.5)", true},
        {"a_swap(-1)", false},
        {"a_swap()", true},
        {"a_swap(0x1)", true},
        {"a_mono(b, 0)", true},
        {"a_copy(0, 2)", false},
        {"a_blend(3, 0)", true},
        {"a_reverse(0, 1e0)", false},
        {"a_sine(0, 440, 0.5)", false},
    };
    for (const auto& line : lines) {
        ScriptFacts one;
        ScanScript(std::string(line.first) + "\n", "/dir/", &one);
        EXPECT_EQ(one.changes_sound, line.second) << line.first;
    }

    // The picture is left alone without a video command; the second image
    // (buffer 1) is used by swapbuf and by any buffer argument that is not a
    // constant naming another buffer.
    struct PictureLine {
        const char* line;
        bool video, second;
    };
    const PictureLine picture_lines[] = {
        {"a_tone(0, 440, 0, 0.5)", false, false},
        {"x = f * 2", false, false},
        {"Fill(1, 0, 0, 8, 8, 0, 0, 0)", true, true},  // names are read in any case
        {"fill(2, 0, 0, 8, 8, 0, 0, 0)", true, false},
        {"copy(0, 2, 0, 0, w, h, 0, 0)", true, false},
        {"copy(1.5, 2, 0, 0, w, h, 0, 0)", true, true},
        {"copy(2, 0.5+1, 0, 0, w, h, 0, 0)", true, true},
        {"alpha(3, b, 0, 0, w, h, 0, 0, 0.5)", true, true},
        {"swapbuf()", true, true},
        {"defocus(2, 3, 1, 1, w, h, 0, 0, 10)", true, false},
    };
    for (const PictureLine& line : picture_lines) {
        ScriptFacts one;
        ScanScript(std::string(line.line) + "\n", "/dir/", &one);
        EXPECT_EQ(one.has_video_commands, line.video) << line.line;
        EXPECT_EQ(one.uses_second_image, line.second) << line.line;
    }
}

// A range of frames renders as in a whole render when it warms up from the
// frame the analysis gives; the lines named are those that carry state.
TEST(SegmentSafety, FindsTheStateThatCarriesAndTheFrameAWarmUpIsExactFrom) {
    struct Case {
        const char* name;
        std::string script;
        int32_t first;  // the range's first frame (of a 100-frame project)
        int32_t warm_from;
        std::vector<int32_t> lines;
    };
    const std::string fill_a = "fill(0, 0, 0, A, 8, 0, 0, 0)\n";
    const Case cases[] = {
        {"frame number only", "[0-]\nfill(0, 0, 0, 8, 8, f, 0, 0)\n", 50, 50, {}},
        {"variable set first on every frame", "A=f*2\n" + fill_a, 50, 50, {}},
        {"counter", "A=A+1\n" + fill_a, 50, 0, {1}},
        {"read before it is set", fill_a + "A=f\n", 50, 0, {1}},
        {"set after a jump", "if f>3 goto :x\nA=f\n:x\n" + fill_a, 50, 0, {2}},
        {"slider letters are set before every line",
         "x=x+1\nfill(0, 0, 0, x, 8, 0, 0, 0)\n",
         50,
         50,
         {}},
        {"k is never reset", "k=k+1\nfill(0, 0, 0, k, 8, 0, 0, 0)\n", 50, 0, {1}},
        {"random from a later section", "[40-]\nfill(0, rand(9), 0, 4, 4, 0, 0, 0)\n", 50, 40, {2}},
        {"random before its section", "[40-]\nfill(0, rand(9), 0, 4, 4, 0, 0, 0)\n", 30, 30, {2}},
        {"condition runs on every frame",
         "[\"f>60\"]\nfill(0, rand(9), 0, 4, 4, 0, 0, 0)\n",
         50,
         0,
         {2}},
        {"tone inside its section", "[20-60]\na_tone(0, 440, 0, 0.5)\n", 50, 20, {2}},
        {"tone after its section", "[20-60]\na_tone(0, 440, 0, 0.5)\n", 70, 70, {2}},
        {"picture loaded on every frame",
         "readimage(2, \"p.png\")\ncopy(2, 0, 0, 0, 8, 8, 0, 0)\n",
         50,
         50,
         {}},
        {"buffer painted and kept",
         "fill(3, 0, 0, 8, 8, 0, 0, 0)\ncopy(3, 0, 0, 0, 8, 8, 0, 0)\n",
         50,
         0,
         {1}},
        {"buffer named by an expression",
         "copy(0, f%3+2, 0, 0, 8, 8, 0, 0)\n",
         50,
         0,
         {1, 1, 1, 1, 1, 1, 1, 1}},
        {"font set from a later frame",
         "[10-]\nfont(\"x\", 10, 0, 0, 0, 4096, 0, 0)\n[0-]\ntext(0, 0, 0, 0, \"a\")\n",
         50,
         10,
         {2}},
        {"font set first on every frame",
         "font(\"x\", 10, 0, 0, 0, 4096, 0, 0)\ntext(0, 0, 0, 0, \"a\")\n",
         50,
         50,
         {}},
        {"output size set at frame 0", "dispsize(32, 24)\n", 50, 0, {1}},
        {"output size set later", "[5-]\ndispsize(32, 24)\n", 50, 50, {}},
    };
    for (const Case& c : cases) {
        SegmentSafety safety = AnalyseSegments(c.script, 100);
        EXPECT_EQ(safety.WarmUpFrom(c.first), c.warm_from) << c.name;
        std::vector<int32_t> lines;
        for (const StateCarrier& carrier : safety.carriers)
            lines.push_back(carrier.line);
        EXPECT_EQ(lines, c.lines) << c.name;
    }
    // A picture that cannot be read loads nothing: the buffer keeps what it had.
    EXPECT_EQ(AnalyseSegments("readimage(2, \"p.png\")\ncopy(2, 0, 0, 0, 8, 8, 0, 0)\n", 100, {1})
                  .WarmUpFrom(50),
              0);
}

// `kinetra check ARGUMENTS` run in a shell (which may `cd` first): its
// exit status, with what it printed in `out`.
int CheckOutput(const std::string& arguments, std::string* out, const std::string& where = "") {
    FILE* pipe = popen((where + KINETRA_APP_PATH + " check " + arguments + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return -1;
    out->clear();
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        *out += buffer;
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Paths are shown as the argument names them: a bare name in the current
// directory stays bare.
TEST(CheckProgram, PrintsFindingsThenACountAndFailsOnErrors) {
    TempDir dir;
    std::ofstream(dir / "kinetra.txt") << "fill(0,0,0,w,h)\ntxt(1)\nreadimage(1,gone.png)\n";
    const std::string findings[] = {
        ":1: warning: 'fill' takes 8 arguments, this line has 5: the missing ones count as 0 "
        "(Y, Cb, Cr)\n",
        ":2: error: unknown command 'txt': did you mean 'text'?\n",
        ":3: error: argument 2 (file): file 'gone.png' does not exist (looked in ",
        ": segment-safe: any range of frames renders on its own\n",
        ": 2 errors, 1 warning (ASCII)\n"};
    for (const char* bare_name : {"", "clip.mp4", "kinetra.txt"}) {
        std::string where = *bare_name != '\0' ? "cd '" + dir.path() + "' && " : "";
        std::string target = *bare_name != '\0' ? bare_name : dir.path();
        std::string out;
        int status = CheckOutput(target, &out, where);
        std::string script = *bare_name != '\0' ? "kinetra.txt" : dir / "kinetra.txt";
        std::string directory = *bare_name != '\0' ? "./" : dir.path() + "/";
        EXPECT_EQ(out, script + findings[0] + script + findings[1] + script + findings[2] +
                           directory + ")\n" + script + findings[3] + script + findings[4])
            << target;
        EXPECT_EQ(status, 1) << target;
    }
}

// A render checks the script first: findings on stderr, and --strict stops
// before any output exists.
TEST(CheckProgram, RenderChecksFirstAndStrictStopsBeforeWriting) {
    TempDir dir;
    apptest::ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(apptest::MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "fill(0,0,0,w,h,4096,0,0)\ntxt(1)\n");
    const std::string render = "render '" + dir / "clip.mkv" + "' -o '" + dir / "o.mkv' -q" +
                               " --plugin '" + KINETRA_PLUGIN_PATH + "'";
    std::string text;
    EXPECT_EQ(apptest::RunProgram(render + " --strict", &text), 1);
    EXPECT_NE(text.find(dir / "kinetra.txt" + ":2: error: unknown command 'txt'"),
              std::string::npos)
        << text;
    EXPECT_FALSE(apptest::FileExists(dir / "o.mkv"));

    EXPECT_EQ(apptest::RunProgram(render, &text), 0) << text;
    EXPECT_NE(text.find("1 error, 0 warnings"), std::string::npos) << text;
    EXPECT_TRUE(apptest::FileExists(dir / "o.mkv"));

    // --strict=warnings stops on a warning alone, and check fails on it.
    apptest::WriteFile(dir / "kinetra.txt", "  fill(0,0,0,w,h,4096,0,0)\n");
    const std::string strict_render = "render '" + dir / "clip.mkv" + "' -o '" +
                                      dir / "o3.mkv' -q --plugin '" + KINETRA_PLUGIN_PATH + "'";
    EXPECT_EQ(apptest::RunProgram(strict_render + " --strict", &text), 0) << text;
    EXPECT_EQ(apptest::RunProgram(strict_render + " -y --strict=warnings", &text), 1) << text;
    EXPECT_NE(text.find("--strict=warnings: the script has warnings"), std::string::npos) << text;
    std::string out;
    EXPECT_EQ(CheckOutput("'" + dir / "clip.mkv'", &out), 0) << out;
    EXPECT_NE(out.find("clip.mkv: 2 frames at 30 fps: one second is 30 frames"), std::string::npos)
        << out;
    EXPECT_EQ(CheckOutput("--strict=warnings '" + dir.path() + "'", &out), 1) << out;

    // A file that exists but cannot be read is told before the render, with
    // its line; an argument that fails to evaluate on both frames is told at
    // run time, once.
    apptest::WriteFile(dir / "bad.png", "not a picture");
    apptest::WriteFile(dir / "kinetra.txt",
                       "# a picture\nreadimage(2,\"bad.png\")\nfill(0,0,0,4,4,log(f-1),0,0)\n");
    const std::string render2 = "render '" + dir / "clip.mkv" + "' -o '" + dir / "o2.mkv' -q" +
                                " --plugin '" + KINETRA_PLUGIN_PATH + "'";
    EXPECT_EQ(apptest::RunProgram(render2, &text), 0) << text;
    EXPECT_NE(text.find(dir / "kinetra.txt" +
                        ":2: error: argument 2 (file): file 'bad.png' cannot be read: "),
              std::string::npos)
        << text;
    const std::string runtime = dir / "kinetra.txt" +
                                ":3: error at frame 0: fill: argument 6 (Y) 'log(f-1)' fails to "
                                "evaluate and counts as 0\n";
    EXPECT_NE(text.find(runtime), std::string::npos) << text;
    const std::string where = dir / "kinetra.txt:3:";
    EXPECT_EQ(text.find(where, text.find(where) + 1), std::string::npos) << text;
    // The broken picture is told once, before the render: no warning from
    // the media services and no run-time failure repeat it.
    EXPECT_EQ(text.find("bad.png", text.find("bad.png") + 1), std::string::npos) << text;
    EXPECT_EQ(text.find(":2: error at frame"), std::string::npos) << text;

    // At most twenty findings are listed, then how many more there are.
    std::string many;
    for (int i = 0; i < 25; ++i)
        many += "txt(1)\n";
    apptest::WriteFile(dir / "kinetra.txt", many);
    EXPECT_EQ(apptest::RunProgram(render + " --strict", &text), 1);
    EXPECT_NE(text.find(":20: error"), std::string::npos) << text;
    EXPECT_EQ(text.find(":21: error"), std::string::npos) << text;
    EXPECT_NE(text.find("and 5 more"), std::string::npos) << text;
}

TEST(ScriptHelp, NamesEveryCommandAndItsArguments) {
    std::string list = CommandListText();
    for (const CommandTable* table : {&kVideoCommandTable, &kAudioCommandTable}) {
        for (int32_t i = 0; i < table->count; ++i) {
            const CommandRow& row = table->rows[i];
            EXPECT_NE(list.find("  " + std::string(row.name) + " "), std::string::npos) << row.name;
        }
    }
    const CommandRow* fill = FindAnyCommand("fill");
    EXPECT_EQ(CommandCallText(*fill), "fill(buffer, x, y, width, height, Y, Cb, Cr)");
    EXPECT_EQ(CommandCallText(*FindAnyCommand("text2")),
              "text2(buffer, x, y, align, format, value...)");
    EXPECT_NE(ArgumentTableMarkdown(*FindAnyCommand("text2")).find("| 6..20 | `value` |"),
              std::string::npos);
    EXPECT_EQ(NearestCommandName("elipse"), "ellipse");
    EXPECT_EQ(NearestCommandName("zzzzzz"), "");
}

}  // namespace
