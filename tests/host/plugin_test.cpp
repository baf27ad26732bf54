// The plug-in as the host sees it: registration, callbacks, display copy and
// the file cache.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/buffers.h"
#include "host/video_file_cache.h"
#include "script/script.h"
#include "support/test_host.h"
#include "support/test_platform.h"

using testhost::TestHost;

namespace {

TEST(Registration, ListHoldsVideoThenAudioThenNull) {
    TestHost host;
    FilterTable** list = host.list();
    ASSERT_NE(list[0], nullptr);
    ASSERT_NE(list[1], nullptr);
    EXPECT_EQ(list[2], nullptr);
    EXPECT_EQ(list[0]->flags, 0x40000);
    EXPECT_EQ(list[1]->flags, 0x240000);
    EXPECT_STREQ(list[0]->name, "Kinetra[Video]");
    EXPECT_STREQ(list[1]->name, "Kinetra[Audio]");
    EXPECT_STREQ(list[0]->info_text, "Kinetra[Video] ver1.4");
    EXPECT_STREQ(list[1]->info_text, "Kinetra[Audio] ver1.4");
    for (FilterTable* f : {list[0], list[1]}) {
        EXPECT_EQ(f->track_count, 10);
        EXPECT_EQ(f->process, list[0]->process);
        EXPECT_EQ(f->init, list[0]->init);
        EXPECT_EQ(f->exit, list[0]->exit);
        EXPECT_EQ(f->reserved_4, 0u);
        EXPECT_EQ(f->reserved_100[9], 0u);
    }
}

TEST(Registration, SlidersAreSharedShiftJisNamesWithTheirRanges) {
    TestHost host;
    const FilterTable* v = host.video();
    EXPECT_EQ(v->track_names, host.audio()->track_names);
    EXPECT_STREQ(v->track_names[0],
                 "\x95\x5C\x8E\xA6"
                 "Buf");  // 表示Buf
    EXPECT_STREQ(v->track_names[9],
                 "\x95\xCF\x90\x94"
                 "z");  // 変数z
    const int32_t defaults[10] = {0, 0, 0, 0, 0, 0, 0, 2048, 2048, 2048};
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(v->track_defaults[i], defaults[i]) << i;
        EXPECT_EQ(v->track_minimums[i], 0) << i;
        EXPECT_EQ(v->track_maximums[i], i == 0 ? 9 : 4096) << i;
    }
}

TEST(Registration, OnlyTheListIsExported) {
    void* library = testhost::LoadLibraryFile(KINETRA_PLUGIN_PATH);
    ASSERT_NE(library, nullptr);
    EXPECT_NE(testhost::FindExport(library, "GetFilterTableList"), nullptr);
    EXPECT_EQ(testhost::FindExport(library, "FilterProcess"), nullptr);
    EXPECT_EQ(testhost::FindExport(library, "_Z13FilterProcessP11FilterTableP9FrameInfo"), nullptr);
    EXPECT_EQ(testhost::FindExport(library, "g_script"), nullptr);
    testhost::UnloadLibrary(library);
}

TEST(Callbacks, ProcessWithoutScriptLeavesTheFrame) {
    TestHost host;
    EXPECT_EQ(host.RunVideo(3), 1);
    EXPECT_EQ(host.OutputAt(5, 2).y, 3 * 16 + 5);
    EXPECT_EQ(host.RunAudio(3), 1);
    EXPECT_EQ(host.audio_output(), host.ProjectAudio(3));
}

TEST(DisplayCopy, UnusedBufferShowsBlackAndSilence) {
    TestHost host;
    host.tracks[0] = 7;
    ASSERT_EQ(host.RunVideo(1), 1);
    for (const PixelYC& p : host.output().pixels) {
        ASSERT_EQ(p.y, 0);
        ASSERT_EQ(p.cb, 0);
        ASSERT_EQ(p.cr, 0);
    }
    ASSERT_EQ(host.RunAudio(1), 1);
    for (int16_t s : host.audio_output())
        ASSERT_EQ(s, 0);
}

TEST(DisplayCopy, BufferOneShowsTheHostsSecondImage) {
    TestHost host;
    host.tracks[0] = 1;
    ASSERT_EQ(host.RunVideo(4), 1);
    EXPECT_EQ(host.OutputAt(3, 3).y, 4 * 16 + 3);
}

TEST(Callbacks, ExitTwiceIsHarmless) {
    TestHost host;
    host.RunVideo(0);
    host.RunAudio(0);
    host.video()->exit(host.video());
    host.audio()->exit(host.audio());
    EXPECT_EQ(host.video()->exit(host.video()), 1);
    // The plug-in still works after a full clean-up.
    EXPECT_EQ(host.RunAudio(1), 1);
}

// The cache's rules, driven directly with the test host's services.
class VideoFileCacheTest : public ::testing::Test {
  protected:
    void SetUp() override {
        CloseVideoFiles(host.video());
        std::memset(&g_video_files, 0, sizeof g_video_files);
        std::snprintf(g_script_directory, sizeof g_script_directory, "%s%c",
                      host.directory().c_str(), testhost::kSeparator);
        testhost::MediaFile clip;
        clip.frame_count = 10;
        clip.width = 4;
        clip.height = 4;
        clip.pixel = [](int32_t f, int32_t, int32_t) { return PixelYC{int16_t(f), 0, 0}; };
        for (int i = 0; i < 60; ++i)
            host.AddMediaFile("clip" + std::to_string(i) + ".avi", clip);
        host.AddMediaFile("Clip0.avi", clip);
    }
    void TearDown() override { CloseVideoFiles(host.video()); }
    TestHost host;
};

TEST_F(VideoFileCacheTest, FiftyFirstFileClosesTheFirst) {
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(OpenOrFindVideoFile(host.video(), ("clip" + std::to_string(i) + ".avi").c_str()),
                  i);
    }
    EXPECT_EQ(host.CountCalls("close_media_file"), 0);
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "clip50.avi"), 0);
    EXPECT_EQ(host.CountCalls("close_media_file"), 1);
    // A hit does not refresh age: clip1 stays in slot 1 and is the next to go.
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "clip1.avi"), 1);
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "clip0.avi"), 1);
    EXPECT_EQ(host.CountCalls("open_media_file"), 52);
}

TEST_F(VideoFileCacheTest, TwoSpellingsTakeTwoSlots) {
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "clip0.avi"), 0);
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "Clip0.avi"), 1);
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "clip0.avi"), 0);
    EXPECT_EQ(host.CountCalls("open_media_file"), 2);
}

TEST_F(VideoFileCacheTest, FailedOpenIsRetriedAndCachesNothing) {
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "missing.avi"), -1);
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "missing.avi"), -1);
    EXPECT_EQ(host.CountCalls("open_media_file"), 2);
    EXPECT_EQ(g_video_files.next_slot, 0);
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), "clip3.avi"), 0);
}

TEST_F(VideoFileCacheTest, EmptyAndOverlongNamesNeverOpen) {
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), ""), -1);
    std::string long_name(260, 'a');
    EXPECT_EQ(OpenOrFindVideoFile(host.video(), long_name.c_str()), -1);
    EXPECT_EQ(host.CountCalls("open_media_file"), 0);
}

TEST_F(VideoFileCacheTest, OpensInTheScriptDirectoryAndRestoresTheCurrentOne) {
    std::string before = testhost::CurrentDirectory();
    ASSERT_NE(before, "");
    std::vector<PixelYC> frame(size_t(host.max_w) * host.max_h);
    ReadVideoFrame(host.video(), "clip2.avi", 7, frame.data());
    ASSERT_EQ(host.CountCalls("open_media_file"), 1);
    EXPECT_EQ(host.calls[0].cwd, testhost::RealPath(host.directory()));
    EXPECT_EQ(testhost::CurrentDirectory(), before);
    EXPECT_EQ(frame[0].y, 7);
}

}  // namespace
