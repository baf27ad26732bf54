// The plug-in as the host sees it: registration, callbacks, display copy and
// the file cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "host/buffers.h"
#include "host/video_file_cache.h"
#include "script/script.h"
#include "support/test_host.h"
#include "support/test_platform.h"

using testhost::TestHost;

namespace {

// What the editor does with the list: walks it to the null entry and tells
// the audio filter by its flag; the user picks the filters by name.
TEST(Registration, TheHostFindsOneVideoAndOneAudioFilter) {
    TestHost host;
    std::vector<std::string> video, audio;
    for (FilterTable** entry = host.list(); *entry != nullptr; ++entry) {
        ((*entry)->flags & KINETRA_FLAG_AUDIO ? audio : video).push_back((*entry)->name);
    }
    EXPECT_EQ(video, std::vector<std::string>{"Kinetra[Video]"});
    EXPECT_EQ(audio, std::vector<std::string>{"Kinetra[Audio]"});
}

// Each slider the editor draws from the registration reaches the script
// variable its name shows ("変数a" is `a`, ...) at the bottom, the default and
// the top of its range.
TEST(Registration, EachSliderDrivesTheVariableItsNameShows) {
    const std::string letters = "abcduvxyz";
    const std::string prefix = "\x95\xCF\x90\x94";  // 変数
    TestHost host;
    // Pixel k of row 0 takes variable letters[k] as its Y.
    std::string script;
    for (size_t k = 0; k < letters.size(); ++k)
        script += "fill(0, " + std::to_string(k) + ", 0, 1, 1, " + letters[k] + ", 0, 0)\n";
    host.WriteScript(script);
    const FilterTable* v = host.video();
    ASSERT_EQ(v->track_count, KINETRA_TRACK_COUNT);
    for (int32_t i = 1; i < v->track_count; ++i) {
        const std::string name = v->track_names[i];
        ASSERT_EQ(name.substr(0, prefix.size()), prefix) << i;
        const size_t k = letters.find(name.substr(prefix.size()));
        ASSERT_NE(k, std::string::npos) << name;
        for (int32_t position :
             {v->track_minimums[i], v->track_defaults[i], v->track_maximums[i]}) {
            std::fill(host.tracks, host.tracks + KINETRA_TRACK_COUNT, 0);
            host.tracks[i] = position;
            ASSERT_EQ(host.RunVideo(0), 1);
            EXPECT_EQ(host.OutputAt(int32_t(k), 0).y, position) << letters[k];
        }
    }
    // Slider 0 chooses the buffer shown, 0..9 (DisplayCopy below).
    EXPECT_EQ(v->track_maximums[0], 9);
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
