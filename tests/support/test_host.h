// A host of our own for tests: loads the built kinetra.auf as a library, checks
// and registers its filters, publishes sliders and services, and calls init,
// process and exit as an editor does. Its services work from memory (project
// frames and audio, media files, image files) and record how they were called.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kinetra/plugin_abi.h"

namespace testhost {

// A picture in memory: width x height pixels, rows of `width`.
struct Picture {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<PixelYC> pixels;
    PixelYC& at(int32_t x, int32_t y) { return pixels[size_t(y) * width + x]; }
};

// A media file in memory, opened by name through open_media_file.
struct MediaFile {
    int32_t frame_count = 0;
    int32_t width = 0;
    int32_t height = 0;
    // Pixel (x, y) of frame f.
    std::function<PixelYC(int32_t f, int32_t x, int32_t y)> pixel;
    // Sample frames per video frame and the value of sample s (interleaved
    // index) of frame f; no audio when null.
    int32_t samples_per_frame = 0;
    std::function<int16_t(int32_t f, int32_t s)> sample;
};

// One recorded service call.
struct ServiceCall {
    std::string service;          // slot name, e.g. "open_media_file"
    std::string name;             // file name, where there is one
    std::string cwd;              // current directory during the call
    int32_t a = 0, b = 0, c = 0;  // integer arguments in order
};

class TestHost {
  public:
    // A project of frame_count frames of max_w x max_h pixels. The plug-in is
    // loaded from a private copy of kinetra.auf, so each host starts with the
    // plug-in's process-wide state fresh. `threads` is the host's worker
    // count, which the plug-in asks for at init and uses for its loops.
    TestHost(int32_t max_w = 32, int32_t max_h = 24, int32_t frame_count = 100,
             int32_t threads = 2);
    ~TestHost();
    TestHost(const TestHost&) = delete;
    TestHost& operator=(const TestHost&) = delete;

    FilterTable* video() const { return video_; }
    FilterTable* audio() const { return audio_; }
    FilterTable** list() const { return list_; }

    // Slider positions, shared by both filters (index 0 is "表示Buf").
    int32_t tracks[KINETRA_TRACK_COUNT];

    // The project's directory, where the source and kinetra.txt lie.
    const std::string& directory() const { return directory_; }
    std::string source_path() const;
    void set_source_path(const std::string& path) { source_override_ = path; }
    // Writes kinetra.txt (bytes as given; use "\r\n" for CRLF scripts) with
    // a later last-write time than the one written before, however coarse the
    // file system's timestamps.
    void WriteScript(const std::string& text);

    // Project properties.
    int32_t max_w, max_h;
    int32_t frame_count;
    int32_t audio_rate = 48000;
    int32_t channels = 2;
    int32_t samples_per_frame = 1600;
    int32_t thread_count;  // what run_on_worker_threads reports (read at init)

    // The project's frames before filtering: pixel (x, y) of frame f. Default:
    // Y = f * 16 + x, Cb = y - 8, Cr = x - y.
    std::function<PixelYC(int32_t f, int32_t x, int32_t y)> project_pixel;
    // The project's audio: sample s (interleaved index) of frame f. Default:
    // (f * 1000 + s) wrapped to 16 bits.
    std::function<int16_t(int32_t f, int32_t s)> project_sample;

    // Media and image files the services know, by name relative to the
    // directory that is current when the plug-in asks (or absolute).
    void AddMediaFile(const std::string& path, MediaFile file);
    void AddImageFile(const std::string& path, Picture picture);

    // Calls process for video frame f: buffer 0 is that project frame, buffer
    // 1 a copy of it. Returns process's result.
    int32_t RunVideo(int32_t f);
    // The images after the last video call (edit_pixels may have been swapped).
    const Picture& output() const { return output_; }
    int32_t output_width() const { return info_.width; }
    int32_t output_height() const { return info_.height; }
    PixelYC OutputAt(int32_t x, int32_t y) const;

    // Calls process for audio block of frame f, sample_count sample frames
    // (default samples_per_frame), the block filled with the project's audio.
    int32_t RunAudio(int32_t f, int32_t sample_count = -1);
    const std::vector<int16_t>& audio_output() const { return audio_block_; }

    // The run-time failure reports the plug-in kept since they were last
    // taken, as the Linux host takes them; none where the plug-in does not
    // export them (the Windows build).
    std::vector<KinetraRunFailure> TakeRunFailures();

    // Calls exit on both filters (the destructor does it too).
    void Exit();
    // Unloads the plug-in now without calling exit, as a host that skips it
    // would; the host is of no further use.
    void UnloadWithoutExit();
    // The private copy of the plug-in this host loaded.
    const std::string& library_path() const { return library_copy_; }

    std::vector<ServiceCall> calls;
    int32_t CountCalls(const std::string& service) const;
    std::vector<int32_t> timeline_lengths;  // set_timeline_length requests

    // Builds the project's frame f (as get_rendered_frame delivers it).
    Picture ProjectFrame(int32_t f) const;
    // The project audio of frame f as read_timeline_audio delivers it.
    std::vector<int16_t> ProjectAudio(int32_t f) const;

  private:
    friend struct Services;
    void* library_ = nullptr;
    std::string library_copy_;
    std::string directory_;
    int64_t script_write_time_ = 0;
    std::string source_override_;
    std::string source_path_storage_;
    FilterTable** list_ = nullptr;
    FilterTable* video_ = nullptr;
    FilterTable* audio_ = nullptr;
    HostServices services_;
    FrameInfo info_;
    Picture output_;
    Picture second_;
    Picture rendered_;
    std::vector<int16_t> audio_block_;
    std::map<std::string, MediaFile> media_;
    std::map<std::string, Picture> images_;
    struct OpenMedia {
        const MediaFile* file;
        int32_t rate;
        int32_t channels;
    };
    std::map<void*, OpenMedia> open_media_;
    intptr_t next_handle_ = 1;
    bool exited_ = false;
};

// The host that the services currently serve (one at a time).
TestHost* CurrentHost();

}  // namespace testhost
