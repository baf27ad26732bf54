// Times the plug-in's video filter on one frame, as the host calls it: the
// frame of a clip is copied into the two working buffers (not timed), then
// the filter runs on them with the script next to the clip. Prints the median
// milliseconds of a call over the runs, the median of a plain memcpy of one
// frame's bytes beside it, and the median processor time of a call (every
// thread of the process), for bench/compare.sh.
//
//   command_time PLUGIN CLIP RUNS THREADS
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "plugin/plugin_loader.h"
#include "source/project.h"
#include "plugin/services.h"

namespace {

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

double Milliseconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
        .count();
}

// Processor time of the whole process, all threads, in milliseconds.
double ProcessMilliseconds() {
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: command_time PLUGIN CLIP RUNS THREADS\n");
        return 2;
    }
    QuietFfmpegLog();
    int runs = std::max(1, std::atoi(argv[3]));
    SetHostThreadCount(std::atoi(argv[4]));
    LoadedPlugin plugin;
    Project project;
    std::string error;
    if (!LoadPlugin(argv[1], &plugin, &error) || !project.Open(argv[2], &error)) {
        std::fprintf(stderr, "command_time: %s\n", error.c_str());
        return 1;
    }
    HostServices services;
    FillHostServices(&services);
    BindProject(&project);
    int32_t tracks[KINETRA_TRACK_COUNT] = {0};
    InitPlugin(&plugin, tracks, &services);

    int32_t w = project.width(), h = project.height();
    size_t pixels = size_t(w) * h;
    std::vector<PixelYC> source(project.Frame(0), project.Frame(0) + pixels);
    std::vector<PixelYC> edit(pixels), temp(pixels);
    std::vector<double> calls, copies, processor;
    for (int run = 0; run <= runs; ++run) {
        std::copy(source.begin(), source.end(), edit.begin());
        std::copy(source.begin(), source.end(), temp.begin());
        FrameInfo info;
        std::memset(&info, 0, sizeof info);
        info.edit_pixels = edit.data();
        info.temp_pixels = temp.data();
        info.width = info.max_w = w;
        info.height = info.max_h = h;
        info.frame = 1;  // a frame with one before it
        info.frame_count = project.frame_count();
        info.edit_handle = &project;
        const double cpu_start = ProcessMilliseconds();
        auto start = std::chrono::steady_clock::now();
        plugin.video->process(plugin.video, &info);
        double ms = Milliseconds(start);
        const double cpu_ms = ProcessMilliseconds() - cpu_start;
        if (run > 0) {  // the first call loads the script
            calls.push_back(ms);
            processor.push_back(cpu_ms);
        }
        start = std::chrono::steady_clock::now();
        std::memcpy(temp.data(), edit.data(), pixels * sizeof(PixelYC));
        copies.push_back(Milliseconds(start));
    }
    std::printf("call_ms %.3f memcpy_ms %.3f cpu_ms %.3f\n", Median(calls), Median(copies),
                Median(processor));
    UnloadPlugin(&plugin);
    BindProject(nullptr);
    return 0;
}
