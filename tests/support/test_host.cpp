#include "support/test_host.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "support/test_platform.h"

#ifndef KINETRA_PLUGIN_PATH
#error "KINETRA_PLUGIN_PATH must name the built plug-in"
#endif

namespace testhost {

namespace {

TestHost* g_current = nullptr;

void CopyFile(const std::string& from, const std::string& to) {
    std::ifstream in(from, std::ios::binary);
    std::ofstream out(to, std::ios::binary);
    if (!in || !out) throw std::runtime_error("cannot copy " + from);
    out << in.rdbuf();
}

// Resolves a name the plug-in passes against the current directory.
std::string Resolve(const char* name) {
    if (IsAbsolutePath(name)) return name;
    return JoinPath(CurrentDirectory(), name);
}

}  // namespace

TestHost* CurrentHost() {
    return g_current;
}

// The service functions: plain C entry points that serve the current host.
struct Services {
    static int32_t set_timeline_length(void*, int32_t frames) {
        TestHost* h = g_current;
        h->timeline_lengths.push_back(frames);
        h->calls.push_back({"set_timeline_length", "", CurrentDirectory(), frames});
        if (frames > h->frame_count) h->frame_count = frames;
        return 1;
    }
    static int32_t query_source_file(void*, SourceInfo* info) {
        TestHost* h = g_current;
        h->source_path_storage_ =
            h->source_override_.empty() ? h->source_path() : h->source_override_;
        info->path = h->source_path_storage_.c_str();
        info->audio_rate = h->audio_rate;
        return 1;
    }
    static int32_t read_timeline_audio(FilterTable*, void*, int32_t frame, int16_t* buf) {
        TestHost* h = g_current;
        h->calls.push_back({"read_timeline_audio", "", CurrentDirectory(), frame});
        if (frame < 0 || frame >= h->frame_count) return 0;
        std::vector<int16_t> samples = h->ProjectAudio(frame);
        std::memcpy(buf, samples.data(), samples.size() * sizeof(int16_t));
        return h->samples_per_frame;
    }
    static int32_t reserve_frame_cache(FilterTable*, int32_t w, int32_t hh, int32_t count,
                                       int32_t flag) {
        g_current->calls.push_back({"reserve_frame_cache", "", CurrentDirectory(), w, hh, count});
        (void)flag;
        return 1;
    }
    static PixelYC* get_rendered_frame(FilterTable*, void*, int32_t frame, int32_t*, int32_t*) {
        TestHost* h = g_current;
        h->calls.push_back({"get_rendered_frame", "", CurrentDirectory(), frame});
        if (frame < 0 || frame >= h->frame_count) return nullptr;
        h->rendered_ = h->ProjectFrame(frame);
        return h->rendered_.pixels.data();
    }
    // Calls fn on thread_count threads at once (the calling thread is one of
    // them), as the editor does, and returns when every call has ended.
    static int32_t run_on_worker_threads(WorkerThreadFn fn, void* p1, void* p2) {
        const int32_t count = g_current->thread_count;
        std::vector<std::thread> others;
        for (int32_t i = 1; i < count; ++i)
            others.emplace_back(fn, i, count, p1, p2);
        fn(0, count, p1, p2);
        for (std::thread& t : others)
            t.join();
        return 1;
    }
    static int32_t load_image_file(PixelYC* buf, const char* file, int32_t* w, int32_t* hh,
                                   int32_t) {
        TestHost* h = g_current;
        h->calls.push_back({"load_image_file", file, CurrentDirectory()});
        auto it = h->images_.find(Resolve(file));
        if (it == h->images_.end()) return 0;
        const Picture& p = it->second;
        for (int32_t y = 0; y < p.height && y < h->max_h; ++y) {
            for (int32_t x = 0; x < p.width && x < h->max_w; ++x) {
                buf[size_t(y) * h->max_w + x] = p.pixels[size_t(y) * p.width + x];
            }
        }
        if (w != nullptr) *w = p.width;
        if (hh != nullptr) *hh = p.height;
        return 1;
    }
    static void* open_media_file(const char* file, SourceInfo* info, int32_t) {
        TestHost* h = g_current;
        h->calls.push_back({"open_media_file", file, CurrentDirectory()});
        auto it = h->media_.find(Resolve(file));
        if (it == h->media_.end()) return nullptr;
        std::memset(info, 0, sizeof *info);
        void* handle = reinterpret_cast<void*>(h->next_handle_++);
        h->open_media_[handle] = {&it->second, h->audio_rate, h->channels};
        return handle;
    }
    static int32_t close_media_file(void* handle) {
        TestHost* h = g_current;
        h->calls.push_back({"close_media_file", "", CurrentDirectory(),
                            int32_t(reinterpret_cast<intptr_t>(handle))});
        h->open_media_.erase(handle);
        return 1;
    }
    static int32_t read_media_frame(void* handle, PixelYC* buf, int32_t frame) {
        TestHost* h = g_current;
        h->calls.push_back({"read_media_frame", "", CurrentDirectory(), frame,
                            int32_t(reinterpret_cast<intptr_t>(handle))});
        auto it = h->open_media_.find(handle);
        if (it == h->open_media_.end()) return 0;
        const MediaFile& m = *it->second.file;
        if (frame < 0 || frame >= m.frame_count) return 0;
        for (int32_t y = 0; y < m.height && y < h->max_h; ++y) {
            for (int32_t x = 0; x < m.width && x < h->max_w; ++x) {
                buf[size_t(y) * h->max_w + x] = m.pixel(frame, x, y);
            }
        }
        return 1;
    }
    static int32_t read_media_audio(void* handle, int16_t* buf, int32_t frame) {
        TestHost* h = g_current;
        h->calls.push_back({"read_media_audio", "", CurrentDirectory(), frame});
        auto it = h->open_media_.find(handle);
        if (it == h->open_media_.end()) return 0;
        const MediaFile& m = *it->second.file;
        if (!m.sample || frame < 0 || frame >= m.frame_count) return 0;
        int32_t limit = 2 * h->info_.sample_count;  // the room the plug-in guarantees
        int32_t count = m.samples_per_frame < limit ? m.samples_per_frame : limit;
        int32_t c = it->second.channels;
        for (int32_t s = 0; s < count * c; ++s)
            buf[s] = m.sample(frame, s);
        return count;
    }
    static int32_t set_media_audio_format(void* handle, int32_t rate, int32_t channels) {
        TestHost* h = g_current;
        h->calls.push_back({"set_media_audio_format", "", CurrentDirectory(), rate, channels});
        auto it = h->open_media_.find(handle);
        if (it != h->open_media_.end()) {
            it->second.rate = rate;
            it->second.channels = channels;
        }
        return 1;
    }
};

TestHost::TestHost(int32_t w, int32_t h, int32_t frames, int32_t threads)
    : max_w(w), max_h(h), frame_count(frames), thread_count(threads) {
    for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i)
        tracks[i] = 0;
    tracks[7] = tracks[8] = tracks[9] = 2048;
    project_pixel = [](int32_t f, int32_t x, int32_t y) {
        return PixelYC{int16_t(f * 16 + x), int16_t(y - 8), int16_t(x - y)};
    };
    project_sample = [](int32_t f, int32_t s) { return int16_t(uint16_t(f * 1000 + s)); };

    directory_ = MakeTempDirectory("kinetra-test-");
    // A private copy is a distinct library to the loader: fresh plug-in state.
    library_copy_ = JoinPath(directory_, "kinetra-under-test.auf");
    CopyFile(KINETRA_PLUGIN_PATH, library_copy_);
    library_ = LoadLibraryFile(library_copy_);
    if (library_ == nullptr)
        throw std::runtime_error("cannot load the plug-in: " + LastLibraryError());
    auto get_list =
        reinterpret_cast<GetFilterTableListFn>(FindExport(library_, "GetFilterTableList"));
    if (get_list == nullptr) throw std::runtime_error("GetFilterTableList not exported");
    list_ = get_list();
    video_ = list_[0];
    audio_ = list_[1];

    std::memset(&services_, 0, sizeof services_);
    services_.set_timeline_length = Services::set_timeline_length;
    services_.query_source_file = Services::query_source_file;
    services_.read_timeline_audio = Services::read_timeline_audio;
    services_.reserve_frame_cache = Services::reserve_frame_cache;
    services_.get_rendered_frame = Services::get_rendered_frame;
    services_.run_on_worker_threads = Services::run_on_worker_threads;
    services_.load_image_file = Services::load_image_file;
    services_.open_media_file = Services::open_media_file;
    services_.close_media_file = Services::close_media_file;
    services_.read_media_frame = Services::read_media_frame;
    services_.read_media_audio = Services::read_media_audio;
    services_.set_media_audio_format = Services::set_media_audio_format;
    for (FilterTable* filter : {video_, audio_}) {
        filter->track_values = tracks;
        filter->services = &services_;
    }
    std::memset(&info_, 0, sizeof info_);
    g_current = this;
    video_->init(video_);
    audio_->init(audio_);
}

TestHost::~TestHost() {
    if (library_ != nullptr) Exit();
    if (library_ != nullptr) UnloadLibrary(library_);
    RemoveTree(directory_);
    if (g_current == this) g_current = nullptr;
}

void TestHost::Exit() {
    if (exited_) return;
    exited_ = true;
    g_current = this;
    video_->exit(video_);
    audio_->exit(audio_);
}

std::vector<KinetraRunFailure> TestHost::TakeRunFailures() {
    std::vector<KinetraRunFailure> reports;
    auto take = reinterpret_cast<KinetraTakeRunFailuresFn>(
        library_ != nullptr ? FindExport(library_, KINETRA_TAKE_RUN_FAILURES_NAME) : nullptr);
    if (take == nullptr) return reports;
    KinetraRunFailure batch[8];
    for (int32_t n; (n = take(batch, 8)) > 0;)
        reports.insert(reports.end(), batch, batch + n);
    return reports;
}

void TestHost::UnloadWithoutExit() {
    if (library_ != nullptr) UnloadLibrary(library_);
    library_ = nullptr;
}

std::string TestHost::source_path() const {
    return JoinPath(directory_, "source.avi");
}

void TestHost::WriteScript(const std::string& text) {
    const std::string path = JoinPath(directory_, "kinetra.txt");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    // A step of 10^7 units: 10 ms where times count nanoseconds, 1 s where
    // they count 100 ns (Windows).
    int64_t written = 0;
    if (GetWriteTime(path, &written) && written < script_write_time_ + 10000000) {
        written = script_write_time_ + 10000000;
        SetWriteTime(path, written);
    }
    script_write_time_ = written;
}

void TestHost::AddMediaFile(const std::string& path, MediaFile file) {
    media_[IsAbsolutePath(path) ? path : JoinPath(directory_, path)] = std::move(file);
}

void TestHost::AddImageFile(const std::string& path, Picture picture) {
    images_[IsAbsolutePath(path) ? path : JoinPath(directory_, path)] = std::move(picture);
}

Picture TestHost::ProjectFrame(int32_t f) const {
    Picture p;
    p.width = max_w;
    p.height = max_h;
    p.pixels.resize(size_t(max_w) * max_h);
    for (int32_t y = 0; y < max_h; ++y) {
        for (int32_t x = 0; x < max_w; ++x)
            p.at(x, y) = project_pixel(f, x, y);
    }
    return p;
}

std::vector<int16_t> TestHost::ProjectAudio(int32_t f) const {
    std::vector<int16_t> samples(size_t(samples_per_frame) * channels);
    for (size_t s = 0; s < samples.size(); ++s)
        samples[s] = project_sample(f, int32_t(s));
    return samples;
}

int32_t TestHost::RunVideo(int32_t f) {
    g_current = this;
    exited_ = false;  // a call after Exit allocates again; the destructor must exit again
    output_ = ProjectFrame(f);
    second_ = output_;
    std::memset(&info_, 0, sizeof info_);
    info_.edit_pixels = output_.pixels.data();
    info_.temp_pixels = second_.pixels.data();
    info_.width = max_w;
    info_.height = max_h;
    info_.max_w = max_w;
    info_.max_h = max_h;
    info_.frame = f;
    info_.frame_count = frame_count;
    info_.edit_handle = this;
    int32_t result = video_->process(video_, &info_);
    if (info_.edit_pixels == second_.pixels.data()) std::swap(output_, second_);
    return result;
}

PixelYC TestHost::OutputAt(int32_t x, int32_t y) const {
    return output_.pixels[size_t(y) * output_.width + x];
}

int32_t TestHost::RunAudio(int32_t f, int32_t sample_count) {
    g_current = this;
    exited_ = false;
    if (sample_count < 0) sample_count = samples_per_frame;
    audio_block_.assign(size_t(sample_count) * channels, 0);
    std::vector<int16_t> project = ProjectAudio(f);
    for (size_t s = 0; s < audio_block_.size() && s < project.size(); ++s) {
        audio_block_[s] = project[s];
    }
    std::memset(&info_, 0, sizeof info_);
    info_.audio_samples = audio_block_.data();
    info_.sample_count = sample_count;
    info_.channel_count = channels;
    info_.frame = f;
    info_.frame_count = frame_count;
    info_.max_w = max_w;
    info_.max_h = max_h;
    info_.width = max_w;
    info_.height = max_h;
    info_.edit_handle = this;
    return audio_->process(audio_, &info_);
}

int32_t TestHost::CountCalls(const std::string& service) const {
    int32_t n = 0;
    for (const ServiceCall& c : calls)
        n += c.service == service;
    return n;
}

}  // namespace testhost
