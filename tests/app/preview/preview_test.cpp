// `kinetra preview`'s HTTP interface, driven through an HTTP client: frames
// and sliders, sound, refusals, only the newest frame under load, reloads
// and the export.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/paths.h"
#include "cli/options.h"
#include "fixtures/clips.h"
#include "preview/preview_engine.h"
#include "preview/preview_export.h"
#include "preview/preview_options.h"
#include "preview/preview_server.h"
#include "preview/preview_text.h"

extern char** environ;

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

// What /api/events sends, collected on a thread of its own until destroyed.
class EventListener {
  public:
    explicit EventListener(int port) : client_("127.0.0.1", port) {
        client_.set_read_timeout(30, 0);
        thread_ = std::thread([this] {
            client_.Get("/api/events", [this](const char* data, size_t size) {
                std::lock_guard<std::mutex> lock(mutex_);
                received_.append(data, size);
                return true;
            });
        });
    }
    ~EventListener() {
        client_.stop();
        thread_.join();
    }
    bool Seen(const std::string& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_.find(text) != std::string::npos;
    }
    std::string received() {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

  private:
    httplib::Client client_;
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

// A source clip (numbered frames, known samples) with a script, served.
class PreviewTest : public ::testing::Test {
  protected:
    // Serves the clip made at `source` (in the test's directory) with
    // `script` beside it ("": none); a server started before is stopped.
    void Start(const std::string& script, const std::string& source = "clip.mkv") {
        apptest::ClipSpec spec;
        spec.frames = kFrames;
        ASSERT_TRUE(apptest::MakeClip(dir_ / source, spec));
        if (!script.empty()) apptest::WriteFile(DirectoryOf(dir_ / source) + "kinetra.txt", script);
        options_.source = dir_ / source;
        options_.plugin = KINETRA_PLUGIN_PATH;
        options_.program = KINETRA_APP_PATH;
        options_.threads = 2;
        server_ = std::make_unique<PreviewServer>();
        std::string error;
        ASSERT_TRUE(server_->Start(options_, &error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", server_->port());
        client_->set_read_timeout(60, 0);
        origin_ = "http://127.0.0.1:" + std::to_string(server_->port());
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
    PreviewServerOptions options_;
    std::unique_ptr<PreviewServer> server_;
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
    const std::string port = std::to_string(server_->port());
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
        {"a second, foreign host",
         "GET",
         "/api/project",
         {{"Host", "127.0.0.1:" + port}, {"Host", "evil.example"}},
         "",
         403},
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

// Every route answers in valid UTF-8 JSON whatever bytes the source's name
// and the script hold, through an export whose messages quote them, and the
// server goes on.
TEST_F(PreviewTest, EveryRouteAnswersInUtf8WhateverTheNamesAndTheScriptHold) {
    const std::string gothic = "\x82\x6c\x82\x72 \x83\x53\x83\x56\x83\x62\x83\x4e";
    // A section past the bound fails the render after the script's
    // findings were printed.
    const std::string fails = "[0-99999999]\n";
    // More than the 2000 bytes kept of the render's messages, in 3-byte characters.
    std::string long_failure;
    for (int i = 0; i < 30; ++i) {
        long_failure += "fill(0,0,0,4,4,";
        for (int k = 0; k < 40; ++k)
            long_failure += "あ";
        long_failure += ",0,0)\n";
    }
    struct Case {
        const char* name;
        std::string source;
        std::string script;
        const char* state;    // of the export
        std::string finding;  // a part of a finding's message; "": none
        std::string shown;    // the end of the source's name on the page
    };
    const Case cases[] = {
        {"a Latin-1 name, a UTF-8 script", "latin/caf\xE9.mkv", kSliderScript, "done", "",
         "caf\\xe9.mkv"},
        {"a Shift-JIS name, a Shift-JIS script with a typo", "sjis/\x83\x65\x83\x58\x83\x67.mkv",
         "font(0, \"" + gothic + "\", 1)\n" + fails, "failed", "'ＭＳ ゴシック' does not compile",
         "\\x83e\\x83X\\x83g.mkv"},
        {"a long failure in UTF-8", "long/clip.mkv", long_failure + fails, "failed", "'ああ",
         "clip.mkv"},
    };
    auto get = [&](const std::string& path, json* body) {
        auto res = client_->Get(path);
        ASSERT_TRUE(res) << path;
        ASSERT_EQ(res->status, 200) << path << ": " << res->body;
        if (body == nullptr) return;
        *body = json::parse(res->body, nullptr, false);
        ASSERT_FALSE(body->is_discarded()) << path << ": " << res->body;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(mkdir(DirectoryOf(dir_ / c.source).c_str(), 0755), 0);
        ASSERT_NO_FATAL_FAILURE(Start(c.script, c.source));
        EventListener events(server_->port());
        ASSERT_TRUE(WaitUntil([&] { return events.Seen("retry:"); }));
        ASSERT_NO_FATAL_FAILURE(get("/frame/0.png", nullptr));
        ASSERT_NO_FATAL_FAILURE(get("/audio/0.wav", nullptr));
        json project, status;
        ASSERT_NO_FATAL_FAILURE(get("/api/project", &project));
        std::string source = project["source"];
        EXPECT_EQ(source.substr(source.size() - c.shown.size()), c.shown);
        std::string findings = project["findings"].dump();
        if (c.finding.empty()) {
            EXPECT_EQ(findings, "[]");
        } else {
            EXPECT_NE(findings.find(c.finding), std::string::npos) << findings;
        }

        auto started = client_->Post("/api/export", {{"Origin", origin_}}, "", "text/plain");
        ASSERT_TRUE(started);
        ASSERT_EQ(started->status, 202) << started->body;
        EXPECT_FALSE(json::parse(started->body, nullptr, false).is_discarded()) << started->body;
        WaitUntil(
            [&] {
                get("/api/export", &status);
                return HasFatalFailure() || status["state"] != "running";
            },
            std::chrono::milliseconds(50));
        EXPECT_EQ(status["state"], c.state) << status.dump();
        // A failure's message is the render's last lines, from a line's start.
        std::string message = status.value("message", "");
        EXPECT_EQ(message.empty(), c.state == std::string("done")) << status.dump();
        if (!message.empty()) {
            EXPECT_EQ(message.rfind("/tmp/", 0), 0u) << message;
        }
        // The stream told the end, in JSON that parses.
        EXPECT_TRUE(WaitUntil([&] { return events.Seen(std::string("\"state\":\"") + c.state); }));
        std::string received = events.received();
        for (size_t at = received.find("data: "); at != std::string::npos;
             at = received.find("data: ", at + 1)) {
            std::string data = received.substr(at + 6, received.find('\n', at) - at - 6);
            EXPECT_FALSE(json::parse(data, nullptr, false).is_discarded()) << data;
        }
        ASSERT_NO_FATAL_FAILURE(get("/api/project", &project));
    }
}

// A raw connection to the server, for requests no HTTP client sends.
class RawConnection {
  public:
    explicit RawConnection(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~RawConnection() { close(fd_); }
    void Send(const std::string& bytes) {
        if (open_) send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // Takes what arrived within `wait`; false once the server has closed.
    bool Read(std::chrono::milliseconds wait) {
        struct pollfd p = {fd_, POLLIN, 0};
        if (!open_ || poll(&p, 1, static_cast<int>(wait.count())) <= 0) return open_;
        char buffer[4096];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) received_.append(buffer, size_t(n));
        open_ = n > 0;
        return open_;
    }
    const std::string& received() const { return received_; }

  private:
    int fd_;
    bool open_ = true;
    std::string received_;
};

// Bodies are bounded however they are sent, and a request must arrive within
// the deadline: clients that send without end or slowly are disconnected,
// and more of them than the server has threads do not keep the page out.
TEST_F(PreviewTest, RequestsAreBoundedInBytesAndTimeSoThePageIsNeverKeptOut) {
    options_.request_deadline = std::chrono::milliseconds(300);
    Start(kSliderScript);
    const int port = server_->port();
    const std::string head =
        "Host: 127.0.0.1:" + std::to_string(port) + "\r\nOrigin: " + origin_ + "\r\n";
    struct Case {
        const char* name;
        std::string start;  // sent at once
        std::string more;   // then sent every 10 ms while the connection is open
        const char* answer;
    };
    const Case cases[] = {
        {"a chunked body",
         "PUT /api/sliders HTTP/1.1\r\n" + head + "Transfer-Encoding: chunked\r\n\r\n",
         "4000\r\n" + std::string(0x4000, ' ') + "\r\n", "HTTP/1.1 411"},
        // No length is no body: what follows is never read as one.
        {"no length, bytes to the connection's end",
         "PUT /api/sliders HTTP/1.1\r\n" + head + "\r\n", std::string(0x4000, ' '), "HTTP/1.1 400"},
        {"a body too large",
         "PUT /api/sliders HTTP/1.1\r\n" + head + "Content-Length: 200000000\r\n\r\n",
         std::string(0x4000, ' '), "HTTP/1.1 413"},
        {"headers without end", "GET /api/project HTTP/1.1\r\n" + head,
         "X-Filler: " + std::string(0x4000, 'x') + "\r\n", "HTTP/1.1 400"},
        {"a header line at a time", "GET /api/project HTTP/1.1\r\n" + head, "X-Slow: 1\r\n",
         "HTTP/1.1 400"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RawConnection connection(port);
        connection.Send(c.start);
        EXPECT_TRUE(WaitUntil(
            [&] {
                connection.Send(c.more);
                return !connection.Read(std::chrono::milliseconds(10));
            },
            std::chrono::milliseconds(0), std::chrono::seconds(10)));
        EXPECT_EQ(connection.received().substr(0, 12), c.answer) << connection.received();
    }
    // More slow clients than threads; the page's request is answered.
    std::vector<std::unique_ptr<RawConnection>> slow;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(std::make_unique<RawConnection>(port));
        slow.back()->Send("GET /api/project HTTP/1.1\r\n" + head);
    }
    auto page = std::async(std::launch::async, [port] {
        httplib::Client client("127.0.0.1", port);
        client.set_read_timeout(30, 0);
        auto res = client.Get("/api/project");
        return res ? res->status : -1;
    });
    WaitUntil([&] {
        for (auto& connection : slow) {
            connection->Send("X-Slow: 1\r\n");
            connection->Read(std::chrono::milliseconds(0));
        }
        return page.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready;
    });
    EXPECT_EQ(page.get(), 200);
}

TEST_F(PreviewTest, WhileAFrameRendersOnlyTheNewestWaitingRequestIsRendered) {
    Start(kSliderScript);
    PreviewEngine& engine = server_->engine();
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
            httplib::Client client("127.0.0.1", server_->port());
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
    EventListener events(server_->port());
    auto seen = [&](const std::string& text) { return events.Seen(text); };
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
    auto sliders = client_->Get("/api/sliders");
    ASSERT_TRUE(sliders);
    EXPECT_EQ(json::parse(sliders->body)["values"][1], 2500);

    // A POST with no body at all (`curl -X POST`) starts one; a long one
    // is cancelled and keeps its name.
    apptest::WriteFile(dir_ / "kinetra.txt", std::string("[0-9000]\n") + kSliderScript);
    RawConnection raw(server_->port());
    raw.Send("POST /api/export HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server_->port()) +
             "\r\nOrigin: " + origin_ + "\r\n\r\n");
    WaitUntil([&] {
        raw.Read(std::chrono::milliseconds(10));
        return raw.received().find('}') != std::string::npos;
    });
    EXPECT_EQ(raw.received().substr(0, 12), "HTTP/1.1 202") << raw.received();
    auto cancel = client_->Delete("/api/export", {{"Origin", origin_}});
    ASSERT_TRUE(cancel);
    EXPECT_EQ(cancel->status, 202) << cancel->body;
    WaitUntil(
        [&] {
            status = json::parse(client_->Get("/api/export")->body);
            return status["state"] != "running";
        },
        std::chrono::milliseconds(100));
    EXPECT_EQ(status["state"], "cancelled") << status.dump();
    EXPECT_EQ(status["output"], dir_ / "clip-kinetra-3.mp4");
    EXPECT_EQ(client_->Delete("/api/export", {{"Origin", origin_}})->status, 409);
}

// `kinetra preview` as a user runs it, on a pipe. Returns its process id
// and the port its first line gives (0 when it gave none).
pid_t StartPreviewProgram(const std::string& source, int* output, int* port) {
    int pipe_ends[2];
    EXPECT_EQ(pipe2(pipe_ends, O_CLOEXEC), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], 2);
    std::vector<std::string> args = {KINETRA_APP_PATH,    "preview",   source, "--plugin",
                                     KINETRA_PLUGIN_PATH, "--threads", "2"};
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    *output = pipe_ends[0];
    std::string text;
    char buffer[256];
    ssize_t n;
    while (text.find("(Ctrl-C stops)") == std::string::npos &&
           (n = read(*output, buffer, sizeof buffer)) > 0)
        text.append(buffer, size_t(n));
    size_t at = text.find("http://127.0.0.1:");
    *port = at == std::string::npos ? 0 : std::atoi(text.c_str() + at + 17);
    return pid;
}

// A signal always stops the preview: with a FIFO in the script's place
// (never waited on), one stops it in order; while a call into the plug-in
// does not end, a second one ends it at once.
TEST(PreviewProgram, ASignalAlwaysStopsThePreview) {
    struct Case {
        const char* name;
        bool fifo;
        std::string script;
        int signals;
        int exit_status;
    };
    const Case cases[] = {
        {"a FIFO for a script, one signal", true, "", 1, 0},
        // A frame of minutes: blurs, a million lines long.
        {"a frame that does not end, a second signal", false,
         ":top\ndefocus(0, 0, 0, 0, w, h, 0, 0, 50)\ngoto :top\n", 2, 130},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        ASSERT_TRUE(apptest::MakeClip(dir / "clip.mkv", apptest::ClipSpec()));
        if (c.fifo) {
            ASSERT_EQ(mkfifo((dir / "kinetra.txt").c_str(), 0644), 0);
        } else {
            apptest::WriteFile(dir / "kinetra.txt", c.script);
        }
        int output = -1, port = 0;
        pid_t pid = StartPreviewProgram(dir / "clip.mkv", &output, &port);
        ASSERT_GT(port, 0);
        auto frame = std::async(std::launch::async, [port] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(60, 0);
            auto res = client.Get("/frame/0.png");
            return res ? res->status : -1;
        });
        if (c.signals == 1) {
            EXPECT_EQ(frame.get(), 200);
        } else {
            // The request reaches the plug-in.
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        for (int i = 0; i < c.signals; ++i) {
            if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
            kill(pid, SIGTERM);
        }
        int status = 0;
        bool ended = WaitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; },
                               std::chrono::milliseconds(10), std::chrono::seconds(30));
        if (!ended) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(ended);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exit_status) << status;
        if (frame.valid()) frame.wait();
        close(output);
    }
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

// Whatever bytes a text holds, the page gets valid UTF-8: the script's
// Shift-JIS converted, UTF-8 pieces kept, every other byte shown as \xNN;
// and a kept tail starts at a line's or a character's start.
TEST(PreviewText, EveryTextBecomesUtf8) {
    const std::string gothic_sjis = "\x82\x6c\x82\x72 \x83\x53\x83\x56\x83\x62\x83\x4e";
    struct Case {
        const char* name;
        std::string bytes;
        TextBytes from;
        std::string expected;
    };
    const Case cases[] = {
        {"a slider name",
         "\x95\x5C\x8E\xA6"
         "Buf",
         TextBytes::kShiftJis, "表示Buf"},
        {"UTF-8 as it is", "表示Buf ＭＳ", TextBytes::kShiftJis, "表示Buf ＭＳ"},
        {"a finding of a Shift-JIS script in a UTF-8 directory",
         "/home/太郎/kinetra.txt: \"" + gothic_sjis + "\" \xB1", TextBytes::kShiftJis,
         "/home/太郎/kinetra.txt: \"ＭＳ ゴシック\" ｱ"},
        {"a Latin-1 file name", "/v/caf\xE9.mp4", TextBytes::kUtf8, "/v/caf\\xe9.mp4"},
        {"Shift-JIS read as UTF-8", gothic_sjis.substr(0, 4), TextBytes::kUtf8, "\\x82l\\x82r"},
        {"a character cut short", "ab\xE3\x81", TextBytes::kUtf8, "ab\\xe3\\x81"},
        {"overlong and surrogate forms", "\xC0\xAF\xED\xA0\x80", TextBytes::kUtf8,
         "\\xc0\\xaf\\xed\\xa0\\x80"},
        {"Shift-JIS without a character", "a\x85\x40\xFD\x82", TextBytes::kShiftJis,
         "a\\x85@\\xfd\\x82"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = PageText(c.bytes, c.from);
        EXPECT_EQ(text, c.expected);
        EXPECT_EQ(PageText(text, c.from), text);
        EXPECT_NO_THROW(json(text).dump());
    }
    // "ああ" is 6 bytes: a tail of 8 of "ああああ\n" starts at the third.
    EXPECT_EQ(TailStart("ああああ\n", 8), 6u);
    EXPECT_EQ(TailStart("first\nsecond\n", 9), 6u);
    EXPECT_EQ(TailStart("short\n", 9), 0u);
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
