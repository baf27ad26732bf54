#include "plugin/services.h"

#include <cstring>
#include <thread>
#include <vector>

#include "base/host_threads.h"
#include "plugin/media_services.h"
#include "source/project.h"

namespace {

Project* g_project = nullptr;
std::string g_told_path;  // what query_source_file reports, when not the source

Project* ProjectOf(void* edit) {
    return edit != nullptr ? static_cast<Project*>(edit) : g_project;
}

int32_t SetTimelineLength(void* edit, int32_t frames) {
    Project* p = ProjectOf(edit);
    if (p == nullptr) return 0;
    p->Lengthen(frames);
    return 1;
}

int32_t QuerySourceFile(void* edit, SourceInfo* info) {
    Project* p = ProjectOf(edit);
    if (p == nullptr || info == nullptr) return 0;
    DescribeProject(p, info);
    return 1;
}

int32_t ReadTimelineAudio(FilterTable*, void* edit, int32_t frame, int16_t* buffer) {
    Project* p = ProjectOf(edit);
    if (p == nullptr || buffer == nullptr) return 0;
    return p->ReadAudio(frame, buffer);
}

int32_t ReserveFrameCache(FilterTable*, int32_t, int32_t, int32_t count, int32_t) {
    if (g_project != nullptr) g_project->ReserveFrames(count);
    return 1;
}

PixelYC* GetRenderedFrame(FilterTable*, void* edit, int32_t frame, int32_t* w, int32_t* h) {
    Project* p = ProjectOf(edit);
    if (p == nullptr) return nullptr;
    const PixelYC* pixels = p->Frame(frame);
    if (pixels == nullptr) return nullptr;
    if (w != nullptr) *w = p->width();
    if (h != nullptr) *h = p->height();
    return const_cast<PixelYC*>(pixels);
}

// Calls the function once on each of the host's worker threads (the calling
// thread is worker 0) and waits for all of them.
int32_t RunOnWorkerThreads(WorkerThreadFn fn, void* p1, void* p2) {
    if (fn == nullptr) return 0;
    int32_t count = HostThreadCount();
    std::vector<std::thread> workers;
    workers.reserve(static_cast<size_t>(count));
    for (int32_t i = 1; i < count; ++i)
        workers.emplace_back(fn, i, count, p1, p2);
    fn(0, count, p1, p2);
    for (std::thread& t : workers)
        t.join();
    return 1;
}

}  // namespace

void BindProject(Project* project) {
    g_project = project;
}

void TellSourcePath(const std::string& path) {
    g_told_path = path;
}

void DescribeProject(Project* project, SourceInfo* info) {
    std::memset(info, 0, sizeof *info);
    info->path = g_told_path.empty() ? project->source_path().c_str() : g_told_path.c_str();
    info->audio_rate = project->audio_rate();
    // Our own facts in the reserved words: size, frame rate, channels, length.
    info->reserved_8[0] = project->width();
    info->reserved_8[1] = project->height();
    info->reserved_8[2] = project->frame_rate().num;
    info->reserved_8[3] = project->frame_rate().den;
    info->reserved_28[0] = project->channels();
    info->reserved_28[1] = project->frame_count();
}

void FillHostServices(HostServices* services) {
    std::memset(services, 0, sizeof *services);
    services->set_timeline_length = SetTimelineLength;
    services->query_source_file = QuerySourceFile;
    services->read_timeline_audio = ReadTimelineAudio;
    services->reserve_frame_cache = ReserveFrameCache;
    services->get_rendered_frame = GetRenderedFrame;
    services->run_on_worker_threads = RunOnWorkerThreads;
    MediaServices::FillSlots(services);
}
