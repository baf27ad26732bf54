// What a render never does to the user's files: write over a file it reads
// (under any name), leave a partial file under the name asked for when it is
// stopped, or leave temporary files behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "fixtures/clips.h"
#include "output/output_safety.h"
#include "render/render.h"
#include "base/stop_signals.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::TempDir;

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

// Names in the directory that a render's temporary files would have.
std::string Temporaries(const std::string& directory) {
    std::string listing;
    std::string command = "ls -A '" + directory + "' | grep '\\.part[0-9]' || true";
    FILE* pipe = popen(command.c_str(), "r");
    char line[512];
    while (pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr)
        listing += line;
    if (pipe != nullptr) pclose(pipe);
    return listing;
}

RenderSettings Options(const std::string& source, const std::string& output) {
    RenderSettings o;
    o.source = source;
    o.output = output;
    o.quiet = true;
    o.encode.lossless = true;
    o.threads = 1;
    o.overwrite = Overwrite::kYes;
    o.plugin = KINETRA_PLUGIN_PATH;
    return o;
}

// An output that is the source, the script or a file the script reads,
// reached through another path, is refused before anything is written.
TEST(OutputSafety, AnOutputThatNamesAnInputAnotherWayIsRefused) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    ASSERT_TRUE(MakeClip(dir / "other.mkv", spec));
    ASSERT_EQ(mkdir((dir / "sub").c_str(), 0755), 0);
    ASSERT_EQ(symlink(dir.path().c_str(), (dir / "alias").c_str()), 0);
    ASSERT_EQ(link((dir / "clip.mkv").c_str(), (dir / "hard.mkv").c_str()), 0);
    ASSERT_EQ(symlink("clip.mkv", (dir / "soft.mkv").c_str()), 0);
    apptest::WriteFile(dir / "kinetra.txt", "readvideo(2, f, other.mkv)\n");
    const std::string source = ReadAll(dir / "clip.mkv");
    const std::string other = ReadAll(dir / "other.mkv");
    const struct {
        const char* name;
        std::string output;
    } cases[] = {
        {"dot-dot", dir / "sub/../clip.mkv"},
        {"double slash", dir.path() + "//clip.mkv"},
        {"linked directory", dir / "alias/clip.mkv"},
        {"hard link", dir / "hard.mkv"},
        {"symbolic link", dir / "soft.mkv"},
        {"the script", dir / "alias/kinetra.txt"},
        {"a clip the script reads", dir / "alias/other.mkv"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        int status = RunRender(Options(dir / "clip.mkv", c.output));
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, kExitFailure) << c.name;
        EXPECT_NE(text.find("is the same file as"), std::string::npos) << c.name << ": " << text;
    }
    EXPECT_EQ(ReadAll(dir / "clip.mkv"), source);
    EXPECT_EQ(ReadAll(dir / "other.mkv"), other);
    EXPECT_EQ(Temporaries(dir.path()), "");
}

TEST(OutputSafety, PartialNamesKeepTheExtension) {
    const struct {
        const char* path;
        int attempt;
        const char* expected;
    } cases[] = {
        {"/d/out.mp4", 1, "/d/out.partial.mp4"},   {"/d/out.mp4", 3, "/d/out.partial3.mp4"},
        {"out.tar.mkv", 1, "out.tar.partial.mkv"}, {"/d.x/out", 1, "/d.x/out.partial"},
        {"/d/.hidden", 1, "/d/.hidden.partial"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PartialName(c.path, c.attempt), c.expected) << c.path;
}

// SIGINT, SIGTERM and SIGHUP during a render: the frames done are kept as
// out.partial.mkv, an existing out.mkv stays as it was, the status is
// 128 + the signal.
TEST(OutputSafety, AStoppedRenderNeverTouchesTheNameAskedFor) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 8;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    apptest::WriteFile(dir / "out.mkv", "an earlier, finished render");
    const int signals[] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) {
        int signal = signals[i];
        RenderSettings o = Options(dir / "clip.mkv", dir / "out.mkv");
        o.observer = [signal](int32_t frame, const PixelYC*, int32_t, int32_t, int32_t) {
            if (frame == 2) raise(signal);
            return true;
        };
        testing::internal::CaptureStderr();
        int status = RunRender(o);
        std::string text = testing::internal::GetCapturedStderr();
        RequestStop(0);
        EXPECT_EQ(status, 128 + signal) << SignalName(signal);
        std::string kept =
            i == 0 ? "out.partial.mkv" : "out.partial" + std::to_string(i + 1) + ".mkv";
        EXPECT_NE(text.find(kept), std::string::npos) << text;
        std::vector<AVFrame*> frames = apptest::DecodeAllFrames(dir / kept);
        EXPECT_EQ(frames.size(), 3u) << kept;
        apptest::FreeFrames(&frames);
    }
    EXPECT_EQ(ReadAll(dir / "out.mkv"), "an earlier, finished render");
    EXPECT_EQ(Temporaries(dir.path()), "");

    // Without an earlier output, none is created.
    RenderSettings o = Options(dir / "clip.mkv", dir / "new.mkv");
    o.observer = [](int32_t, const PixelYC*, int32_t, int32_t, int32_t) { return false; };
    testing::internal::CaptureStderr();
    EXPECT_EQ(RunRender(o), kExitInterrupted);
    testing::internal::GetCapturedStderr();
    EXPECT_FALSE(apptest::FileExists(dir / "new.mkv"));
    EXPECT_TRUE(apptest::FileExists(dir / "new.partial.mkv"));
}

// Runs the program with `signal` already pending (blocked, as a parent may
// pass it on), so that it arrives the moment the program can take it.
int RunWithPendingSignal(int signal, const std::vector<std::string>& arguments,
                         std::string* stderr_text) {
    char pattern[] = "/tmp/kinetra-signal-XXXXXX";
    int fd = mkstemp(pattern);
    // Made before the fork: the child of a process with threads may only
    // make async-signal-safe calls (no allocation) until it executes.
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(KINETRA_APP_PATH));
    for (const std::string& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        dup2(fd, 2);
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, signal);
        sigprocmask(SIG_BLOCK, &block, nullptr);
        kill(getpid(), signal);
        execv(KINETRA_APP_PATH, argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(fd);
    *stderr_text = ReadAll(pattern);
    std::remove(pattern);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(OutputSafety, AStopAtStartUpWritesNothing) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 3;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        std::string text;
        int status = RunWithPendingSignal(
            signal,
            {"render", dir / "clip.mkv", "-o", dir / "out.mkv", "--plugin", KINETRA_PLUGIN_PATH},
            &text);
        EXPECT_EQ(status, 128 + signal) << SignalName(signal) << ": " << text;
        EXPECT_NE(text.find("nothing written"), std::string::npos) << text;
    }
    EXPECT_FALSE(apptest::FileExists(dir / "out.mkv"));
    EXPECT_FALSE(apptest::FileExists(dir / "out.partial.mkv"));
    EXPECT_EQ(Temporaries(dir.path()), "");
}

// Temporary files of renders that were killed outright are removed by the
// next render to the same name; those of a live process stay.
TEST(OutputSafety, StaleTemporariesOfDeadRendersAreRemoved) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 2;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    pid_t dead = fork();
    if (dead == 0) _exit(0);
    waitpid(dead, nullptr, 0);
    std::string stale = TemporaryName(dir / "out.mkv", dead);
    std::string live = TemporaryName(dir / "out.mkv", static_cast<long>(getppid()));
    std::string other = TemporaryName(dir / "other.mkv", dead);
    for (const std::string& name : {stale, live, other})
        apptest::WriteFile(name, "left behind");
    ASSERT_EQ(RunRender(Options(dir / "clip.mkv", dir / "out.mkv")), kExitOk);
    EXPECT_FALSE(apptest::FileExists(stale));
    EXPECT_TRUE(apptest::FileExists(live));
    EXPECT_TRUE(apptest::FileExists(other));
}

// Under a file-size limit the render fails with "cannot write", exit 1, and
// leaves nothing behind (SIGXFSZ would have killed it).
TEST(OutputSafety, AFileSizeLimitIsAWriteError) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 30;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    apptest::WriteFile(dir / "kinetra.txt", "");
    std::string err = dir / "stderr.txt";
    std::string command = "ulimit -f 8; exec '" + std::string(KINETRA_APP_PATH) + "' render '" +
                          dir / "clip.mkv" + "' -o '" + dir / "out.mkv" +
                          "' --lossless --plugin '" + KINETRA_PLUGIN_PATH + "' 2>'" + err + "'";
    int status = std::system(command.c_str());
    std::string text = ReadAll(err);
    ASSERT_TRUE(WIFEXITED(status)) << text;
    EXPECT_EQ(WEXITSTATUS(status), kExitFailure) << text;
    EXPECT_NE(text.find("cannot write"), std::string::npos) << text;
    EXPECT_FALSE(apptest::FileExists(dir / "out.mkv"));
    EXPECT_EQ(Temporaries(dir.path()), "");
}

}  // namespace
