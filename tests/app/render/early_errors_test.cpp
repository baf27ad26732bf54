// Failures that the program finds before it renders anything: a script that
// exists but cannot be used, an output it cannot write as asked, a script
// that would make the render unbounded. Each is exit 1 with one clear line,
// and nothing is written.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "fixtures/clips.h"
#include "render/render.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::TempDir;

std::string Quote(const std::string& text) {
    return "'" + text + "'";
}

struct Case {
    const char* name;
    // Prepares the directory (which holds clip.mkv); returns the arguments
    // after "render", where SOURCE stands for the clip and DIR for the directory.
    std::function<std::string(const std::string& dir)> prepare;
    int status;
    std::string message;  // expected in standard error, with DIR for the directory
};

std::string Expand(std::string text, const std::string& dir, const std::string& source) {
    for (auto [key, value] : {std::pair<std::string, std::string>{"SOURCE", source},
                              std::pair<std::string, std::string>{"DIR", dir}}) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at)) {
            text.replace(at, key.size(), value);
            at += value.size();
        }
    }
    return text;
}

TEST(EarlyErrors, EachIsOneClearLineAndNothingIsWritten) {
    const std::string plugin = " --plugin " + Quote(KINETRA_PLUGIN_PATH);
    auto script = [](const std::string& text) {
        return [text](const std::string& dir) {
            apptest::WriteFile(dir + "/kinetra.txt", text);
            return std::string("SOURCE -o DIR/out.mkv --lossless");
        };
    };
    const Case cases[] = {
        {"script is a directory",
         [](const std::string& dir) {
             mkdir((dir + "/kinetra.txt").c_str(), 0755);
             return std::string("SOURCE -o DIR/out.mkv");
         },
         1, "kinetra: DIR/kinetra.txt: cannot read the script (Is a directory)"},
        {"script is a FIFO",
         [](const std::string& dir) {
             mkfifo((dir + "/kinetra.txt").c_str(), 0644);
             return std::string("SOURCE -o DIR/out.mkv");
         },
         1, "kinetra: DIR/kinetra.txt: cannot read the script (not a regular file)"},
        {"script path too long for the plug-in",
         [](const std::string& dir) {
             std::string deep = dir;
             while (deep.size() < 260) {
                 deep += "/" + std::string(40, 'd');
                 mkdir(deep.c_str(), 0755);
             }
             std::rename((dir + "/clip.mkv").c_str(), (deep + "/clip.mkv").c_str());
             apptest::WriteFile(deep + "/kinetra.txt", "");
             return Quote(deep + "/clip.mkv") + " -o DIR/out.mkv";
         },
         1, "kinetra.txt: the script's path is "},
        {"output is a directory",
         [](const std::string& dir) {
             mkdir((dir + "/out.mkv").c_str(), 0755);
             return std::string("SOURCE -o DIR/out.mkv");
         },
         1, "kinetra: DIR/out.mkv: is a directory"},
        {"one picture for many frames",
         [](const std::string&) { return std::string("SOURCE -o DIR/out.png"); }, 1,
         "kinetra: DIR/out.png: holds one picture; name a numbered sequence"},
        {"audio alone without audio",
         [](const std::string&) { return std::string("SOURCE -o DIR/out.wav --no-audio"); }, 1,
         "kinetra: DIR/out.wav: --no-audio: the wav container holds audio alone"},
        {"endless section", script("A=1\n[0-2147483647]\n"), 1,
         "kinetra: DIR/kinetra.txt:2: the section [0-2147483647] lengthens the project to "
         "2147483647 frames"},
        {"section beyond a bound of one's own",
         [](const std::string& dir) {
             apptest::WriteFile(dir + "/kinetra.txt", "[ 0 - 100 ]\n");
             return std::string("SOURCE -o DIR/out.mkv --max-frames 50");
         },
         1,
         "kinetra.txt:1: the section [ 0 - 100 ] lengthens the project to 100 frames (3.3 s), "
         "more than the 50 allowed by --max-frames 50;"},
        {"script saved as UTF-16",
         script(std::string("\xff\xfe[\0-\0"
                            "9\0]\0\n\0",
                            12)),
         1,
         "kinetra: DIR/kinetra.txt: saved as UTF-16, which the plug-in does not read (it runs no "
         "line of it); save it as UTF-8 or Shift-JIS"},
        // The program's own files are inputs too (no -y: were they not
        // refused, the question would refuse them).
        {"output is the plug-in",
         [](const std::string&) { return "SOURCE -f mp4 -o " + Quote(KINETRA_PLUGIN_PATH); }, 1,
         std::string(", the plug-in this render loads; choose another output name")},
        {"output is the program",
         [](const std::string&) { return "SOURCE -f mp4 -o " + Quote(KINETRA_APP_PATH); }, 1,
         std::string(", the kinetra program itself; choose another output name")},
    };
    for (const Case& c : cases) {
        TempDir dir;
        ClipSpec spec;
        spec.frames = 3;
        ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
        std::string arguments =
            "render " + Expand(c.prepare(dir.path()), dir.path(), dir / "clip.mkv") + plugin;
        std::string text;
        EXPECT_EQ(apptest::RunProgram(arguments, &text), c.status) << c.name << ": " << text;
        EXPECT_NE(text.find(Expand(c.message, dir.path(), "")), std::string::npos)
            << c.name << ": " << text;
        std::string listing;
        for (const char* name : {"out.mkv", "out.png", "out.wav"}) {
            struct stat info;
            if (lstat((dir / name).c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) listing += name;
        }
        EXPECT_EQ(listing, "") << c.name;
    }
}

// What works now that used to fail or say nothing: one picture for one
// frame, a tiny lossless source, a script that lengthens the project.
TEST(EarlyErrors, EdgesThatRenderAndSaySo) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    spec.width = 2;
    spec.height = 4;
    ASSERT_TRUE(MakeClip(dir / "tiny.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "[0-5]\n");
    const std::string plugin = " --plugin " + Quote(KINETRA_PLUGIN_PATH);
    std::string text;
    EXPECT_EQ(apptest::RunProgram("render " + Quote(dir / "clip.mkv") + " -o " +
                                      Quote(dir / "one.png") + " --frames 1" + plugin,
                                  &text),
              0)
        << text;
    EXPECT_TRUE(apptest::FileExists(dir / "one.png"));
    EXPECT_EQ(apptest::RunProgram("render " + Quote(dir / "tiny.mkv") + " -o " +
                                      Quote(dir / "tiny-out.mkv") + " --lossless" + plugin,
                                  &text),
              0)
        << text;
    std::vector<AVFrame*> frames = apptest::DecodeAllFrames(dir / "tiny-out.mkv");
    EXPECT_EQ(frames.size(), 5u);
    apptest::FreeFrames(&frames);
    EXPECT_NE(text.find("kinetra.txt:1: the section [0-5] lengthens the project from 3 to 5 "
                        "frames (+2 frames"),
              std::string::npos)
        << text;
}

}  // namespace
