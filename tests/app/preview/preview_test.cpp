// `kinetra preview`'s HTTP interface, driven through an HTTP client: frames
// and sliders, sound, refusals, only the newest frame under load, reloads
// and the export.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/options.h"
#include "fixtures/clips.h"
#include "preview/preview_engine.h"
#include "preview/preview_export.h"
#include "preview/preview_options.h"
#include "preview/preview_server.h"

namespace {

using apptest::TempDir;
using json = nlohmann::json;

constexpr int32_t kFrames = 30;

// Waits until `done` holds, checking every `step`; false when `limit` passed
// first. The limit only guards against a hang: it is far longer than any
// wait takes on a loaded machine or in a sanitized build.
template <typename Done>
bool WaitUntil(Done done, std::chrono::milliseconds step = std::chrono::milliseconds(10),
               std::chrono::seconds limit = std::chrono::seconds(120)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(step);
    }
    return true;
}

// Filled by the script below the frame-number bars: Y = slider a.
constexpr char kSliderScript[] = "fill(0, 0, h/2, w, h-h/2, a, 0, 0)\n";

// A source clip (numbered frames, known samples) with a script, served.
class PreviewTest : public ::testing::Test {
  protected:
    void Start(const std::string& script) {
        apptest::ClipSpec spec;
        spec.frames = kFrames;
        ASSERT_TRUE(apptest::MakeClip(dir_ / "clip.mkv", spec));
        if (!script.empty()) apptest::WriteFile(dir_ / "kinetra.txt", script);
        PreviewServerOptions options;
        options.source = dir_ / "clip.mkv";
        options.plugin = KINETRA_PLUGIN_PATH;
        options.program = KINETRA_APP_PATH;
        options.threads = 2;
        std::string error;
        ASSERT_TRUE(server_.Start(options, &error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_.port());
        client_->set_read_timeout(60, 0);
        origin_ = "http://127.0.0.1:" + std::to_string(server_.port());
    }

    httplib::Result PutSliders(const json& values) {
        return client_->Put("/api/sliders", {{"Origin", origin_}}, json{{"values", values}}.dump(),
                            "application/json");
    }

    // The picture of a PNG frame, read back through FFmpeg.
    PictureYC FramePicture(const std::string& png) {
        std::string path = dir_ / "frame.png";
        apptest::WriteFile(path, png);
        std::vector<AVFrame*> frames = apptest::DecodeAllFrames(path);
        PictureYC picture;
        if (frames.size() == 1) {
            picture.Resize(frames[0]->width, frames[0]->height);
            ToYCConverter converter;
            EXPECT_TRUE(converter.Convert(frames[0], picture.pixels.data(), picture.width));
        }
        apptest::FreeFrames(&frames);
        return picture;
    }

    // Frame n as served: its number (from the bars) and the Y of the bottom row.
    void GetFrame(int32_t n, int32_t* number, int32_t* bottom_y) {
        auto res = client_->Get("/frame/" + std::to_string(n) + ".png");
        ASSERT_TRUE(res);
        ASSERT_EQ(res->status, 200) << res->body;
        EXPECT_EQ(res->get_header_value("Content-Type"), "image/png");
        PictureYC p = FramePicture(res->body);
        ASSERT_EQ(p.width, 64);
        *number = apptest::ReadFrameNumber(p.pixels.data(), p.width, p.width);
        *bottom_y = p.pixels[size_t(p.height - 1) * p.width + p.width / 2].y;
    }

    TempDir dir_;
    PreviewServer server_;
    std::unique_ptr<httplib::Client> client_;
    std::string origin_;
};

TEST_F(PreviewTest, FramesFollowTheTimelineTheSlidersAndTheDisplayBuffer) {
    Start(kSliderScript);
    struct Case {
        const char* name;
        int32_t frame;
        json values;
        int32_t number;    // -1: the bars are gone (black frame)
        int32_t bottom_y;  // within 8-bit rounding
    };
    const Case cases[] = {
        {"first frame, defaults", 0, {0, 0, 0, 0, 0, 0, 0, 2048, 2048, 2048}, 0, 0},
        {"slider a sets the fill", 7, {0, 3000, 0, 0, 0, 0, 0, 2048, 2048, 2048}, 7, 3000},
        {"last frame, another value", 29, {0, 1200, 0, 0, 0, 0, 0, 2048, 2048, 2048}, 29, 1200},
        {"display buffer 5 is unused: black", 12, {5, 1200, 0, 0, 0, 0, 0, 0, 0, 0}, -1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto put = PutSliders(c.values);
        ASSERT_TRUE(put);
        ASSERT_EQ(put->status, 200) << put->body;
        int32_t number = -2, bottom = -1;
        GetFrame(c.frame, &number, &bottom);
        if (c.number >= 0) {
            EXPECT_EQ(number, c.number);
        }
        EXPECT_NEAR(bottom, c.bottom_y, 40);
    }
    // The project reports the sliders as set, with the table's names and ranges.
    auto res = client_->Get("/api/project");
    ASSERT_TRUE(res);
    json project = json::parse(res->body);
    EXPECT_EQ(project["frame_count"], kFrames);
    EXPECT_EQ(project["width"], 64);
    EXPECT_EQ(project["sliders"][0]["name"], "表示Buf");
    EXPECT_EQ(project["sliders"][9]["name"], "変数z");
    EXPECT_EQ(project["sliders"][9]["default"], 2048);
    EXPECT_EQ(project["sliders"][1]["max"], 4096);
    EXPECT_EQ(project["sliders"][1]["value"], 1200);
    EXPECT_EQ(project["sliders"][0]["value"], 5);
    EXPECT_TRUE(project["loaded_at"].is_number());
}

// The plug-in runs as it does in a render: its run-time failures reach the
// page with their line and frame, the project grows no further than the
// length bound, and the sliders start at the plug-in's own defaults.
TEST_F(PreviewTest, ThePluginRunsAsInARender) {
    Start("fill(0,0,0,4,4,log(f-1),0,0)\n[0-99999999]\nfill(0,0,0,4,4,1,0,0)\n");
    json project = json::parse(client_->Get("/api/project")->body);
    for (int i = 0; i < KINETRA_TRACK_COUNT; ++i)
        EXPECT_EQ(project["sliders"][i]["value"], project["sliders"][i]["default"]) << i;
    int32_t number = -1, bottom = -1;
    GetFrame(0, &number, &bottom);
    project = json::parse(client_->Get("/api/project")->body);
    EXPECT_EQ(project["frame_count"], kFrames);
    const json& failures = project["failures"];
    ASSERT_EQ(failures.size(), 2u) << failures.dump();
    bool evaluated = false, refused = false;
    for (const json& failure : failures) {
        std::string message = failure["message"];
        EXPECT_EQ(failure["frame"], 0) << message;
        if (failure["line"] == 1) {
            evaluated = message.find("'log(f-1)' fails to evaluate") != std::string::npos;
        } else if (failure["line"] == 0) {
            refused = message.find("lengthens the project to 99999999 frames") != std::string::npos;
        }
    }
    EXPECT_TRUE(evaluated) << failures.dump();
    EXPECT_TRUE(refused) << failures.dump();
    // A failure is told once: the next frame adds none.
    GetFrame(2, &number, &bottom);
    EXPECT_EQ(json::parse(client_->Get("/api/project")->body)["failures"].size(), 2u);
}

TEST_F(PreviewTest, SoundIsTheAudioFilterOutputOfTheFramesAsked) {
    Start("");
    auto res = client_->Get("/audio/2.wav?frames=3");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200) << res->body;
    const std::string wav = res->body;
    auto u32 = [](const std::string& wav, size_t at) {
        return uint32_t(uint8_t(wav[at])) | uint32_t(uint8_t(wav[at + 1])) << 8 |
               uint32_t(uint8_t(wav[at + 2])) << 16 | uint32_t(uint8_t(wav[at + 3])) << 24;
    };
    ASSERT_GE(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(u32(wav, 24), 48000u);  // rate
    const size_t per_frame = 48000 / 30;
    ASSERT_EQ(u32(wav, 40), 3 * per_frame * 2 * 2);  // 3 frames, stereo, 16 bits
    ASSERT_EQ(wav.size(), 44 + u32(wav, 40));
    // Without a script the filter passes the source's samples through, from frame 2 on.
    for (size_t i : {size_t(0), per_frame, 3 * per_frame - 1}) {
        for (int32_t c = 0; c < 2; ++c) {
            size_t at = 44 + (i * 2 + c) * 2;
            int16_t sample = int16_t(uint8_t(wav[at]) | uint8_t(wav[at + 1]) << 8);
            EXPECT_EQ(sample, apptest::SampleAt(int64_t(2 * per_frame + i), c)) << i << " " << c;
        }
    }
    // Asking past the end is cut at the last frame.
    res = client_->Get("/audio/28.wav?frames=10");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 200);
    EXPECT_EQ(u32(res->body, 40), 2 * per_frame * 2 * 2);
}

TEST_F(PreviewTest, BadAndForeignRequestsGetAJsonErrorAndTheServerGoesOn) {
    Start(kSliderScript);
    const std::string own = origin_;
    const std::string port = std::to_string(server_.port());
    const std::string valid = json{{"values", {0, 0, 0, 0, 0, 0, 0, 2048, 2048, 2048}}}.dump();
    struct Case {
        const char* name;
        const char* method;
        std::string path;
        httplib::Headers headers;
        std::string body;
        int status;
    };
    const Case cases[] = {
        {"frame past the end", "GET", "/frame/30.png", {}, "", 404},
        {"frame beyond int32", "GET", "/frame/9999999999.png", {}, "", 404},
        {"negative frame", "GET", "/frame/-1.png", {}, "", 404},
        {"frame number too long", "GET", "/frame/123456789012345.png", {}, "", 404},
        {"sound past the end", "GET", "/audio/30.wav?frames=1", {}, "", 404},
        {"sound of no frames", "GET", "/audio/0.wav?frames=0", {}, "", 400},
        {"sound of too many frames", "GET", "/audio/0.wav?frames=100000", {}, "", 400},
        {"sound count not a number", "GET", "/audio/0.wav?frames=3x", {}, "", 400},
        {"malformed JSON", "PUT", "/api/sliders", {{"Origin", own}}, "{\"values\": [1,", 400},
        {"nine values",
         "PUT",
         "/api/sliders",
         {{"Origin", own}},
         "{\"values\": [0,0,0,0,0,0,0,0,0]}",
         400},
        {"value out of range",
         "PUT",
         "/api/sliders",
         {{"Origin", own}},
         "{\"values\": [0,5000,0,0,0,0,0,0,0,0]}",
         400},
        {"display buffer 10",
         "PUT",
         "/api/sliders",
         {{"Origin", own}},
         "{\"values\": [10,0,0,0,0,0,0,0,0,0]}",
         400},
        {"value not an integer",
         "PUT",
         "/api/sliders",
         {{"Origin", own}},
         "{\"values\": [0,\"1\",0,0,0,0,0,0,0,0]}",
         400},
        {"body too large", "PUT", "/api/sliders", {{"Origin", own}}, std::string(100000, ' '), 413},
        {"change without an Origin", "PUT", "/api/sliders", {}, valid, 403},
        {"change from another page",
         "PUT",
         "/api/sliders",
         {{"Origin", "http://evil.example"}},
         valid,
         403},
        {"change from another port",
         "PUT",
         "/api/sliders",
         {{"Origin", "http://127.0.0.1:1"}},
         valid,
         403},
        {"export from another page",
         "POST",
         "/api/export",
         {{"Origin", "http://evil.example"}},
         "",
         403},
        {"rebound host name", "GET", "/api/project", {{"Host", "evil.example:" + port}}, "", 403},
        {"host on another port", "GET", "/frame/0.png", {{"Host", "127.0.0.1:1"}}, "", 403},
        {"read from another page",
         "GET",
         "/api/project",
         {{"Origin", "http://evil.example"}},
         "",
         403},
        {"embedded by another site",
         "GET",
         "/frame/0.png",
         {{"Sec-Fetch-Site", "cross-site"}},
         "",
         403},
        {"a file next to the source", "GET", "/kinetra.txt", {}, "", 404},
        {"a path out of the page", "GET", "/../clip.mkv", {}, "", 404},
        {"an absolute file path", "GET", "/etc/passwd", {}, "", 404},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        httplib::Request request;
        request.method = c.method;
        request.path = c.path;
        request.headers = c.headers;
        request.body = c.body;
        if (!c.body.empty()) request.set_header("Content-Type", "application/json");
        auto res = client_->send(request);
        ASSERT_TRUE(res) << httplib::to_string(res.error());
        EXPECT_EQ(res->status, c.status) << res->body;
        json body = json::parse(res->body, nullptr, false);
        EXPECT_TRUE(body.is_object() && body.contains("error")) << res->body;
    }
    // Nothing above changed the sliders, and the server still renders.
    auto project = client_->Get("/api/project");
    ASSERT_TRUE(project);
    EXPECT_EQ(json::parse(project->body)["sliders"][1]["value"], 0);
    int32_t number = -1, bottom = -1;
    GetFrame(3, &number, &bottom);
    EXPECT_EQ(number, 3);
}

TEST_F(PreviewTest, WhileAFrameRendersOnlyTheNewestWaitingRequestIsRendered) {
    Start(kSliderScript);
    PreviewEngine& engine = server_.engine();
    // Hold the plug-in thread, as a long render would.
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    engine.Post([released] { released.wait(); });
    int64_t rendered_before = engine.frames_rendered();
    int64_t asked_before = engine.frame_requests();

    constexpr int kRequests = 6;
    std::vector<std::future<int>> replies;
    for (int i = 0; i < kRequests; ++i) {
        replies.push_back(std::async(std::launch::async, [this, i] {
            httplib::Client client("127.0.0.1", server_.port());
            client.set_read_timeout(60, 0);
            auto res = client.Get("/frame/" + std::to_string(i) + ".png");
            return res ? res->status : -1;
        }));
        // The next request goes out once this one waits in the engine.
        while (engine.frame_requests() < asked_before + i + 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    release.set_value();
    for (int i = 0; i < kRequests; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(replies[i].get(), i == kRequests - 1 ? 200 : 409);
    }
    EXPECT_EQ(engine.frames_rendered(), rendered_before + 1);
}

TEST_F(PreviewTest, ASavedScriptIsAnnouncedAndAppliesByThePluginsReloadRule) {
    Start("fill(0, 0, h/2, w, h-h/2, 1000, 0, 0)\n");
    int32_t number = -1, bottom = -1;
    GetFrame(4, &number, &bottom);
    EXPECT_NEAR(bottom, 1000, 40);
    int64_t loads = json::parse(client_->Get("/api/project")->body)["load_count"];
    EXPECT_EQ(loads, 1);

    // Listen for change notifications, then save a new script.
    std::atomic<bool> stop{false};
    std::string received;
    std::mutex received_mutex;
    std::thread listener([&] {
        httplib::Client events("127.0.0.1", server_.port());
        events.set_read_timeout(30, 0);
        events.Get("/api/events", [&](const char* data, size_t size) {
            std::lock_guard<std::mutex> lock(received_mutex);
            received.append(data, size);
            return !stop.load();
        });
    });
    auto seen = [&](const std::string& text) {
        std::lock_guard<std::mutex> lock(received_mutex);
        return received.find(text) != std::string::npos;
    };
    EXPECT_TRUE(WaitUntil([&] { return seen("retry:"); }));
    apptest::WriteFile(dir_ / "kinetra.txt", "fill(0, 0, h/2, w, h-h/2, 3500, 0, 0)\n");
    // The plug-in looks at the file at most once a clock second: the new
    // script shows in a frame rendered in a later second.
    EXPECT_TRUE(WaitUntil([&] { return seen("event: script"); }));
    EXPECT_TRUE(WaitUntil(
        [&] {
            GetFrame(4, &number, &bottom);
            return HasFatalFailure() || bottom >= 3000;
        },
        std::chrono::milliseconds(100)));
    EXPECT_NEAR(bottom, 3500, 40);
    EXPECT_EQ(number, 4);
    json project = json::parse(client_->Get("/api/project")->body);
    EXPECT_EQ(project["load_count"], 2);
    EXPECT_TRUE(WaitUntil([&] { return seen("event: project"); }));
    stop = true;
    // The stream ends with the next keep-alive or at the server's stop.
    server_.Stop();
    listener.join();
}

TEST_F(PreviewTest, ExportRendersNextToTheSourceWithoutReplacingAFile) {
    Start(kSliderScript);
    apptest::WriteFile(dir_ / "clip-kinetra.mp4", "an earlier export");
    ASSERT_EQ(PutSliders({0, 2500, 0, 0, 0, 0, 0, 2048, 2048, 2048})->status, 200);
    auto res = client_->Post("/api/export", {{"Origin", origin_}}, "", "text/plain");
    ASSERT_TRUE(res);
    ASSERT_EQ(res->status, 202) << res->body;
    EXPECT_EQ(json::parse(res->body)["output"], dir_ / "clip-kinetra-2.mp4");
    json status;
    WaitUntil(
        [&] {
            status = json::parse(client_->Get("/api/export")->body);
            return status["state"] != "running";
        },
        std::chrono::milliseconds(100));
    ASSERT_EQ(status["state"], "done") << status.dump();
    EXPECT_EQ(status["done"], kFrames);
    std::vector<AVFrame*> frames = apptest::DecodeAllFrames(dir_ / "clip-kinetra-2.mp4");
    ASSERT_EQ(frames.size(), size_t(kFrames));
    // The export used the preview's slider: the bottom is filled with Y 2500.
    PictureYC p;
    p.Resize(frames[10]->width, frames[10]->height);
    ToYCConverter converter;
    ASSERT_TRUE(converter.Convert(frames[10], p.pixels.data(), p.width));
    EXPECT_NEAR(p.pixels[size_t(p.height - 1) * p.width + p.width / 2].y, 2500, 80);
    apptest::FreeFrames(&frames);
    EXPECT_TRUE(apptest::FileExists(dir_ / "clip-kinetra.mp4"));
}

TEST(PreviewExportName, TheFirstFreeNameNextToTheSource) {
    TempDir dir;
    struct Case {
        const char* name;
        std::string source;
        std::vector<std::string> existing;
        std::string expected;
    };
    const Case cases[] = {
        {"plain", dir / "clip.mp4", {}, dir / "clip-kinetra.mp4"},
        {"taken once", dir / "a.mov", {"a-kinetra.mp4"}, dir / "a-kinetra-2.mp4"},
        {"taken twice",
         dir / "b.mkv",
         {"b-kinetra.mp4", "b-kinetra-2.mp4"},
         dir / "b-kinetra-3.mp4"},
        {"no extension", dir / "take", {}, dir / "take-kinetra.mp4"},
        {"dotted name", dir / "my.clip.v2.mp4", {}, dir / "my.clip.v2-kinetra.mp4"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::string& e : c.existing)
            apptest::WriteFile(dir / e, "x");
        EXPECT_EQ(ExportPathFor(c.source), c.expected);
    }
}

TEST(PreviewSliderNames, ShiftJisNamesBecomeUtf8) {
    EXPECT_EQ(ShiftJisToUtf8("\x95\x5C\x8E\xA6"
                             "Buf"),
              "表示Buf");
    EXPECT_EQ(ShiftJisToUtf8("\x95\xCF\x90\x94"
                             "a"),
              "変数a");
    EXPECT_EQ(ShiftJisToUtf8("plain"), "plain");
    EXPECT_EQ(ShiftJisToUtf8(nullptr), "");
}

}  // namespace

namespace {

TEST(PreviewArguments, ParsedOrRefusedWithAReason) {
    struct Case {
        const char* name;
        std::vector<std::string> args;
        bool ok;
        int32_t port;
        bool open;
        const char* error;  // a part of the message
    };
    const Case cases[] = {
        {"source alone", {"preview", "a.mp4"}, true, 0, false, ""},
        {"port and open", {"preview", "a.mp4", "--port", "8080", "--open"}, true, 8080, true, ""},
        {"port with =", {"preview", "--port=9000", "a.mp4"}, true, 9000, false, ""},
        {"no source", {"preview", "--open"}, false, 0, false, "needs a SOURCE"},
        {"two sources", {"preview", "a.mp4", "b.mp4"}, false, 0, false, "one SOURCE"},
        {"port 0", {"preview", "a.mp4", "--port", "0"}, false, 0, false, "1..65535"},
        {"port too high", {"preview", "a.mp4", "--port", "65536"}, false, 0, false, "1..65535"},
        {"port not a number", {"preview", "a.mp4", "--port", "80x"}, false, 0, false, "1..65535"},
        {"port without value", {"preview", "a.mp4", "--port"}, false, 0, false, "needs a value"},
        {"unknown option", {"preview", "a.mp4", "--bogus"}, false, 0, false, "--bogus"},
        {"no hidden export mode",
         {"preview", "a.mp4", "--export-job", "o.mp4"},
         false,
         0,
         false,
         "--export-job"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PreviewOptions options;
        std::string error;
        EXPECT_EQ(ParsePreviewArguments(c.args, &options, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_EQ(options.source, "a.mp4");
            EXPECT_EQ(options.port, c.port);
            EXPECT_EQ(options.open, c.open);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

}  // namespace

namespace {

// The export's command line is one the render command takes as it stands,
// every slider position the preview allows for the plug-in reaching the
// render's slider of the same index.
TEST(PreviewExportCommand, TheRenderCommandTakesItWithEverySlider) {
    struct Case {
        const char* name;
        int32_t threads;
        std::vector<int32_t> sliders;
    };
    const Case cases[] = {
        {"each slider its own value", 3, {7, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {"the ends of the ranges, the machine's cores",
         0,
         {9, 0, 4096, 0, 4096, 0, 4096, 0, 4096, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ExportRequest request{"/bin/kinetra", "/v/clip.mkv", "/p/kinetra.auf",
                              c.threads,      c.sliders,     30};
        std::vector<std::string> args = ExportCommandLine(request, "/v/clip-kinetra.mp4");
        ASSERT_FALSE(args.empty());
        EXPECT_EQ(args[0], "/bin/kinetra");
        Command command;
        std::string error;
        ASSERT_TRUE(ParseCommandLine({args.begin() + 1, args.end()}, &command, &error)) << error;
        const RenderSettings& r = command.render;
        EXPECT_EQ(command.kind, CommandKind::kRender);
        EXPECT_EQ(r.source, "/v/clip.mkv");
        EXPECT_EQ(r.output, "/v/clip-kinetra.mp4");
        EXPECT_EQ(r.overwrite, Overwrite::kNo);
        EXPECT_EQ(r.plugin, "/p/kinetra.auf");
        EXPECT_EQ(r.threads, c.threads);
        EXPECT_FALSE(r.quiet);  // the progress is read from its lines
        std::vector<int32_t> tracks(KINETRA_TRACK_COUNT, -1);
        for (const auto& slider : r.sliders)
            tracks.at(slider.first) = slider.second;
        EXPECT_EQ(tracks, c.sliders);
    }
}

}  // namespace
