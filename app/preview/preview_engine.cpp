#include "preview/preview_engine.h"

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "checker/check.h"
#include "checker/script_check.h"
#include "script/loader.h"
#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "plugin/filter_runner.h"
#include "base/paths.h"
#include "preview/preview_watch.h"

namespace {

// Run-time failures kept for the page (the plug-in reports the first of
// each script line).
constexpr size_t kMostFailures = 100;

int64_t NowMilliseconds() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool IsRegularFile(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The checker's findings for the script at `path`; whether it was read as
// UTF-8.
bool FindingsFor(const std::string& path, int32_t frame_count,
                 std::vector<PreviewFinding>* findings) {
    CheckContext context;
    context.frame_count = frame_count;
    ScriptCheck check = CheckScriptFile(path, context);
    findings->clear();
    for (const ScriptFinding& f : check.findings) {
        findings->push_back(
            PreviewFinding{f.line, f.severity == FindingSeverity::kError, f.message});
    }
    return check.utf8;
}

}  // namespace

struct PreviewEngine::FrameJob {
    int32_t frame = -1;
    bool done = false;
    bool superseded = false;
    RenderStatus status = RenderStatus::kFailed;
    RenderedFrame result;
};

// Everything the plug-in thread holds; the runner ends the plug-in's run.
struct PreviewEngine::Session {
    FilterRunner runner;
    ScriptReadProbe probe;
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

void PreviewEngine::Interrupt() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    done_.notify_all();
}

void PreviewEngine::Stop() {
    if (!started_) return;
    Interrupt();
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
    Project& p = s.runner.project();
    if (first < 0 || first >= p.frame_count() || count < 1) return RenderStatus::kOutside;
    s.runner.SetSliders(Sliders());
    RenderStatus status = RenderStatus::kOk;
    out->rate = p.audio_rate();
    out->channels = p.channels();
    out->samples.clear();
    out->frames = 0;
    for (int32_t f = first; f < first + count && f < p.frame_count(); ++f) {
        int32_t samples = 0;
        s.probe.Arm();
        if (!s.runner.RunAudio(f, &samples)) status = RenderStatus::kFailed;
        NoteCall(f);
        const std::vector<int16_t>& audio = s.runner.audio();
        out->samples.insert(out->samples.end(), audio.begin(), audio.end());
        ++out->frames;
    }
    return status;
}

// Loads the plug-in, opens the source and calls init; the start's error
// when one of them fails.
std::string PreviewEngine::Open(const std::string& source, const std::string& plugin_path) {
    session_ = std::make_unique<Session>();
    Session& s = *session_;
    FilterRunner& runner = s.runner;
    std::string error;
    if (!runner.LoadPlugin(plugin_path, &error)) return plugin_path + ": plug-in " + error;
    if (!runner.OpenSource(source, &error)) return source + ": " + error;
    const Project& p = runner.project();
    std::string directory = DirectoryOf(source);
    SliderTable table = runner.Sliders();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sliders_ = table;
        // The plug-in's defaults as they are, as render takes them.
        values_ = table.defaults;
        facts_.source_path = source;
        facts_.script_path = ScriptBeside(source);
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
    s.probe.Open(directory, kScriptFileName);
    RunSetup setup;
    setup.sliders = values_;
    runner.Start(setup);
    return std::string();
}

void PreviewEngine::Run(std::string source, std::string plugin_path, int32_t threads) {
    QuietFfmpegLog();
    SetHostThreadCount(threads > 0 ? threads : HostThreadCount());
    std::string error = Open(source, plugin_path);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (error.empty()) {
            ready_ = true;
        } else {
            start_error_ = error;
        }
    }
    done_.notify_all();
    if (!error.empty()) {
        session_.reset();
        return;
    }
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
    int32_t f = job->frame;
    if (f < 0 || f >= s.runner.project().frame_count()) {
        job->status = RenderStatus::kOutside;
        return;
    }
    s.runner.SetSliders(Sliders());
    s.probe.Arm();
    FilterImage image;
    bool ok = s.runner.RunVideo(f, &image);
    NoteCall(f);
    RenderedFrame& out = job->result;
    out.frame = f;
    out.width = image.width;
    out.height = image.height;
    out.pixels.resize(static_cast<size_t>(image.width) * image.height);
    for (int32_t y = 0; y < image.height; ++y) {
        const PixelYC* row = image.pixels + static_cast<size_t>(y) * image.stride;
        std::copy(row, row + image.width,
                  out.pixels.begin() + static_cast<size_t>(y) * image.width);
    }
    job->status = ok ? RenderStatus::kOk : RenderStatus::kFailed;
}

// What the plug-in said during the call for frame f: its run-time failures,
// and a lengthening it was refused.
std::vector<PreviewFailure> PreviewEngine::TakeFailures(int32_t f) {
    Session& s = *session_;
    std::vector<PreviewFailure> failures;
    for (const KinetraRunFailure& failure : s.runner.TakeFailures()) {
        std::string message(failure.message, strnlen(failure.message, sizeof failure.message));
        failures.push_back(PreviewFailure{failure.line, failure.frame, message});
    }
    const Project& p = s.runner.project();
    if (p.refused_length() > refused_length_) {
        refused_length_ = p.refused_length();
        failures.push_back(PreviewFailure{
            0, f,
            "the script lengthens the project to " + std::to_string(p.refused_length()) +
                " frames, more than the " + std::to_string(p.length_bound()) +
                " allowed (the source's " + std::to_string(p.source_frames()) +
                " frames and 10 minutes); the frames past them are not made"});
    }
    return failures;
}

// After each call into the plug-in: was the script loaded, did the project
// grow, did the plug-in report failures?
void PreviewEngine::NoteCall(int32_t f) {
    Session& s = *session_;
    bool loaded = s.probe.Loaded();
    // The loaded script is checked here, between two calls, so that the
    // checker's own reading of the file is not taken for a load.
    std::vector<PreviewFinding> findings;
    bool utf8 = false;
    if (loaded) {
        utf8 = FindingsFor(Facts().script_path, s.runner.project().frame_count(), &findings);
    }
    std::vector<PreviewFailure> failures = TakeFailures(f);
    bool changed = loaded || !failures.empty();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (loaded) {
            facts_.loaded_at_ms = NowMilliseconds();
            ++facts_.load_count;
            facts_.findings_checked = true;
            facts_.findings = std::move(findings);
            facts_.script_utf8 = utf8;
            // A new script's failures are its own.
            facts_.failures.clear();
        }
        for (PreviewFailure& failure : failures) {
            if (facts_.failures.size() < kMostFailures)
                facts_.failures.push_back(std::move(failure));
        }
        bool exists = IsRegularFile(facts_.script_path);
        if (exists != facts_.script_exists) {
            facts_.script_exists = exists;
            changed = true;
        }
        if (s.runner.project().frame_count() != facts_.frame_count) {
            facts_.frame_count = s.runner.project().frame_count();
            changed = true;
        }
    }
    if (changed && listener_) listener_();
}
