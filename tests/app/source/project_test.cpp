// The project: its frames, its audio blocks and the services over them.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>

#include "fixtures/clips.h"
#include "base/host_threads.h"
#include "source/project.h"
#include "plugin/services.h"

namespace {

using apptest::ClipSpec;
using apptest::MakeClip;
using apptest::SampleAt;
using apptest::TempDir;

TEST(ProjectAudio, BlocksTileTheStreamForAnyRateAndFrameRate) {
    struct Case {
        const char* name;
        AVRational fps;
        int32_t rate;
    };
    const Case cases[] = {{"48k_30", {30, 1}, 48000},
                          {"44k1_ntsc", {30000, 1001}, 44100},
                          {"48k_ntsc", {30000, 1001}, 48000},
                          {"22k05_24", {24, 1}, 22050}};
    for (const Case& c : cases) {
        TempDir dir;
        ClipSpec spec;
        spec.frames = 12;
        spec.frame_rate = c.fps;
        spec.audio_rate = c.rate;
        ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
        Project p;
        std::string error;
        ASSERT_TRUE(p.Open(dir / "clip.mkv", &error)) << error;
        EXPECT_EQ(p.audio_rate(), c.rate) << c.name;
        EXPECT_EQ(p.channels(), 2) << c.name;
        // round(f * rate / fps) for every frame, and the blocks add up to it.
        int64_t total = 0;
        for (int32_t f = 0; f < 12; ++f) {
            double exact = double(f) * c.rate * c.fps.den / c.fps.num;
            EXPECT_EQ(p.AudioStart(f), int64_t(exact + 0.5)) << c.name << " frame " << f;
            EXPECT_EQ(p.AudioStart(f), total) << c.name;
            total += p.AudioLength(f);
        }
        // Each block holds exactly the stream's samples at those positions,
        // whatever the order of reading.
        std::vector<int32_t> order = {11, 0, 5, 4, 6, 1, 10, 2, 3, 9, 7, 8};
        for (int32_t f : order) {
            std::vector<int16_t> block(size_t(p.AudioLength(f)) * 2, 7);
            ASSERT_EQ(p.ReadAudio(f, block.data()), p.AudioLength(f));
            int64_t start = p.AudioStart(f);
            for (int32_t i = 0; i < p.AudioLength(f); ++i) {
                ASSERT_EQ(block[2 * i], SampleAt(start + i, 0)) << c.name << " frame " << f;
                ASSERT_EQ(block[2 * i + 1], SampleAt(start + i, 1)) << c.name << " frame " << f;
            }
        }
    }
}

TEST(ProjectAudio, MonoSourcesGiveOneChannelAndSilentSourcesTheDefaultFormat) {
    TempDir dir;
    ClipSpec mono;
    mono.frames = 4;
    mono.channels = 1;
    mono.audio_rate = 32000;
    ASSERT_TRUE(MakeClip(dir / "mono.mkv", mono));
    Project p;
    std::string error;
    ASSERT_TRUE(p.Open(dir / "mono.mkv", &error)) << error;
    EXPECT_EQ(p.channels(), 1);
    EXPECT_EQ(p.audio_rate(), 32000);
    std::vector<int16_t> block(p.AudioLength(2));
    p.ReadAudio(2, block.data());
    EXPECT_EQ(block[0], SampleAt(p.AudioStart(2), 0));

    ClipSpec silent;
    silent.frames = 4;
    silent.audio_rate = 0;
    ASSERT_TRUE(MakeClip(dir / "silent.mkv", silent));
    Project q;
    ASSERT_TRUE(q.Open(dir / "silent.mkv", &error)) << error;
    EXPECT_FALSE(q.has_audio());
    EXPECT_EQ(q.audio_rate(), 48000);
    EXPECT_EQ(q.channels(), 2);
    std::vector<int16_t> quiet(size_t(q.AudioLength(1)) * 2, 99);
    EXPECT_EQ(q.ReadAudio(1, quiet.data()), 1600);
    EXPECT_TRUE(std::all_of(quiet.begin(), quiet.end(), [](int16_t s) { return s == 0; }));
}

class ProjectServices : public ::testing::Test {
  protected:
    void SetUp() override {
        ClipSpec spec;
        spec.frames = 10;
        ASSERT_TRUE(MakeClip(dir_ / "clip.mkv", spec));
        std::string error;
        ASSERT_TRUE(project_.Open(dir_ / "clip.mkv", &error)) << error;
        FillHostServices(&services_);
        BindProject(&project_);
    }
    void TearDown() override { BindProject(nullptr); }

    int32_t NumberAt(int32_t f) {
        PixelYC* pixels = services_.get_rendered_frame(&filter_, &project_, f, nullptr, nullptr);
        if (pixels == nullptr) return -2;
        return apptest::ReadFrameNumber(pixels, project_.width(), project_.width());
    }

    TempDir dir_;
    Project project_;
    HostServices services_;
    FilterTable filter_{};
};

TEST_F(ProjectServices, RenderedFramesAreExactInAnyOrderAndNullOutsideTheProject) {
    for (int32_t f : {7, 2, 9, 0, 3, 3, 8}) {
        EXPECT_EQ(NumberAt(f), f);
    }
    EXPECT_EQ(services_.get_rendered_frame(&filter_, &project_, -1, nullptr, nullptr), nullptr);
    EXPECT_EQ(services_.get_rendered_frame(&filter_, &project_, 10, nullptr, nullptr), nullptr);
    int32_t w = 0, h = 0;
    services_.get_rendered_frame(&filter_, &project_, 1, &w, &h);
    EXPECT_EQ(w, 64);
    EXPECT_EQ(h, 48);
}

TEST_F(ProjectServices, ReservedFramesStayDecoded) {
    services_.reserve_frame_cache(&filter_, 64, 48, 5, 0);
    for (int32_t f = 0; f < 5; ++f)
        NumberAt(f);
    int64_t decoded = project_.decoded_frames();
    for (int32_t f = 4; f >= 0; --f)
        EXPECT_EQ(NumberAt(f), f);
    EXPECT_EQ(project_.decoded_frames(), decoded);
}

TEST_F(ProjectServices, LengtheningAddsBlackSilentFrames) {
    services_.set_timeline_length(&project_, 15);
    EXPECT_EQ(project_.frame_count(), 15);
    services_.set_timeline_length(&project_, 12);  // never shortens
    EXPECT_EQ(project_.frame_count(), 15);
    PixelYC* pixels = services_.get_rendered_frame(&filter_, &project_, 14, nullptr, nullptr);
    ASSERT_NE(pixels, nullptr);
    for (int32_t i = 0; i < 64 * 48; ++i) {
        ASSERT_EQ(pixels[i].y, 0);
        ASSERT_EQ(pixels[i].cb, 0);
        ASSERT_EQ(pixels[i].cr, 0);
    }
    std::vector<int16_t> block(1600 * 2, 5);
    EXPECT_EQ(services_.read_timeline_audio(&filter_, &project_, 12, block.data()), 1600);
    EXPECT_TRUE(std::all_of(block.begin(), block.end(), [](int16_t s) { return s == 0; }));
    EXPECT_EQ(services_.read_timeline_audio(&filter_, &project_, 15, block.data()), 0);
    EXPECT_EQ(services_.read_timeline_audio(&filter_, &project_, -1, block.data()), 0);
}

TEST_F(ProjectServices, TimelineAudioIsTheSourceAudioOfTheFrame) {
    std::vector<int16_t> block(1600 * 2);
    EXPECT_EQ(services_.read_timeline_audio(&filter_, &project_, 3, block.data()), 1600);
    EXPECT_EQ(block[0], SampleAt(4800, 0));
    EXPECT_EQ(block[3199], SampleAt(6399, 1));
}

TEST_F(ProjectServices, SourceQueryGivesTheAbsolutePathAndRate) {
    SourceInfo info;
    std::memset(&info, 0xff, sizeof info);
    services_.query_source_file(&project_, &info);
    EXPECT_STREQ(info.path, (dir_ / "clip.mkv").c_str());
    EXPECT_EQ(info.audio_rate, 48000);
}

std::atomic<int32_t> g_calls;
std::atomic<int32_t> g_seen_count;
std::atomic<uint32_t> g_seen_ids;

void CountCall(int32_t id, int32_t count, void* p1, void* p2) {
    ++g_calls;
    g_seen_count = count;
    g_seen_ids |= 1u << id;
    EXPECT_EQ(p1, &g_calls);
    EXPECT_EQ(p2, nullptr);
}

TEST_F(ProjectServices, WorkerThreadsRunTheFunctionOncePerThread) {
    SetHostThreadCount(3);
    g_calls = 0;
    g_seen_ids = 0;
    EXPECT_EQ(services_.run_on_worker_threads(CountCall, &g_calls, nullptr), 1);
    EXPECT_EQ(g_calls, 3);
    EXPECT_EQ(g_seen_count, 3);
    EXPECT_EQ(g_seen_ids, 0x7u);
}

// A variable-frame-rate source is mapped by time onto a constant rate:
// frames repeated across gaps, dropped where several share a period, and the
// video as long as the audio.
TEST(VariableFrameRate, FramesFollowTheirTimeStampsAndTheAudio) {
    TempDir dir;
    ClipSpec spec;
    spec.frame_rate = AVRational{60, 1};
    spec.frames = 25;
    // 30 fps for ten frames, then 15 fps for five, then 60 fps for ten.
    for (int64_t f = 0; f < 25; ++f)
        spec.stamps.push_back(f < 10 ? 2 * f : f < 15 ? 20 + 4 * (f - 10) : 40 + (f - 15));
    ASSERT_TRUE(MakeClip(dir / "vfr.mkv", spec));
    Project p;
    std::string error;
    testing::internal::CaptureStderr();
    ASSERT_TRUE(p.Open(dir / "vfr.mkv", &error)) << error;
    std::string note = testing::internal::GetCapturedStderr();

    const double rate = av_q2d(p.frame_rate());
    const double seconds = 50.0 / 60.0;
    const int32_t n = p.source_frames();
    EXPECT_LE(std::abs(n / rate - seconds), 1.0 / rate) << n << " frames at " << rate;
    std::vector<bool> shown(25, false);
    for (int32_t k = 0; k < n; ++k) {
        int32_t expected = 0;
        for (int32_t f = 0; f < 25; ++f) {
            if (std::llround(spec.stamps[f] / 60.0 * rate) <= k) expected = f;
        }
        shown[expected] = true;
        ASSERT_EQ(apptest::ReadFrameNumber(p.Frame(k), p.width(), p.width()), expected)
            << "frame " << k << " at " << rate << " fps";
    }
    int32_t distinct = int32_t(std::count(shown.begin(), shown.end(), true));
    EXPECT_EQ(p.video().repeated_frames(), n - distinct);
    EXPECT_EQ(p.video().dropped_frames(), 25 - distinct);
    EXPECT_NE(note.find("variable frame rate: its 25 frames are mapped by time onto " +
                        std::to_string(n) + " frames"),
              std::string::npos)
        << note;
    // The sound is neither cut nor out of step: the project's audio runs to
    // the end of the video and the clip's samples stay where they were.
    EXPECT_NEAR(double(p.AudioStart(n)) / 48000, seconds, 1.0 / rate);
    std::vector<int16_t> block(size_t(p.AudioLength(n / 2)) * 2);
    p.ReadAudio(n / 2, block.data());
    EXPECT_EQ(block[0], SampleAt(p.AudioStart(n / 2), 0));
}

// A constant-rate clip with B-frames is left as it is.
TEST(VariableFrameRate, ConstantRateClipsAreNotMapped) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 30;
    spec.frame_rate = AVRational{30000, 1001};
    spec.lossless = false;
    ASSERT_TRUE(MakeClip(dir / "cfr.mkv", spec));
    Project p;
    std::string error;
    ASSERT_TRUE(p.Open(dir / "cfr.mkv", &error)) << error;
    EXPECT_EQ(p.source_frames(), 30);
    EXPECT_EQ(p.video().repeated_frames() + p.video().dropped_frames(), 0);
}

}  // namespace

namespace {

// Reading ahead changes no pixel: every access pattern a render and a
// script make (in order, looking back, jumping ahead and back, past the end)
// gives the same pictures as plain decoding, and the working copies handed
// out are the source frame; also with the exact conversion of lossless work.
TEST(ProjectReadAhead, GivesThePicturesOfPlainDecodingInEveryOrder) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 24;
    spec.lossless = false;  // key frames every 12, B-frames: reordering and seeks
    ASSERT_TRUE(MakeClip(dir / "clip.mp4", spec));
    struct Case {
        const char* name;
        int32_t first;
        std::vector<int32_t> order;  // negative: TakeCopies of -f-1
        int32_t copies_first = 0;    // frames first..first+N-1 taken by TakeCopies alone
    };
    const Case cases[] = {
        {"in order with copies", 0, {-1, -2, -3, -4, -5, -6, -7, -8, -9, -10, -11, -12, -13}},
        {"looking back each frame", 3, {-4, 3, -5, 4, -6, 5, -7, 6}},
        {"copies only, then looking back", 0, {3, -6, 4, -7, 5, -8}, 5},
        {"jump ahead then on", 0, {-1, -2, -18, -19, -20, 2}},
        {"jump back", 10, {-11, -12, 1, -13, -14}},
        {"past the end", 20, {-21, -22, -23, -24, -25, -26}},
        {"looking far back, then near", 9, {-10, 1, -11, 2, -12, 10, -13, 12}},
    };
    using Form = Project::AheadForm;
    for (bool exact : {false, true}) {
        SCOPED_TRACE(exact ? "exact conversion" : "fast conversion");
        Project plain;
        std::string error;
        ASSERT_TRUE(plain.Open(dir / "clip.mp4", &error)) << error;
        plain.SetExactColour(exact);
        plain.Lengthen(26);
        size_t pixels = size_t(plain.width()) * plain.height();
        ToYCConverter converter;
        converter.set_exact(exact);
        // The working copies of frame f as the form hands them out, or false
        // when it was not read ahead.
        auto take = [&](Project& ahead, Form form, int32_t f, PixelBuffer* edit,
                        PixelBuffer* temp) {
            if (form != Form::kAsDecoded) {
                return ahead.TakeCopies(f, edit, form == Form::kTwoCopies ? temp : nullptr);
            }
            FramePtr decoded = ahead.TakeDecoded(f);
            if (!decoded) return false;
            edit->resize(pixels);
            return converter.Convert(decoded.get(), edit->data(), plain.width());
        };
        for (Form form : {Form::kTwoCopies, Form::kOneCopy, Form::kAsDecoded}) {
            for (const Case& c : cases) {
                SCOPED_TRACE(std::string(c.name) + ", form " + std::to_string(int(form)));
                Project ahead;
                ASSERT_TRUE(ahead.Open(dir / "clip.mp4", &error)) << error;
                ahead.SetExactColour(exact);
                ahead.Lengthen(26);
                ahead.SetAheadForm(form);
                ahead.StartReadAhead(c.first, 2);
                PixelBuffer edit(pixels), temp(pixels);
                // A script that never looks at source frames: only the copies are made.
                for (int32_t f = c.first; f < c.first + c.copies_first; ++f) {
                    std::vector<PixelYC> expected(plain.Frame(f), plain.Frame(f) + pixels);
                    if (take(ahead, form, f, &edit, &temp)) {
                        EXPECT_EQ(0, std::memcmp(edit.data(), expected.data(), pixels * 6))
                            << "frame " << f;
                    }
                }
                for (int32_t step : c.order) {
                    int32_t f = step < 0 ? -step - 1 : step;
                    std::vector<PixelYC> expected(plain.Frame(f), plain.Frame(f) + pixels);
                    // Whether a copy was ready in time depends on the machine's
                    // speed (a sanitizer build may never be ahead), so only what
                    // was taken is checked.
                    if (step < 0 && take(ahead, form, f, &edit, &temp)) {
                        EXPECT_EQ(0, std::memcmp(edit.data(), expected.data(), pixels * 6))
                            << "frame " << f;
                        if (form == Form::kTwoCopies) {
                            EXPECT_EQ(0, std::memcmp(temp.data(), expected.data(), pixels * 6))
                                << "frame " << f;
                        }
                    }
                    const PixelYC* got = ahead.Frame(f);
                    ASSERT_NE(got, nullptr);
                    EXPECT_EQ(0, std::memcmp(got, expected.data(), pixels * 6)) << "frame " << f;
                }
                ahead.StopReadAhead();
            }
        }
    }
}

// A render that catches up with the reading ahead waits for the frame the
// thread takes next rather than decoding it a second time itself: every frame
// asked for in order comes with its copies, each decoded once, also when the
// script looks at source frames from the first frame on (whose copies are
// out before it first asks), and when it looks K frames back or ahead within
// the two seconds kept as decoded; a look further back costs one seek for the
// whole row, on a decoder of its own. The pictures of frames done are reused:
// the whole run makes no more of them than are ever in use at once, and the
// cache, though the plug-in reserves five frames, keeps no more than the
// frames the script looks back over (the look back and the current frame).
TEST(ProjectReadAhead, FramesAskedForInOrderAreDecodedOnceIntoReusedPictures) {
    TempDir dir;
    ClipSpec spec;
    spec.frames = 100;
    ASSERT_TRUE(MakeClip(dir / "clip.mkv", spec));
    const int32_t kRendered = 90;
    struct Case {
        bool looks;
        int32_t k;              // the script also asks for frame f - k
        int32_t decoded_again;  // of those, beyond the two seconds (at 30 fps)
    };
    for (Case c : {Case{false, 0, 0}, Case{true, 1, 0}, Case{true, 10, 0}, Case{true, 30, 0},
                   Case{true, -20, 0}, Case{true, 70, kRendered - 70}}) {
        for (Project::AheadForm form :
             {Project::AheadForm::kTwoCopies, Project::AheadForm::kOneCopy}) {
            SCOPED_TRACE(testing::Message() << "form " << static_cast<int>(form));
            Project p;
            std::string error;
            ASSERT_TRUE(p.Open(dir / "clip.mkv", &error)) << error;
            p.SetAheadForm(form);
            const int32_t kReserved = 5;
            p.ReserveFrames(kReserved);
            const int32_t depth = 2;
            int64_t blocks_before = page_memory::BlocksMade();
            p.StartReadAhead(0, depth);
            PixelBuffer edit, temp;
            for (int32_t f = 0; f < kRendered; ++f) {
                EXPECT_TRUE(p.TakeCopies(f, &edit, &temp) || c.k < 0) << "frame " << f;
                if (!c.looks) continue;
                const PixelYC* other = p.Frame(f - c.k);
                ASSERT_EQ(other == nullptr, f < c.k || f - c.k >= spec.frames) << "frame " << f;
                if (other != nullptr) {
                    EXPECT_EQ(apptest::ReadFrameNumber(other, p.width(), p.width()), f - c.k);
                }
                EXPECT_NE(p.Frame(f), nullptr) << "frame " << f;
            }
            p.StopReadAhead();
            // Each frame asked for decoded once, at most depth + 1 more read ahead.
            int32_t last = std::max(kRendered, kRendered - c.k);
            EXPECT_LE(p.decoded_frames(), last + depth + 1 + c.decoded_again) << c.k;
            EXPECT_EQ(p.video().seek_count(), 0) << c.k;
            EXPECT_LE(p.behind_seeks(), 1) << c.k;
            // In use at once: the two copies handed out, the frames cached and
            // the two pictures of each frame read ahead.
            const int32_t cached = c.looks ? std::min(kReserved, std::abs(c.k) + 1) : 0;
            EXPECT_LE(page_memory::BlocksMade() - blocks_before, 2 + cached + 2 * (depth + 1))
                << c.k;
        }
    }
}

}  // namespace
