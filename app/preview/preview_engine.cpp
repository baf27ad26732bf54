#include "preview/preview_engine.h"

#include <iconv.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "checker/check.h"
#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "plugin/media_services.h"
#include "base/paths.h"
#include "plugin/plugin_loader.h"
#include "preview/preview_watch.h"
#include "source/project.h"
#include "plugin/services.h"

namespace {

constexpr char kScriptName[] = "kinetra.txt";

int64_t NowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool IsRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The checker's findings for the script at `path`.
void CheckScript(const std::string& path, int32_t frame_count,
                 std::vector<PreviewFinding>* findings) {
    CheckContext context;
    context.frame_count = frame_count;
    ScriptCheck check = CheckScriptFile(path, context);
    findings->clear();
    for (const ScriptFinding& f : check.findings) {
        findings->push_back(
            PreviewFinding{f.line, f.severity == FindingSeverity::kError, f.message});
    }
}

}  // namespace

std::string ShiftJisToUtf8(const char* text) {
    if (text == nullptr) return std::string();
    std::string in(text);
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) cd = iconv_open("UTF-8", "SHIFT_JIS");
    std::string out;
    if (cd != reinterpret_cast<iconv_t>(-1)) {
        std::vector<char> buffer(in.size() * 4 + 4);
        char* src = in.data();
        size_t src_left = in.size();
        char* dst = buffer.data();
        size_t dst_left = buffer.size();
        size_t result = iconv(cd, &src, &src_left, &dst, &dst_left);
        iconv_close(cd);
        if (result != static_cast<size_t>(-1) && src_left == 0) {
            return std::string(buffer.data(), buffer.size() - dst_left);
        }
    }
    // Without a converter: the ASCII bytes, and '?' for each other byte.
    for (char c : in)
        out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
    return out;
}

struct PreviewEngine::FrameJob {
    int32_t frame = -1;
    bool done = false;
    bool superseded = false;
    RenderStatus status = RenderStatus::kFailed;
    RenderedFrame result;
};

// Everything the plug-in thread holds, released in the right order.
struct PreviewEngine::Session {
    Project project;
    LoadedPlugin plugin;
    HostServices services;
    int32_t tracks[KINETRA_TRACK_COUNT] = {0};
    std::vector<PixelYC> edit, temp;
    std::vector<int16_t> audio;
    ScriptReadProbe probe;
    bool bound = false;
    ~Session() {
        // exit closes the plug-in's files through the services, so they go last.
        UnloadPlugin(&plugin);
        if (bound) {
            CloseAllMedia();
            BindProject(nullptr);
        }
    }
};

PreviewEngine::PreviewEngine() = default;

PreviewEngine::~PreviewEngine() {
    Stop();
}

bool PreviewEngine::Start(const std::string& source, const std::string& plugin_path,
                          int32_t threads, FactsListener listener, std::string* error) {
    listener_ = std::move(listener);
    started_ = true;
    thread_ =
        std::thread([this, source, plugin_path, threads] { Run(source, plugin_path, threads); });
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return ready_ || !start_error_.empty(); });
    if (!ready_) {
        *error = start_error_;
        lock.unlock();
        thread_.join();
        started_ = false;
        return false;
    }
    return true;
}

void PreviewEngine::Stop() {
    if (!started_) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    done_.notify_all();
    if (thread_.joinable()) thread_.join();
    started_ = false;
}

ProjectFacts PreviewEngine::Facts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return facts_;
}

SliderValues PreviewEngine::Sliders() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return values_;
}

bool PreviewEngine::SetSliders(const SliderValues& values, std::string* error) {
    for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i) {
        if (values[i] < sliders_.minimums[i] || values[i] > sliders_.maximums[i]) {
            *error = "slider " + std::to_string(i) + " (" + sliders_.names[i] + ") takes " +
                     std::to_string(sliders_.minimums[i]) + ".." +
                     std::to_string(sliders_.maximums[i]) + ", not " + std::to_string(values[i]);
            return false;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    values_ = values;
    return true;
}

int64_t PreviewEngine::frame_requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frame_requests_;
}

int64_t PreviewEngine::frames_rendered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_rendered_;
}

void PreviewEngine::Post(std::function<void()> work) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        work_.push_back(std::move(work));
    }
    wake_.notify_all();
}

RenderStatus PreviewEngine::RenderFrame(int32_t frame, RenderedFrame* out) {
    auto job = std::make_shared<FrameJob>();
    job->frame = frame;
    std::unique_lock<std::mutex> lock(mutex_);
    ++frame_requests_;
    if (stopping_) return RenderStatus::kStopped;
    if (waiting_frame_ != nullptr) waiting_frame_->superseded = true;
    waiting_frame_ = job;
    wake_.notify_all();
    done_.notify_all();
    done_.wait(lock, [&] { return job->done || job->superseded || stopping_; });
    if (job->done) {
        *out = std::move(job->result);
        return job->status;
    }
    if (waiting_frame_ == job) waiting_frame_ = nullptr;
    return job->superseded ? RenderStatus::kSuperseded : RenderStatus::kStopped;
}

RenderStatus PreviewEngine::RenderAudio(int32_t first, int32_t count, RenderedAudio* out) {
    struct AudioJob {
        bool done = false;
        RenderStatus status = RenderStatus::kFailed;
        RenderedAudio result;
    };
    auto job = std::make_shared<AudioJob>();
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_) return RenderStatus::kStopped;
    work_.push_back([this, job, first, count] {
        RenderStatus status = RunAudioFilter(first, count, &job->result);
        std::lock_guard<std::mutex> done_lock(mutex_);
        job->status = status;
        job->done = true;
    });
    wake_.notify_all();
    done_.wait(lock, [&] { return job->done || stopping_; });
    if (!job->done) return RenderStatus::kStopped;
    *out = std::move(job->result);
    return job->status;
}

RenderStatus PreviewEngine::RunAudioFilter(int32_t first, int32_t count, RenderedAudio* out) {
    Session& s = *session_;
    Project& p = s.project;
    if (first < 0 || first >= p.frame_count() || count < 1) return RenderStatus::kOutside;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::copy(values_.begin(), values_.end(), s.tracks);
    }
    RenderStatus status = RenderStatus::kOk;
    out->rate = p.audio_rate();
    out->channels = p.channels();
    out->samples.clear();
    out->frames = 0;
    for (int32_t f = first; f < first + count && f < p.frame_count(); ++f) {
        int32_t n = p.AudioLength(f);
        s.audio.assign(static_cast<size_t>(n) * p.channels(), 0);
        p.ReadAudio(f, s.audio.data());
        FrameInfo info;
        std::memset(&info, 0, sizeof info);
        info.audio_samples = s.audio.data();
        info.sample_count = n;
        info.channel_count = p.channels();
        info.width = p.width();
        info.height = p.height();
        info.max_w = p.width();
        info.max_h = p.height();
        info.frame = f;
        info.frame_count = p.frame_count();
        info.edit_handle = &p;
        SetMediaAudioBlock(n);
        s.probe.Arm();
        if (s.plugin.audio->process(s.plugin.audio, &info) == 0) status = RenderStatus::kFailed;
        NoteCall();
        out->samples.insert(out->samples.end(), s.audio.begin(), s.audio.end());
        ++out->frames;
    }
    return status;
}

void PreviewEngine::Run(std::string source, std::string plugin_path, int32_t threads) {
    auto fail = [this](const std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        start_error_ = why;
        done_.notify_all();
    };
    QuietFfmpegLog();
    SetHostThreadCount(threads > 0 ? threads : HostThreadCount());
    session_ = std::make_unique<Session>();
    Session& s = *session_;
    std::string error;
    if (!LoadPlugin(plugin_path, &s.plugin, &error)) {
        session_.reset();
        fail(plugin_path + ": plug-in " + error);
        return;
    }
    if (!s.project.Open(source, &error)) {
        session_.reset();
        fail(source + ": " + error);
        return;
    }
    Project& p = s.project;
    std::string directory = DirectoryOf(source);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        FilterTable* v = s.plugin.video;
        for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i) {
            bool described = i < v->track_count;
            sliders_.names[i] = described && v->track_names != nullptr
                                    ? ShiftJisToUtf8(v->track_names[i])
                                    : "slider " + std::to_string(i);
            sliders_.defaults[i] = described && v->track_defaults ? v->track_defaults[i] : 0;
            sliders_.minimums[i] = described && v->track_minimums ? v->track_minimums[i] : 0;
            sliders_.maximums[i] = described && v->track_maximums ? v->track_maximums[i] : 0;
            sliders_.maximums[i] = std::max(sliders_.maximums[i], sliders_.minimums[i]);
            values_[i] =
                std::clamp(sliders_.defaults[i], sliders_.minimums[i], sliders_.maximums[i]);
        }
        facts_.source_path = source;
        facts_.script_path = directory + kScriptName;
        facts_.width = p.width();
        facts_.height = p.height();
        facts_.rate_num = p.frame_rate().num;
        facts_.rate_den = p.frame_rate().den;
        facts_.frame_count = p.frame_count();
        facts_.has_audio = p.has_audio();
        facts_.audio_rate = p.audio_rate();
        facts_.channels = p.channels();
        facts_.script_exists = IsRegularFile(facts_.script_path);
    }
    s.probe.Open(directory, kScriptName);
    size_t pixels = static_cast<size_t>(p.width()) * p.height();
    s.edit.resize(pixels);
    s.temp.resize(pixels);
    std::copy(values_.begin(), values_.end(), s.tracks);
    FillHostServices(&s.services);
    BindProject(&p);
    s.bound = true;
    SetMediaBufferSize(p.width(), p.height());
    InitPlugin(&s.plugin, s.tracks, &s.services);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ready_ = true;
    }
    done_.notify_all();

    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !work_.empty() || waiting_frame_; });
        if (stopping_) break;
        if (!work_.empty()) {
            std::function<void()> work = std::move(work_.front());
            work_.pop_front();
            lock.unlock();
            work();
            lock.lock();
            done_.notify_all();
            continue;
        }
        std::shared_ptr<FrameJob> job = std::move(waiting_frame_);
        waiting_frame_ = nullptr;
        lock.unlock();
        RenderNow(job.get());
        lock.lock();
        job->done = true;
        ++frames_rendered_;
        done_.notify_all();
    }
    // Waiting requests see stopping_ and return.
    lock.unlock();
    session_.reset();
}

void PreviewEngine::RenderNow(FrameJob* job) {
    Session& s = *session_;
    Project& p = s.project;
    int32_t f = job->frame;
    if (f < 0 || f >= p.frame_count()) {
        job->status = RenderStatus::kOutside;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::copy(values_.begin(), values_.end(), s.tracks);
    }
    const PixelYC* source = p.Frame(f);
    size_t count = s.edit.size();
    std::copy(source, source + count, s.edit.begin());
    std::copy(source, source + count, s.temp.begin());
    FrameInfo info;
    std::memset(&info, 0, sizeof info);
    info.edit_pixels = s.edit.data();
    info.temp_pixels = s.temp.data();
    info.width = p.width();
    info.height = p.height();
    info.max_w = p.width();
    info.max_h = p.height();
    info.frame = f;
    info.frame_count = p.frame_count();
    info.edit_handle = &p;
    s.probe.Arm();
    int32_t ok = s.plugin.video->process(s.plugin.video, &info);
    NoteCall();
    int32_t w = std::clamp(info.width, 1, p.width());
    int32_t h = std::clamp(info.height, 1, p.height());
    RenderedFrame& out = job->result;
    out.frame = f;
    out.width = w;
    out.height = h;
    out.pixels.resize(static_cast<size_t>(w) * h);
    for (int32_t y = 0; y < h; ++y) {
        const PixelYC* row = info.edit_pixels + static_cast<size_t>(y) * info.max_w;
        std::copy(row, row + w, out.pixels.begin() + static_cast<size_t>(y) * w);
    }
    job->status = ok != 0 ? RenderStatus::kOk : RenderStatus::kFailed;
}

// After each call into the plug-in: was the script loaded, did the project grow?
void PreviewEngine::NoteCall() {
    Session& s = *session_;
    bool loaded = s.probe.Loaded();
    bool changed = false;
    // The loaded script is checked here, between two calls, so that the
    // checker's own reading of the file is not taken for a load.
    std::vector<PreviewFinding> findings;
    if (loaded) CheckScript(Facts().script_path, s.project.frame_count(), &findings);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loaded) {
            facts_.loaded_at_ms = NowMilliseconds();
            ++facts_.load_count;
            facts_.findings_checked = true;
            facts_.findings = std::move(findings);
            changed = true;
        }
        bool exists = IsRegularFile(facts_.script_path);
        if (exists != facts_.script_exists) {
            facts_.script_exists = exists;
            changed = true;
        }
        if (s.project.frame_count() != facts_.frame_count) {
            facts_.frame_count = s.project.frame_count();
            changed = true;
        }
    }
    if (changed && listener_) listener_();
}
