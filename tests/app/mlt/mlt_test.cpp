// The MLT module through melt: a script run by melt gives the frames and
// samples `kinetra render --lossless` gives, and melt's clip `in` point and
// keyframed sliders reach the script. melt loads the module from a folder of
// its own (MLT_REPOSITORY names one folder) that links MLT's modules too.
// Skipped where melt or the module is missing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fixtures/clips.h"

namespace {

using apptest::TempDir;

// Why melt cannot run the module here (empty when it can); fills
// `repository` with links to MLT's modules and this build's.
std::string MeltMissing(const TempDir& dir, std::string* repository) {
    if (std::string(KINETRA_MLT_MODULE).empty()) {
        return "no MLT module in this build (MLT's development files were missing)";
    }
    if (std::system("command -v melt >/dev/null 2>&1") != 0) {
        return "melt is not installed (apt-get install melt): the MLT module is untested";
    }
    *repository = dir / "modules";
    std::string link = "mkdir -p '" + *repository +
                       "' && ln -s '" KINETRA_MLT_SYSTEM_MODULES "'/* '" KINETRA_MLT_MODULE "' '" +
                       *repository + "/'";
    return std::system(link.c_str()) == 0 ? "" : "cannot link MLT's modules";
}

// Runs melt on the arguments with the module; returns its exit status and
// its standard error in `err`.
int RunMelt(const std::string& repository, const std::string& arguments, std::string* err) {
    return apptest::RunCommand("MLT_REPOSITORY='" + repository + "' KINETRA_PLUGIN='" +
                                   KINETRA_PLUGIN_PATH + "' melt -silent -quiet " + arguments,
                               err);
}

// A 4:2:2 clip (8-bit: MLT's pictures and the plug-in's pixels convert
// into each other exactly) with a sine in both channels.
bool MakeClip422(const std::string& path, int frames) {
    std::string command =
        "ffmpeg -v error -y -f lavfi -i testsrc2=s=160x120:r=25 -f lavfi -i "
        "sine=f=300:r=48000 -frames:v " +
        std::to_string(frames) + " -ac 2 -shortest -c:v ffv1 -pix_fmt yuv422p -c:a pcm_s16le '" +
        path + "'";
    return std::system(command.c_str()) == 0;
}

std::string MeltOutput(const std::string& path) {
    return " -consumer avformat:'" + path + "' vcodec=ffv1 pix_fmt=yuv422p acodec=pcm_s16le";
}

#define SKIP_WITHOUT_MELT(dir, repository)               \
    std::string missing = MeltMissing(dir, &repository); \
    if (!missing.empty()) GTEST_SKIP() << missing

// Sections, a look at the frame before, text, a blur and a tone: every
// frame and sample as the lossless render has them (8-bit 4:2:2 converts
// exactly both ways, so the bound is 0).
TEST(MeltFilter, RunsTheScriptAsTheLosslessRenderDoes) {
    TempDir dir;
    std::string repository;
    SKIP_WITHOUT_MELT(dir, repository);
    ASSERT_TRUE(MakeClip422(dir / "clip.mkv", 12));
    apptest::WriteFile(dir / "kinetra.txt",
                       "[0-]\n"
                       "copyframe(0, f-1, 0, 0, w/2, h, 0, 0)\n"
                       "text(0, 4, h/2, 0, \"Kinetra\")\n"
                       "defocus(0, 0, w/2, 0, w/2, h/2, 0, 0, 3)\n"
                       "a_tone(0, 440, 0, 0.2)\n"
                       "[3-6]\n"
                       "fill(0, 8, 8, 16, 16, 4096, 0, 0)\n");
    std::string err;
    ASSERT_EQ(RunMelt(repository,
                      "'" + (dir / "clip.mkv") + "' -attach kinetra" + MeltOutput(dir / "melt.mkv"),
                      &err),
              0)
        << err;
    ASSERT_EQ(apptest::RunProgram("render '" + (dir / "clip.mkv") + "' -o '" +
                                      (dir / "render.mkv") + "' --lossless -q",
                                  &err),
              0)
        << err;
    std::vector<AVFrame*> melt = apptest::DecodeAllFrames(dir / "melt.mkv");
    std::vector<AVFrame*> render = apptest::DecodeAllFrames(dir / "render.mkv");
    ASSERT_EQ(melt.size(), 12u);
    ASSERT_EQ(render.size(), 12u);
    for (size_t f = 0; f < melt.size(); ++f) {
        for (int plane = 0; plane < 3; ++plane) {
            int width = plane == 0 ? 160 : 80;
            for (int y = 0; y < 120; ++y) {
                const uint8_t* a = melt[f]->data[plane] + y * melt[f]->linesize[plane];
                const uint8_t* b = render[f]->data[plane] + y * render[f]->linesize[plane];
                ASSERT_EQ(std::string(a, a + width), std::string(b, b + width))
                    << "frame " << f << " plane " << plane << " row " << y;
            }
        }
    }
    apptest::FreeFrames(&melt);
    apptest::FreeFrames(&render);
    int32_t rate = 0, channels = 0;
    std::vector<int16_t> melt_sound = apptest::DecodeAllAudio(dir / "melt.mkv", &rate, &channels);
    std::vector<int16_t> render_sound =
        apptest::DecodeAllAudio(dir / "render.mkv", &rate, &channels);
    ASSERT_FALSE(render_sound.empty());
    EXPECT_TRUE(melt_sound == render_sound);
}

// White bars on a black band: one f pixels long (the frame number in the
// clip), one a/10 long (slider a, keyframed from 0 to 1000 over the filter's
// five frames). A script that is missing lets the frames through with a
// message.
TEST(MeltFilter, FramesCountFromTheClipAndSlidersFollowTheirKeyframes) {
    TempDir dir;
    std::string repository;
    SKIP_WITHOUT_MELT(dir, repository);
    ASSERT_TRUE(MakeClip422(dir / "clip.mkv", 20));
    apptest::WriteFile(dir / "bars.txt",
                       "[0-]\n"
                       "fill(0, 0, 0, w, 8, 0, 0, 0)\n"
                       "fill(0, 0, 0, f, 4, 4096, 0, 0)\n"
                       "fill(0, 0, 4, a/10, 4, 4096, 0, 0)\n");
    std::string err, clip = "'" + (dir / "clip.mkv") + "' in=10 out=14 -attach kinetra ";
    ASSERT_EQ(RunMelt(repository,
                      clip + "script='" + (dir / "bars.txt") + "' a='0=0;4=1000'" +
                          MeltOutput(dir / "bars.mkv"),
                      &err),
              0)
        << err;
    std::vector<AVFrame*> frames = apptest::DecodeAllFrames(dir / "bars.mkv");
    ASSERT_EQ(frames.size(), 5u);
    for (int i = 0; i < 5; ++i) {
        // The length of the white run from the left of rows 1 and 5.
        auto bar = [&](int row) {
            const uint8_t* y = frames[i]->data[0] + row * frames[i]->linesize[0];
            int n = 0;
            while (n < 160 && y[n] > 128)
                ++n;
            return n;
        };
        EXPECT_EQ(bar(1), 10 + i) << "output frame " << i;
        EXPECT_EQ(bar(5), 25 * i) << "output frame " << i;
    }
    apptest::FreeFrames(&frames);

    ASSERT_EQ(
        RunMelt(repository,
                clip + "script='" + (dir / "none.txt") + "'" + MeltOutput(dir / "none.mkv"), &err),
        0);
    EXPECT_NE(err.find("no " + (dir / "none.txt") + "; frames pass through unchanged"),
              std::string::npos)
        << err;
}

}  // namespace
