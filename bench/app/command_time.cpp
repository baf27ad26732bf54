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
#include "plugin/filter_runner.h"

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
    FilterRunner runner;
    std::string error;
    if (!runner.LoadPlugin(argv[1], &error) || !runner.OpenSource(argv[2], &error)) {
        std::fprintf(stderr, "command_time: %s\n", error.c_str());
        return 1;
    }
    // The sliders at the plug-in's defaults, as render starts them.
    RunSetup setup;
    setup.sliders = runner.Sliders().defaults;
    runner.Start(setup);

    const size_t bytes = size_t(runner.max_w()) * runner.max_h() * sizeof(PixelYC);
    std::vector<PixelYC> from(bytes / sizeof(PixelYC)), to(from.size());
    std::vector<double> calls, copies, processor;
    for (int run = 0; run <= runs; ++run) {
        runner.PrepareVideo(1);  // a frame with one before it
        FilterImage image;
        const double cpu_start = ProcessMilliseconds();
        auto start = std::chrono::steady_clock::now();
        runner.CallVideo(1, &image);
        double ms = Milliseconds(start);
        const double cpu_ms = ProcessMilliseconds() - cpu_start;
        if (run > 0) {  // the first call loads the script
            calls.push_back(ms);
            processor.push_back(cpu_ms);
        }
        start = std::chrono::steady_clock::now();
        std::memcpy(to.data(), from.data(), bytes);
        copies.push_back(Milliseconds(start));
    }
    std::printf("call_ms %.3f memcpy_ms %.3f cpu_ms %.3f\n", Median(calls), Median(copies),
                Median(processor));
    return 0;
}
