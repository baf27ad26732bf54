// The per-call entry and the set-up and clean-up around it.
#include <atomic>

#include "common/parallel.h"
#include "host/buffers.h"
#include "host/plugin.h"
#include "host/video_file_cache.h"
#include "platform/platform.h"
#include "script/run_failures.h"
#include "script/script.h"

namespace {

bool g_init_done;

// Runs on each of the host's worker threads, possibly all at once; each
// stores the same thread count. The store is atomic, so the concurrent
// writes are no data race; the host returns from run_on_worker_threads only
// after every call ended, which orders the stores before the load below.
void StoreThreadCount(int32_t, int32_t thread_count, void* count, void*) {
    static_cast<std::atomic<int32_t>*>(count)->store(thread_count, std::memory_order_relaxed);
}

int32_t HostThreadCount(const FilterTable* filter) {
    const HostServices* services = filter->services;
    if (services == nullptr || services->run_on_worker_threads == nullptr) return 1;
    std::atomic<int32_t> count{1};
    services->run_on_worker_threads(StoreThreadCount, &count, nullptr);
    int32_t value = count.load(std::memory_order_relaxed);
    return value > 0 ? value : 1;
}

}  // namespace

int32_t FilterInit(FilterTable* filter) {
    if (g_init_done) return 1;
    parallel::SetThreadCount(HostThreadCount(filter));
    g_init_done = true;
    return 1;
}

int32_t FilterProcess(FilterTable* filter, FrameInfo* frame) {
    try {
        LoadScript(filter, frame);
        bool audio = IsAudioFilter(filter);
        if (audio) {
            if (!SetUpAudioBuffers(frame)) {
                platform::ShowOutOfMemoryMessage();
                return 0;
            }
        } else {
            SetUpImageBuffers(frame);
        }
        RunScript(filter, frame);
        int32_t shown = filter->track_values != nullptr ? filter->track_values[0] : 0;
        if (audio) {
            CopyDisplayedAudio(shown, frame);
        } else {
            CopyDisplayedImage(shown, frame);
        }
        return 1;
    } catch (...) {
        // Nothing may escape into the host.
        return 0;
    }
}

int32_t FilterExit(FilterTable* filter) {
    CloseVideoFiles(filter);
    ReleaseVideoCommandState();
    ReleaseBuffers();
    FreeScript();
    ClearRunFailures();
    // No worker of ours outlives the filter; the next loop starts them again.
    parallel::StopWorkers();
    return 1;
}
