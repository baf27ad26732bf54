// The preview's plug-in thread. It owns the project, the loaded plug-in and
// the slider positions the plug-in reads, and makes every call into the
// plug-in (init, the video and audio filters, exit), one at a time, on one
// thread, as an editor does. Other threads ask it for frames and sound.
//
// Frames: a request that arrives while another frame renders waits; when a
// newer request arrives, the one still waiting is dropped (it gets
// kSuperseded), so dragging the timeline renders only the newest frame.
// Sound and other work run in the order asked, before a waiting frame.
#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "colour/colour.h"
#include "kinetra/plugin_abi.h"
#include "plugin/filter_runner.h"

// A finding of the script checker about the loaded script.
struct PreviewFinding {
    int32_t line = 0;  // 1-based; 0: the file as a whole
    bool error = false;
    std::string message;  // UTF-8, script text in it shown safely (checker/check.h)
};

// A failure the plug-in reported while running the script (line 0: the
// script as a whole, such as a lengthening beyond the bound).
struct PreviewFailure {
    int32_t line = 0;
    int32_t frame = 0;
    std::string message;  // UTF-8, script text in it shown safely (checker/check.h)
};

// What the page shows about the project and its script.
struct ProjectFacts {
    std::string source_path;
    std::string script_path;
    int32_t width = 0, height = 0;
    int32_t rate_num = 0, rate_den = 1;
    int32_t frame_count = 0;
    bool has_audio = false;
    int32_t audio_rate = 0, channels = 0;
    bool script_exists = false;
    // When the plug-in was last seen loading the script (milliseconds since
    // 1970), 0 before that.
    int64_t loaded_at_ms = 0;
    int64_t load_count = 0;
    // The checker's findings for the script as last loaded; false before
    // the first load.
    bool findings_checked = false;
    std::vector<PreviewFinding> findings;
    // The script as last loaded was read as UTF-8, else as Shift-JIS: the
    // encoding of the findings' and the failures' texts.
    bool script_utf8 = false;
    // What the plug-in reported while running the script as last loaded.
    std::vector<PreviewFailure> failures;
};

enum class RenderStatus { kOk, kOutside, kSuperseded, kFailed, kStopped };

// A rendered frame: width x height pixels, rows of `width`.
struct RenderedFrame {
    int32_t frame = -1;
    int32_t width = 0, height = 0;
    std::vector<PixelYC> pixels;
};

// Rendered sound: interleaved 16-bit samples.
struct RenderedAudio {
    int32_t rate = 0, channels = 0;
    int32_t frames = 0;  // video frames covered
    std::vector<int16_t> samples;
};

class PreviewEngine {
  public:
    // Told (on the plug-in thread) that the facts changed: a load of the
    // script was seen, or the project grew.
    using FactsListener = std::function<void()>;

    PreviewEngine();
    ~PreviewEngine();
    PreviewEngine(const PreviewEngine&) = delete;
    PreviewEngine& operator=(const PreviewEngine&) = delete;

    // Starts the thread, which loads the plug-in, opens the source (an
    // absolute path) and calls init; false with `error` when any fails.
    bool Start(const std::string& source, const std::string& plugin_path, int32_t threads,
               FactsListener listener, std::string* error);
    // Requests waiting for the plug-in thread, and those asked from now on,
    // get kStopped at once; the thread ends after the call it is in.
    void Interrupt();
    // Interrupts, then waits for the thread, which calls exit and unloads
    // the plug-in.
    void Stop();

    // The plug-in's sliders, their names as its table holds them (Shift-JIS).
    const SliderTable& slider_table() const { return sliders_; }
    ProjectFacts Facts() const;
    SliderValues Sliders() const;
    // Sets all slider positions; false with `error` when one lies outside its
    // range (nothing changes then).
    bool SetSliders(const SliderValues& values, std::string* error);

    RenderStatus RenderFrame(int32_t frame, RenderedFrame* out);
    // Frames first .. first + count - 1, cut at the project's end.
    RenderStatus RenderAudio(int32_t first, int32_t count, RenderedAudio* out);

    // Runs `work` on the plug-in thread after the work asked for before it.
    void Post(std::function<void()> work);

    // Counters for tests: frame requests received, frames rendered.
    int64_t frame_requests() const;
    int64_t frames_rendered() const;

  private:
    struct FrameJob;
    struct Session;

    void Run(std::string source, std::string plugin_path, int32_t threads);
    std::string Open(const std::string& source, const std::string& plugin_path);
    void RenderNow(FrameJob* job);
    RenderStatus RunAudioFilter(int32_t first, int32_t count, RenderedAudio* out);
    std::vector<PreviewFailure> TakeFailures(int32_t f);
    void NoteCall(int32_t f);

    mutable std::mutex mutex_;
    std::condition_variable wake_;  // the plug-in thread waits on it
    std::condition_variable done_;  // requesters wait on it
    std::thread thread_;
    bool started_ = false;
    bool stopping_ = false;
    bool ready_ = false;
    std::string start_error_;

    std::deque<std::function<void()>> work_;
    std::shared_ptr<FrameJob> waiting_frame_;
    SliderValues values_{};
    ProjectFacts facts_;
    SliderTable sliders_;
    int64_t frame_requests_ = 0;
    int64_t frames_rendered_ = 0;
    FactsListener listener_;

    // Touched by the plug-in thread only.
    std::unique_ptr<Session> session_;
    int64_t refused_length_ = 0;  // the longest lengthening reported refused
};
