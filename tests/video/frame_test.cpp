// Frames and buffers: frames of other video files, frames of the project,
// the exchange of the host's images, the output size, and still images.
#include <gtest/gtest.h>

#include <string>

#include "video/video_commands.h"
#include "support/test_platform.h"
#include "video_script.h"

namespace {

using testhost::MediaFile;
using testhost::Picture;
using testhost::TestHost;
using videotest::Channels;
using videotest::YC;

const Channels kBlack(0, 0, 0);

using testhost::CurrentDirectory;
using testhost::RealPath;

// A clip whose frame f has pixel (x, y) = (f * 100 + x, y, -x).
MediaFile Clip() {
    MediaFile clip;
    clip.frame_count = 10;
    clip.width = 32;
    clip.height = 24;
    clip.pixel = [](int32_t f, int32_t x, int32_t y) {
        return PixelYC{int16_t(f * 100 + x), int16_t(y), int16_t(-x)};
    };
    return clip;
}

TEST(ReadVideo, ReadsTheFrameRoundedDownWithTheScriptDirectoryCurrent) {
    TestHost host;
    host.AddMediaFile("clip.avi", Clip());
    host.tracks[0] = 2;
    host.WriteScript(
        "[0-99]\n"
        "readvideo(2, 2.7, clip.avi)\n"
        "readvideo(3, -0.5, clip.avi)\n");
    std::string before = CurrentDirectory();
    host.RunVideo(0);
    EXPECT_EQ(YC(host.OutputAt(5, 6)), Channels(205, 6, -5));
    EXPECT_EQ(CurrentDirectory(), before);

    EXPECT_EQ(host.CountCalls("open_media_file"), 1);  // opened once, then found
    std::vector<int32_t> frames;
    for (const testhost::ServiceCall& c : host.calls) {
        if (c.service == "open_media_file") {
            EXPECT_EQ(RealPath(c.cwd), RealPath(host.directory()));
        }
        if (c.service == "read_media_frame") frames.push_back(c.a);
    }
    EXPECT_EQ(frames, (std::vector<int32_t>{2, -1}));
}

TEST(ReadVideo, BadIndicesAndMissingFilesLeaveBuffersAlone) {
    TestHost host;
    host.AddMediaFile("clip.avi", Clip());
    host.tracks[0] = 2;
    host.WriteScript(
        "[0-99]\n"
        "readvideo(-1, 0, clip.avi)\n"
        "readvideo(10, 0, clip.avi)\n"
        "readvideo(2, 0, missing.avi)\n");
    host.RunVideo(0);
    EXPECT_EQ(host.CountCalls("read_media_frame"), 0);
    EXPECT_EQ(host.CountCalls("open_media_file"), 1);  // only the missing file was tried
    EXPECT_EQ(YC(host.OutputAt(5, 6)), kBlack);
}

TEST(CopyFrame, CopiesAClippedRectangleOfAProjectFrame) {
    TestHost host;
    host.tracks[0] = 2;
    host.WriteScript("[0-99]\ncopyframe(2, 5.9, -3, 1, 10, 4, 0, 2)\n");
    host.RunVideo(0);
    // Frame 5: (80 + x, y - 8, x - y). Source (x, y) lands at (x + 3, y + 1).
    EXPECT_EQ(YC(host.OutputAt(3, 2)), Channels(80, -7, -1));
    EXPECT_EQ(YC(host.OutputAt(9, 5)), Channels(86, -4, 2));
    EXPECT_EQ(YC(host.OutputAt(2, 2)), kBlack);
    EXPECT_EQ(YC(host.OutputAt(10, 2)), kBlack);
    EXPECT_EQ(YC(host.OutputAt(3, 1)), kBlack);
    EXPECT_EQ(YC(host.OutputAt(3, 6)), kBlack);

    ASSERT_EQ(host.CountCalls("reserve_frame_cache"), 1);
    ASSERT_EQ(host.CountCalls("get_rendered_frame"), 1);
    for (const testhost::ServiceCall& c : host.calls) {
        if (c.service == "reserve_frame_cache") {
            EXPECT_EQ(c.a, 32);
            EXPECT_EQ(c.b, 24);
            EXPECT_EQ(c.c, 5);
        }
        if (c.service == "get_rendered_frame") {
            EXPECT_EQ(c.a, 5);
        }
    }
}

TEST(CopyFrame, OversizeRectanglePastTheBottomRight) {
    TestHost host;
    host.tracks[0] = 2;
    host.WriteScript("[0-99]\ncopyframe(2, 0, 0, 0, 100, 100, 20, 20)\n");
    host.RunVideo(7);
    EXPECT_EQ(YC(host.OutputAt(31, 23)), Channels(11, -5, 8));  // frame 0, (11, 3)
    EXPECT_EQ(YC(host.OutputAt(20, 20)), Channels(0, -8, 0));
    EXPECT_EQ(YC(host.OutputAt(19, 20)), kBlack);
}

TEST(CopyFrame, EmptySizesAndBadIndicesAskTheHostForNothing) {
    TestHost host;
    host.tracks[0] = 2;
    host.WriteScript(
        "[0-99]\n"
        "copyframe(2, 3, 0, 0, 0, 5, 0, 0)\n"
        "copyframe(2, 3, 0, 0, 5, -1, 0, 0)\n"
        "copyframe(10, 3, 0, 0, 5, 5, 0, 0)\n");
    host.RunVideo(0);
    EXPECT_EQ(host.CountCalls("get_rendered_frame"), 0);
}

TEST(CopyFrame, AFrameTheHostCannotRenderCopiesNothing) {
    TestHost host;
    host.tracks[0] = 2;
    host.WriteScript("[0-99]\ncopyframe(2, 500, 0, 0, 5, 5, 0, 0)\n");
    host.RunVideo(0);
    EXPECT_EQ(YC(host.OutputAt(1, 1)), kBlack);
}

TEST(SwapBuf, ExchangesTheHostImagesForLaterLinesAndTheOutput) {
    TestHost host;
    host.WriteScript(
        "[0-99]\n"
        "fill(0, 0, 0, 32, 24, 1000, 0, 0)\n"
        "swapbuf()\n"
        "fill(0, 0, 0, 1, 1, 777, 0, 0)\n");
    host.RunVideo(0);
    EXPECT_EQ(YC(host.OutputAt(0, 0)), Channels(777, 0, 0));
    EXPECT_EQ(YC(host.OutputAt(5, 5)), Channels(5, -3, 0));  // the untouched frame
}

TEST(SwapBuf, TwiceRestoresAndSliderOneShowsTheOtherImage) {
    TestHost twice;
    twice.WriteScript("[0-99]\nfill(0, 0, 0, 32, 24, 1000, 0, 0)\nswapbuf()\nswapbuf()\n");
    twice.RunVideo(0);
    EXPECT_EQ(YC(twice.OutputAt(5, 5)), Channels(1000, 0, 0));

    TestHost once;
    once.tracks[0] = 1;
    once.WriteScript("[0-99]\nfill(0, 0, 0, 32, 24, 1000, 0, 0)\nswapbuf()\n");
    once.RunVideo(0);
    EXPECT_EQ(YC(once.OutputAt(5, 5)), Channels(1000, 0, 0));
}

TEST(DispSize, AcceptsSizesFrom16UpToTheBuffer) {
    struct Case {
        const char* args;
        int32_t width, height;
    };
    const Case cases[] = {
        {"16, 16", 16, 16}, {"32, 24", 32, 24}, {"20.9, 17.5", 20, 17}, {"15, 20", 32, 24},
        {"20, 15", 32, 24}, {"33, 20", 32, 24}, {"20, 25", 32, 24},     {"-20, 20", 32, 24},
    };
    for (const Case& c : cases) {
        TestHost host;
        host.WriteScript(std::string("[0-99]\ndispsize(") + c.args + ")\n");
        host.RunVideo(0);
        EXPECT_EQ(host.output_width(), c.width) << c.args;
        EXPECT_EQ(host.output_height(), c.height) << c.args;
    }
}

TEST(DispSize, LaterLinesSeeTheNewSize) {
    TestHost host;
    host.WriteScript("[0-99]\ndispsize(20, 16)\nfill(0, 0, 0, w, h, 9, 9, 9)\n");
    host.RunVideo(0);
    EXPECT_EQ(YC(host.OutputAt(19, 15)), Channels(9, 9, 9));
    EXPECT_EQ(YC(host.OutputAt(20, 15)), Channels(20, 7, 5));
    EXPECT_EQ(YC(host.OutputAt(19, 16)), Channels(19, 8, 3));
}

Picture Logo() {
    return videotest::MakePicture(4, 3, [](int32_t x, int32_t y) {
        return PixelYC{int16_t(3000 + x), int16_t(10 * y), int16_t(-1)};
    });
}

TEST(ReadImage, RelativeNamesResolveAgainstTheScriptDirectory) {
    TestHost host;
    host.AddImageFile("logo.png", Logo());
    host.tracks[0] = 3;
    host.WriteScript("[0-99]\nreadimage(3, logo.png)\n");
    std::string before = CurrentDirectory();
    host.RunVideo(0);
    EXPECT_EQ(CurrentDirectory(), before);
    EXPECT_EQ(YC(host.OutputAt(1, 2)), Channels(3001, 20, -1));
    EXPECT_EQ(YC(host.OutputAt(4, 0)), kBlack);
    ASSERT_EQ(host.CountCalls("load_image_file"), 1);
    for (const testhost::ServiceCall& c : host.calls) {
        if (c.service == "load_image_file") {
            EXPECT_EQ(c.name, "logo.png");
            EXPECT_EQ(RealPath(c.cwd), RealPath(host.directory()));
        }
    }
}

TEST(ReadImage, AbsoluteNamesIntoTheOutputFrameEveryRun) {
    TestHost host;
    std::string path = testhost::JoinPath(host.directory(), "elsewhere.png");
    host.AddImageFile(path, Logo());
    host.WriteScript("[0-99]\nreadimage(0, " + path + ")\n");
    host.RunVideo(0);
    host.RunVideo(1);
    EXPECT_EQ(YC(host.OutputAt(3, 0)), Channels(3003, 0, -1));
    EXPECT_EQ(YC(host.OutputAt(4, 0)), Channels(20, -8, 4));  // frame 1 around it
    EXPECT_EQ(host.CountCalls("load_image_file"), 2);
}

TEST(ReadImage, BadIndicesLoadNothing) {
    TestHost host;
    host.AddImageFile("logo.png", Logo());
    host.WriteScript("[0-99]\nreadimage(-1, logo.png)\nreadimage(10, logo.png)\n");
    host.RunVideo(0);
    EXPECT_EQ(host.CountCalls("load_image_file"), 0);
}

}  // namespace
