// The one place that drives the plug-in as an editor does. A runner loads
// kinetra.auf and opens the source as the project; started, it hands both
// filters the slider positions and the host's services and calls init, then
// runs the video and audio filter on one frame at a time and collects the
// plug-in's run-time failure reports. Render, the preview and the
// benchmarks all run the plug-in through it.
//
// Its end (Stop, or the destructor) is the one place where the teardown
// order is written: exit on both filters (which closes the plug-in's files
// through the services), then every media file, then the services unbound
// and the library unloaded, and last the project's read-ahead thread. Every
// call comes from one thread, the one that started the runner.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/pixel_buffer.h"
#include "kinetra/plugin_abi.h"
#include "plugin/media_services.h"
#include "plugin/plugin_loader.h"
#include "source/project.h"

using SliderValues = std::array<int32_t, KINETRA_TRACK_COUNT>;

// The plug-in's sliders as its video filter's table describes them; a
// slider it does not describe is named "slider N" and is 0 in 0..0.
struct SliderTable {
    std::array<std::string, KINETRA_TRACK_COUNT> names;  // as the table has them (Shift-JIS)
    SliderValues defaults{}, minimums{}, maximums{};
};

// What a run fixes before init.
struct RunSetup {
    // The plug-in's image buffers; 0: the frame's size. Never smaller than
    // the frame.
    int32_t max_w = 0, max_h = 0;
    // The longest project the script may ask for; 0: the source's length and
    // ten minutes.
    int64_t length_bound = 0;
    SliderValues sliders{};
    bool notes_shown = true;  // the media services' notes (not warnings)
    // The script the plug-in reads, a file named kinetra.txt (the plug-in
    // looks for that name in the folder of the source it is told); empty:
    // the one beside the source.
    std::string script_path;
    // Whether the plug-in's second image (buffer 1) starts each frame as the
    // frame, as it does for every script that may read it. A script that
    // can be shown never to (no swapbuf, no buffer argument that may come to
    // 1, buffer 1 not displayed) saves the copy: the image then keeps what
    // it held.
    bool second_image_is_frame = true;
    // Whether the frames come as decoded, for a script that leaves the
    // picture alone (no video command, buffer 0 displayed): the video filter
    // runs on the images as they are, and RunVideoPassing gives the decoded
    // picture for the output to take as it is.
    bool passes_picture = false;
};

// The video filter's output: width x height pixels in rows of `stride`.
struct FilterImage {
    const PixelYC* pixels = nullptr;
    int32_t width = 0, height = 0;
    int32_t stride = 0;
};

class FilterRunner {
  public:
    FilterRunner() = default;
    ~FilterRunner() { Stop(); }
    FilterRunner(const FilterRunner&) = delete;
    FilterRunner& operator=(const FilterRunner&) = delete;

    // Loads the plug-in; false with `error` ("not found or not readable", ...).
    bool LoadPlugin(const std::string& path, std::string* error);
    // Opens the source (an absolute path) as the project; false with `error`.
    bool OpenSource(const std::string& path, std::string* error);

    Project& project() { return project_; }
    const Project& project() const { return project_; }
    MediaServices& media() { return media_; }
    // After LoadPlugin.
    SliderTable Sliders() const;

    // Binds the project and the media services, publishes the sliders and
    // calls init on both filters.
    void Start(const RunSetup& setup);
    bool started() const { return started_; }
    int32_t max_w() const { return max_w_; }
    int32_t max_h() const { return max_h_; }

    // New slider positions, read by the plug-in from its next call on.
    void SetSliders(const SliderValues& values);
    // Script lines whose trouble was told before the run: their run-time
    // failures are not reported again.
    void SetToldLines(const std::set<int32_t>& lines) { told_lines_ = lines; }

    // Runs the video filter on frame f of the project, the frame copied into
    // both buffers (black around it on a larger canvas); false when the
    // plug-in reports a failure. The image stays valid until the next call.
    bool RunVideo(int32_t f, FilterImage* image);
    // RunVideo for a run that passes the picture: frame f's picture as
    // decoded in `decoded`, when it was read ahead in the project's size and
    // pixel format, and the filter run on the images as they are; otherwise
    // (null `decoded`) RunVideo.
    bool RunVideoPassing(int32_t f, FilterImage* image, FramePtr* decoded);
    // RunVideo in its two steps, for timing the plug-in's call alone: the
    // frame into both buffers, then the call.
    void PrepareVideo(int32_t f);
    bool CallVideo(int32_t f, FilterImage* image);
    // RunVideo for a host that hands the filter each frame itself: frame f
    // is the caller's picture (width x height pixels in rows of `stride`, at
    // most max_w x max_h) instead of the project's.
    bool RunVideoOn(int32_t f, const PixelYC* pixels, int32_t width, int32_t height, int32_t stride,
                    FilterImage* image);

    // Runs the audio filter on frame f's samples; their count per channel is
    // in `samples`. False when the plug-in reports a failure.
    bool RunAudio(int32_t f, int32_t* samples);
    // The interleaved samples of the last RunAudio (the caller may swap the
    // storage away).
    std::vector<int16_t>& audio() { return audio_; }
    // RunAudio on the caller's block of frame f (`count` sample frames of
    // `channels` interleaved samples), changed in place.
    bool RunAudioOn(int32_t f, int16_t* samples, int32_t count, int32_t channels);

    // The run-time failure reports of the calls since the last time, oldest
    // first, without those of lines told before the run.
    std::vector<KinetraRunFailure> TakeFailures();

    // Ends the run in the one right order; nothing to do when not started.
    void Stop();

  private:
    void FillFrameInfo(int32_t f, FrameInfo* info);
    // The video call on the buffers as they are, for a frame of this size.
    // The picture (w x h pixels, rows `stride` apart) into both buffers.
    void PrepareFrom(const PixelYC* source, int32_t w, int32_t h, int32_t stride);
    // The plug-in's images (the second only when it is filled) in max_w x
    // max_h pixels, their contents as they are.
    void SizeImages();
    bool CallVideoSized(int32_t f, int32_t width, int32_t height, FilterImage* image);

    // Declared first, so destroyed last: the plug-in and the services hold
    // pointers into it.
    Project project_;
    MediaServices media_;
    LoadedPlugin plugin_;
    HostServices services_{};
    SliderValues tracks_{};  // the positions the plug-in reads
    std::set<int32_t> told_lines_;
    int32_t max_w_ = 0, max_h_ = 0;
    // The second image for a run that does not fill it: all zero at first,
    // then what the script leaves there. Its pages take memory only once
    // touched.
    PixelYC* UnfilledSecondImage();

    PixelBuffer edit_, temp_;
    struct FreeDeleter {
        void operator()(PixelYC* p) const { std::free(p); }
    };
    std::unique_ptr<PixelYC, FreeDeleter> unfilled_;
    size_t unfilled_count_ = 0;
    std::vector<int16_t> audio_;
    bool started_ = false;
    bool second_image_is_frame_ = true;
    bool passes_picture_ = false;
};

// The longest project a script may ask for by default: the source's length
// and ten minutes.
int64_t DefaultLengthBound(const Project& project);
