#include "preview/preview_server.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "base/paths.h"
#include "preview/preview_engine.h"
#include "preview/preview_export.h"
#include "preview/preview_http.h"
#include "preview/preview_media.h"
#include "preview/preview_text.h"
#include "preview/preview_watch.h"
#include "script/loader.h"

// The page's files (app/preview/page/, embedded at build time).
extern const char kPreviewPageHtml[];
extern const char kPreviewPageCss[];
extern const char kPreviewPageJs[];

namespace {

using json = nlohmann::json;

constexpr size_t kMaxBody = 64 * 1024;
// Event streams hold a thread each for as long as they are open; the other
// threads serve everything else.
constexpr int kServerThreads = 32;
constexpr int kMaxEventStreams = 8;
constexpr size_t kRequestsPerConnection = 100;
constexpr int kListenQueue = 128;
constexpr int kKeptEvents = 64;
constexpr auto kKeepAlive = std::chrono::seconds(15);
// The page's icon: a frame with a play mark.
constexpr char kFavicon[] =
    "<svg xmlns='http://www.w3.org/2000/svg' viewBox='0 0 16 16'>"
    "<rect x='1' y='3' width='14' height='10' rx='2' fill='#5fb3f9'/>"
    "<path d='M6 5.5v5l4.5-2.5z' fill='#15171c'/></svg>";
// The longest sound one request may ask for.
constexpr double kMaxAudioSeconds = 60.0;

// The JSON text of `j`. Its strings were made UTF-8 by PageText; a byte that
// escaped it is replaced rather than thrown on.
std::string JsonText(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Server-sent events for every open page: numbered, the last few kept so that
// a stream that was busy writing misses nothing.
class EventHub {
  public:
    void Publish(const std::string& name, const json& data) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++sequence_;
            events_.push_back({sequence_, "event: " + name + "\ndata: " + JsonText(data) + "\n\n"});
            while (events_.size() > kKeptEvents)
                events_.pop_front();
        }
        changed_.notify_all();
    }

    uint64_t sequence() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sequence_;
    }

    // Waits up to `timeout` for events after `*last`; appends them to `text`.
    // False once the hub is closed.
    bool Wait(uint64_t* last, std::string* text, std::chrono::seconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return closed_ || sequence_ > *last; });
        if (closed_) return false;
        for (const auto& event : events_) {
            if (event.first > *last) *text += event.second;
        }
        *last = sequence_;
        return true;
    }

    void Close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        changed_.notify_all();
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::pair<uint64_t, std::string>> events_;
    uint64_t sequence_ = 0;
    bool closed_ = false;
};

void SendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(JsonText(body), "application/json");
}

// An error's message may quote file names and the script's words.
void SendError(httplib::Response& res, int status, const std::string& message) {
    SendJson(res, status, json{{"error", PageText(message, TextBytes::kShiftJis)}});
}

// The render's messages may quote the script (in its encoding) and file names.
json ExportJson(const ExportStatus& s) {
    json j{{"state", ExportStateName(s.state)},
           {"output", PageFileName(s.output)},
           {"done", s.done},
           {"total", s.total}};
    if (!s.message.empty()) j["message"] = PageText(s.message, TextBytes::kShiftJis);
    return j;
}

// A frame number from the path: digits only, at most 10 of them; -1 when it
// does not fit an int32 (outside every project).
int32_t FrameNumber(const std::string& digits) {
    long long v = std::strtoll(digits.c_str(), nullptr, 10);
    return v > INT32_MAX ? -1 : static_cast<int32_t>(v);
}

void SendOutside(httplib::Response& res, const std::string& digits, int32_t frame_count) {
    SendError(
        res, 404,
        "frame " + digits + " is outside the project (0.." + std::to_string(frame_count - 1) + ")");
}

// The ?frames=K of a sound request, 1..most (1 when absent); false when
// malformed or out of range.
bool AudioFrameCount(const httplib::Request& req, int32_t most, int32_t* count) {
    *count = 1;
    if (!req.has_param("frames")) return true;
    std::string text = req.get_param_value("frames");
    char* end = nullptr;
    long long v = text.empty() || text.size() > 10 ? 0 : std::strtoll(text.c_str(), &end, 10);
    if (end == nullptr || *end != '\0' || v < 1 || v > most) return false;
    *count = static_cast<int32_t>(v);
    return true;
}

// The slider positions of a PUT /api/sliders body, {"values": [ten
// integers]}; values beyond int32 become its limits (and so out of range).
bool SlidersFromBody(const std::string& text, SliderValues* v, std::string* error) {
    json body = json::parse(text, nullptr, false);
    if (body.is_discarded()) {
        *error = "the body is not JSON";
        return false;
    }
    const json* values = body.is_object() && body.contains("values") ? &body["values"] : nullptr;
    if (values == nullptr || !values->is_array() || values->size() != KINETRA_TRACK_COUNT) {
        *error = "expected {\"values\": [ten integers]}";
        return false;
    }
    for (int i = 0; i < KINETRA_TRACK_COUNT; ++i) {
        const json& item = (*values)[i];
        if (!item.is_number_integer()) {
            *error = "slider " + std::to_string(i) + " is not an integer";
            return false;
        }
        long long n = item.get<long long>();
        if (n < INT32_MIN || n > INT32_MAX) n = n < 0 ? INT32_MIN : INT32_MAX;
        (*v)[i] = static_cast<int32_t>(n);
    }
    return true;
}

// The headers of every answer: no sniffing, framing, referrers or caching,
// and a page that runs only its own files.
httplib::Headers DefaultHeaders() {
    return {
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; "
         "media-src 'self' blob:; connect-src 'self'; base-uri 'none'; form-action 'none'; "
         "frame-ancestors 'none'"},
    };
}

// An error the server found itself (no route, a body too large, ...) is
// answered in JSON like the handlers' errors.
httplib::Server::HandlerResponse SendServerError(const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
    std::string message = res.status == 404   ? "no such resource"
                          : res.status == 413 ? "request body too large"
                          : res.status == 414 ? "request line too long"
                          : res.status == 405 ? "method not allowed"
                          : res.status == 400 ? "malformed request"
                                              : "request refused";
    SendError(res, res.status, message);
    return httplib::Server::HandlerResponse::Handled;
}

// Whether every value the request gives for the header `name` passes `ok`
// (true when it gives none).
template <typename Ok>
bool EveryValue(const httplib::Request& req, const char* name, Ok ok) {
    auto values = req.headers.equal_range(name);
    return std::all_of(values.first, values.second, [&](const auto& h) { return ok(h.second); });
}

// A body is taken only with its length given, and at most kMaxBody of it:
// one sent in chunks is refused before a byte of it is read, and the
// connection closes after the answer. A request with neither a length nor
// chunks has no body (as HTTP/1.1 has it: `curl -X POST` sends none); the
// library would read one to the connection's end, so its length is set to 0
// before the library reads on (the request object is the library's own,
// handed here as const).
httplib::Server::HandlerResponse GuardBody(const httplib::Request& req, httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    const std::string& m = req.method;
    bool takes_body = m == "POST" || m == "PUT" || m == "PATCH" || m == "DELETE" || m == "PRI";
    std::string length = req.get_header_value("Content-Length");
    if (takes_body && length.empty() && !req.has_header("Transfer-Encoding")) {
        const_cast<httplib::Request&>(req).set_header("Content-Length", "0");
        length = "0";
    }
    int status = 0;
    std::string why;
    if (req.has_header("Transfer-Encoding")) {
        status = 411;
        why = "a request body is taken only with its length (Content-Length)";
    } else if (req.get_header_value_count("Content-Length") > 1 || length.size() > 19 ||
               length.find_first_not_of("0123456789") != std::string::npos) {
        status = 400;
        why = "malformed Content-Length";
    } else if (!length.empty() && std::stoull(length) > (takes_body ? kMaxBody : 0)) {
        status = 413;
        why = "request body too large";
    }
    if (status == 0) return R::Unhandled;
    BoundedServer::CloseAfterAnswer(res);
    SendError(res, status, why);
    return R::Handled;
}

}  // namespace

struct PreviewServer::Impl {
    using Handler = void (Impl::*)(const httplib::Request&, httplib::Response&);

    PreviewServerOptions options;
    BoundedServer http;
    PreviewEngine engine;
    EventHub events;
    ScriptWatcher watcher;
    std::unique_ptr<ExportRunner> exporter;
    std::thread listener;
    int port = 0;
    std::string host, host_by_name, origin, origin_by_name;
    std::atomic<int> streams{0};
    bool started = false;

    bool OwnHost(const std::string& h) const { return h == host || h == host_by_name; }
    bool OwnOrigin(const std::string& o) const { return o == origin || o == origin_by_name; }

    json ProjectJson();
    void Configure();
    void Routes();
    httplib::Server::HandlerResponse Guard(const httplib::Request& req, httplib::Response& res);
    bool Bind(int32_t wanted, std::string* error);
    void WatchScript();
    void OnScriptChange(bool settled);

    // The routes' handlers.
    void ServePage(const httplib::Request& req, httplib::Response& res);
    void ServeStyle(const httplib::Request& req, httplib::Response& res);
    void ServeIcon(const httplib::Request& req, httplib::Response& res);
    void ServeScript(const httplib::Request& req, httplib::Response& res);
    void ServeFrame(const httplib::Request& req, httplib::Response& res);
    void ServeAudio(const httplib::Request& req, httplib::Response& res);
    void ServeProject(const httplib::Request& req, httplib::Response& res);
    void PutSliders(const httplib::Request& req, httplib::Response& res);
    void ServeEvents(const httplib::Request& req, httplib::Response& res);
    void ServeExportStatus(const httplib::Request& req, httplib::Response& res);
    void StartExport(const httplib::Request& req, httplib::Response& res);
    void CancelExport(const httplib::Request& req, httplib::Response& res);
    void ServeSliders(const httplib::Request& req, httplib::Response& res);
};

json PreviewServer::Impl::ProjectJson() {
    ProjectFacts f = engine.Facts();
    SliderValues values = engine.Sliders();
    const SliderTable& table = engine.slider_table();
    json sliders = json::array();
    for (int i = 0; i < KINETRA_TRACK_COUNT; ++i) {
        sliders.push_back({{"index", i},
                           {"name", PageText(table.names[i], TextBytes::kShiftJis)},
                           {"default", table.defaults[i]},
                           {"min", table.minimums[i]},
                           {"max", table.maximums[i]},
                           {"value", values[i]}});
    }
    json findings = json::array();
    for (const PreviewFinding& finding : f.findings) {
        findings.push_back({{"line", finding.line},
                            {"severity", finding.error ? "error" : "warning"},
                            {"message", PageText(finding.message, TextBytes::kUtf8)}});
    }
    json failures = json::array();
    for (const PreviewFailure& failure : f.failures) {
        failures.push_back({{"line", failure.line},
                            {"frame", failure.frame},
                            {"message", PageScriptText(failure.message, f.script_utf8)}});
    }
    json j{{"source", PageFileName(f.source_path)},
           {"script", PageFileName(f.script_path)},
           {"script_exists", f.script_exists},
           {"width", f.width},
           {"height", f.height},
           {"frame_rate", {{"num", f.rate_num}, {"den", f.rate_den}}},
           {"fps", f.rate_den != 0 ? double(f.rate_num) / f.rate_den : 0.0},
           {"frame_count", f.frame_count},
           {"audio", {{"present", f.has_audio}, {"rate", f.audio_rate}, {"channels", f.channels}}},
           {"sliders", sliders},
           {"loaded_at", f.loaded_at_ms > 0 ? json(f.loaded_at_ms) : json(nullptr)},
           {"load_count", f.load_count},
           {"findings", findings},
           {"findings_checked", f.findings_checked},
           {"failures", failures},
           {"export", ExportJson(exporter->Status())}};
    return j;
}

httplib::Server::HandlerResponse PreviewServer::Impl::Guard(const httplib::Request& req,
                                                            httplib::Response& res) {
    using R = httplib::Server::HandlerResponse;
    // One Host, this server's: with two, another reader may take the other.
    if (req.get_header_value_count("Host") != 1 || !OwnHost(req.get_header_value("Host"))) {
        SendError(res, 403, "this server answers only as " + host);
        return R::Handled;
    }
    bool changes_state = req.method != "GET" && req.method != "HEAD";
    bool own_page =
        req.has_header("Origin")
            ? EveryValue(req, "Origin", [this](const std::string& o) { return OwnOrigin(o); })
            : !changes_state;
    if (!own_page || !EveryValue(req, "Sec-Fetch-Site", [](const std::string& site) {
            return site == "same-origin" || site == "none";
        })) {
        SendError(res, 403, "only the preview's own page may do this");
        return R::Handled;
    }
    return GuardBody(req, res);
}

// Every change is announced at once, and again once the clock has moved on
// to a later second: the plug-in looks at the file at most once a second, and
// a load in the second of the save may have read it half written.
void PreviewServer::Impl::OnScriptChange(bool settled) {
    events.Publish("script", json{{"settled", settled}});
}

void PreviewServer::Impl::ServePage(const httplib::Request&, httplib::Response& res) {
    res.set_content(kPreviewPageHtml, "text/html; charset=utf-8");
}

void PreviewServer::Impl::ServeStyle(const httplib::Request&, httplib::Response& res) {
    res.set_content(kPreviewPageCss, "text/css; charset=utf-8");
}

void PreviewServer::Impl::ServeIcon(const httplib::Request&, httplib::Response& res) {
    res.set_content(kFavicon, "image/svg+xml");
}

void PreviewServer::Impl::ServeScript(const httplib::Request&, httplib::Response& res) {
    res.set_content(kPreviewPageJs, "text/javascript; charset=utf-8");
}

void PreviewServer::Impl::ServeFrame(const httplib::Request& req, httplib::Response& res) {
    RenderedFrame frame;
    switch (engine.RenderFrame(FrameNumber(req.matches[1]), &frame)) {
        case RenderStatus::kOk: {
            std::string png, error;
            if (!EncodeFramePng(frame, &png, &error)) return SendError(res, 500, error);
            res.set_content(std::move(png), "image/png");
            return;
        }
        case RenderStatus::kOutside:
            return SendOutside(res, req.matches[1], engine.Facts().frame_count);
        case RenderStatus::kSuperseded:
            return SendError(res, 409, "a newer frame was asked for");
        case RenderStatus::kFailed:
            return SendError(res, 500, "the plug-in failed on this frame");
        case RenderStatus::kStopped:
            return SendError(res, 503, "the preview is stopping");
    }
}

void PreviewServer::Impl::ServeAudio(const httplib::Request& req, httplib::Response& res) {
    ProjectFacts facts = engine.Facts();
    double fps = facts.rate_den != 0 ? double(facts.rate_num) / facts.rate_den : 0.0;
    int32_t most = std::max(1, static_cast<int32_t>(std::floor(fps * kMaxAudioSeconds)));
    int32_t count = 1;
    if (!AudioFrameCount(req, most, &count)) {
        return SendError(res, 400, "frames takes a count 1.." + std::to_string(most));
    }
    RenderedAudio audio;
    switch (engine.RenderAudio(FrameNumber(req.matches[1]), count, &audio)) {
        case RenderStatus::kOk:
            res.set_content(EncodeWav(audio), "audio/wav");
            return;
        case RenderStatus::kOutside:
            return SendOutside(res, req.matches[1], facts.frame_count);
        case RenderStatus::kStopped:
            return SendError(res, 503, "the preview is stopping");
        default:
            return SendError(res, 500, "the plug-in failed on this sound");
    }
}

void PreviewServer::Impl::ServeProject(const httplib::Request&, httplib::Response& res) {
    SendJson(res, 200, ProjectJson());
}

void PreviewServer::Impl::ServeSliders(const httplib::Request&, httplib::Response& res) {
    SliderValues v = engine.Sliders();
    SendJson(res, 200, json{{"values", v}});
}

void PreviewServer::Impl::PutSliders(const httplib::Request& req, httplib::Response& res) {
    SliderValues v{};
    std::string error;
    if (!SlidersFromBody(req.body, &v, &error) || !engine.SetSliders(v, &error)) {
        return SendError(res, 400, error);
    }
    json reply{{"values", v}};
    events.Publish("sliders", reply);
    SendJson(res, 200, reply);
}

// A stream of server-sent events, at most kMaxEventStreams at once: first
// the retry time, then the events as they come, a comment when none came
// for kKeepAlive.
void PreviewServer::Impl::ServeEvents(const httplib::Request&, httplib::Response& res) {
    if (++streams > kMaxEventStreams) {
        --streams;
        return SendError(res, 503, "too many open event streams");
    }
    uint64_t last = events.sequence();
    bool first = true;
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, last, first](size_t, httplib::DataSink& sink) mutable {
            std::string text;
            if (first) {
                text = "retry: 1000\n\n";
                first = false;
            } else if (!events.Wait(&last, &text, kKeepAlive)) {
                sink.done();
                return true;
            }
            if (text.empty()) text = ": keep-alive\n\n";
            return sink.write(text.data(), text.size());
        },
        [this](bool) { --streams; });
}

void PreviewServer::Impl::ServeExportStatus(const httplib::Request&, httplib::Response& res) {
    SendJson(res, 200, ExportJson(exporter->Status()));
}

// Renders the project with the sliders as they are now.
void PreviewServer::Impl::StartExport(const httplib::Request&, httplib::Response& res) {
    ExportRequest request;
    request.program = options.program;
    request.source = options.source;
    request.plugin = options.plugin;
    request.threads = options.threads;
    SliderValues values = engine.Sliders();
    request.sliders.assign(values.begin(), values.end());
    request.total = engine.Facts().frame_count;
    std::string error;
    if (!exporter->Start(request, &error)) {
        bool running = exporter->Status().state == ExportStatus::State::kRunning;
        return SendError(res, running ? 409 : 500, error);
    }
    SendJson(res, 202, ExportJson(exporter->Status()));
}

// Stops the running export; it ends as "cancelled", the frames done kept
// as the render keeps them on Ctrl-C (NAME.partial.EXT).
void PreviewServer::Impl::CancelExport(const httplib::Request&, httplib::Response& res) {
    if (!exporter->Cancel()) return SendError(res, 409, "no export is running");
    SendJson(res, 202, ExportJson(exporter->Status()));
}

// Headers, bounds, threads, the guard and the JSON answers to errors.
void PreviewServer::Impl::Configure() {
    http.set_default_headers(DefaultHeaders());
    http.set_payload_max_length(kMaxBody);
    RequestLimits limits;
    limits.deadline = options.request_deadline;
    http.set_limits(limits);
    http.set_keep_alive_max_count(kRequestsPerConnection);
    http.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    http.set_pre_routing_handler(
        [this](const httplib::Request& req, httplib::Response& res) { return Guard(req, res); });
    http.set_error_handler(httplib::Server::HandlerWithResponse(SendServerError));
    http.set_exception_handler([](const httplib::Request&, httplib::Response& res,
                                  std::exception_ptr) { SendError(res, 500, "internal error"); });
}

void PreviewServer::Impl::Routes() {
    enum Method { kGet, kPut, kPost, kDelete };
    struct Route {
        Method method;
        const char* path;
        Handler handler;
    };
    static const Route kRoutes[] = {
        {kGet, "/", &Impl::ServePage},
        {kGet, "/preview.css", &Impl::ServeStyle},
        {kGet, "/favicon.svg", &Impl::ServeIcon},
        {kGet, "/preview.js", &Impl::ServeScript},
        {kGet, R"(/frame/(\d{1,10})\.png)", &Impl::ServeFrame},
        {kGet, R"(/audio/(\d{1,10})\.wav)", &Impl::ServeAudio},
        {kGet, "/api/project", &Impl::ServeProject},
        {kGet, "/api/sliders", &Impl::ServeSliders},
        {kPut, "/api/sliders", &Impl::PutSliders},
        {kGet, "/api/events", &Impl::ServeEvents},
        {kGet, "/api/export", &Impl::ServeExportStatus},
        {kPost, "/api/export", &Impl::StartExport},
        {kDelete, "/api/export", &Impl::CancelExport},
    };
    for (const Route& route : kRoutes) {
        Handler handler = route.handler;
        auto call = [this, handler](const httplib::Request& req, httplib::Response& res) {
            (this->*handler)(req, res);
        };
        if (route.method == kGet) http.Get(route.path, call);
        if (route.method == kPut) http.Put(route.path, call);
        if (route.method == kPost) http.Post(route.path, call);
        if (route.method == kDelete) http.Delete(route.path, call);
    }
}

// Listens on 127.0.0.1:`wanted` (0: an unused port) and takes the names
// this server answers as; false with `error`.
bool PreviewServer::Impl::Bind(int32_t wanted, std::string* error) {
    port = wanted > 0 ? (http.bind_to_port("127.0.0.1", wanted) ? wanted : -1)
                      : http.bind_to_any_port("127.0.0.1");
    if (port <= 0) {
        *error = wanted > 0 ? "cannot listen on 127.0.0.1:" + std::to_string(wanted) + " (in use?)"
                            : "cannot listen on 127.0.0.1";
        return false;
    }
    http.LengthenListenQueue(kListenQueue);
    host = "127.0.0.1:" + std::to_string(port);
    host_by_name = "localhost:" + std::to_string(port);
    origin = "http://" + host;
    origin_by_name = "http://" + host_by_name;
    return true;
}

// Watches the source's directory for saves of the script; without it the
// preview goes on and the page is reloaded by hand.
void PreviewServer::Impl::WatchScript() {
    std::string directory = DirectoryOf(options.source);
    std::string watch_error;
    if (!watcher.Start(
            directory, kScriptFileName, [this](bool settled) { OnScriptChange(settled); },
            &watch_error)) {
        std::fprintf(stderr, "kinetra: warning: %s: %s; reload the page to see changes\n",
                     directory.c_str(), watch_error.c_str());
    }
}

PreviewServer::PreviewServer() : impl_(std::make_unique<Impl>()) {}

PreviewServer::~PreviewServer() {
    Stop();
}

bool PreviewServer::Start(const PreviewServerOptions& options, std::string* error) {
    Impl& m = *impl_;
    m.options = options;
    m.exporter = std::make_unique<ExportRunner>(
        [&m](const ExportStatus& status) { m.events.Publish("export", ExportJson(status)); });
    if (!m.engine.Start(
            options.source, options.plugin, options.threads,
            [&m] { m.events.Publish("project", json::object()); }, error)) {
        return false;
    }
    m.Configure();
    m.Routes();
    if (!m.Bind(options.port, error)) {
        m.engine.Stop();
        return false;
    }
    m.WatchScript();
    m.listener = std::thread([&m] { m.http.listen_after_bind(); });
    // stop() only acts on a running server: wait until it runs.
    while (!m.http.is_running())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    m.started = true;
    return true;
}

void PreviewServer::Stop() {
    Impl& m = *impl_;
    if (!m.started) return;
    m.started = false;
    m.watcher.Stop();
    m.events.Close();
    // Requests that wait for the plug-in answer at once, so that the
    // server's threads end while the plug-in finishes its call.
    m.engine.Interrupt();
    m.http.stop();
    if (m.listener.joinable()) m.listener.join();
    m.exporter->Stop();
    m.engine.Stop();
}

int PreviewServer::port() const {
    return impl_->port;
}

std::string PreviewServer::address() const {
    return "http://127.0.0.1:" + std::to_string(impl_->port) + "/";
}

PreviewEngine& PreviewServer::engine() {
    return impl_->engine;
}
