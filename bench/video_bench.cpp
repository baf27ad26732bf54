// Full-frame (1920x1080) compositing commands in ms per call, each beside the
// time that the memory traffic alone needs: the bytes the command must read
// and write, divided by the copy bandwidth measured here with memcpy over the
// same worker threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "common/parallel.h"
#include "host/buffers.h"
#include "script/script.h"
#include "video/video_commands.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr size_t kFrameBytes = size_t(kWidth) * kHeight * sizeof(PixelYC);

typedef void (*Handler)(int32_t, FilterTable*, FrameInfo*);

// One video call with buffers 0..3 holding a varied picture and a script of
// one line whose values each benchmark sets.
struct BenchCall {
    std::vector<PixelYC> edit, temp;
    FrameInfo info;
    ScriptLine* line;
    double values[kScriptArgCount] = {};

    BenchCall() : edit(size_t(kWidth) * kHeight), temp(edit.size()) {
        std::memset(&info, 0, sizeof info);
        info.edit_pixels = edit.data();
        info.temp_pixels = temp.data();
        info.width = info.max_w = kWidth;
        info.height = info.max_h = kHeight;
        SetUpImageBuffers(&info);
        line = static_cast<ScriptLine*>(std::calloc(1, sizeof(ScriptLine)));
        line->values = values;
        g_script.lines = line;
        g_script.count = 1;
        for (int32_t b = 0; b < 4; ++b) {
            PixelYC* p = AcquireImageBuffer(b);
            for (size_t i = 0; i < edit.size(); ++i) {
                p[i] = {int16_t((i * 7 + b * 1000) % 4097), int16_t(int(i % 1001) - 500),
                        int16_t(int(i % 777) - 388)};
            }
        }
    }
    ~BenchCall() {
        g_script.lines = nullptr;
        g_script.count = 0;
        std::free(line);
        ReleaseBuffers();
    }
    void SetValues(std::initializer_list<double> values) {
        int k = 0;
        for (double v : values)
            line->values[k++] = v;
    }
};

// Copies `rows` rows of kWidth pixels with memcpy, rows split over the worker
// threads as the commands split theirs.
void CopyRows(const PixelYC* from, PixelYC* to, int32_t rows) {
    parallel::ParallelFor(0, rows, kWidth, [&](int32_t y) {
        std::memcpy(to + size_t(y) * kWidth, from + size_t(y) * kWidth, kWidth * sizeof(PixelYC));
    });
}

// The machine's copy bandwidth, bytes read plus bytes written per second:
// the median of rounds of an eight-frame (100 MB) memcpy, too large for the
// caches, measured once. Frame-sized commands whose data partly stays in a
// large cache can come in under the bound.
double CopyBandwidth() {
    static double bandwidth = [] {
        constexpr int32_t kRows = 8 * kHeight;
        std::vector<PixelYC> from(size_t(kWidth) * kRows, PixelYC{1, 2, 3});
        std::vector<PixelYC> to(from.size());
        std::vector<double> seconds;
        for (int round = 0; round < 15; ++round) {
            auto start = std::chrono::steady_clock::now();
            CopyRows(from.data(), to.data(), kRows);
            std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            seconds.push_back(took.count());
        }
        benchmark::DoNotOptimize(to.data());
        std::sort(seconds.begin(), seconds.end());
        return 2.0 * 8 * kFrameBytes / seconds[seconds.size() / 2];
    }();
    return bandwidth;
}

// Runs the handler per iteration; `frames_moved` is the number of whole
// frames it reads or writes.
void RunCommand(benchmark::State& state, Handler handler, std::initializer_list<double> values,
                int frames_moved) {
    BenchCall call;
    call.SetValues(values);
    for (auto _ : state) {
        handler(0, nullptr, &call.info);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * frames_moved * int64_t(kFrameBytes));
    state.counters["bound_ms"] = 1e3 * frames_moved * kFrameBytes / CopyBandwidth();
}

void BM_MemcpyFrame(benchmark::State& state) {
    std::vector<PixelYC> from(size_t(kWidth) * kHeight, PixelYC{1, 2, 3});
    std::vector<PixelYC> to(from.size());
    for (auto _ : state) {
        CopyRows(from.data(), to.data(), kHeight);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 2 * int64_t(kFrameBytes));
    state.counters["bound_ms"] = 1e3 * 2 * kFrameBytes / CopyBandwidth();
}

// copy(2, 3, 0, 0, W, H, 0, 0): read the source, write the destination.
void BM_Copy(benchmark::State& state) {
    RunCommand(state, cmd_copy, {2, 3, 0, 0, kWidth, kHeight, 0, 0}, 2);
}
// alpha(2, 3, ..., 0.5): read source and destination, write the destination.
void BM_Alpha(benchmark::State& state) {
    RunCommand(state, cmd_alpha, {2, 3, 0, 0, kWidth, kHeight, 0, 0, 0.5}, 3);
}
// alpha4(2, 3, 1, ...): and the mask.
void BM_Alpha4(benchmark::State& state) {
    RunCommand(state, cmd_alpha4, {2, 3, 1, 0, 0, kWidth, kHeight, 0, 0, 0, 0}, 4);
}
// mkmask_rgb(2, 3, ...): read the source, write the mask.
void BM_MkmaskRGB(benchmark::State& state) {
    RunCommand(state, cmd_mkmask_rgb,
               {2, 3, 0, 0, kWidth, kHeight, 0, 0, 1000, 0, 0, 4096, 2000, 2000, 4096, 0}, 2);
}
// color_rgb(2, ...): read and write the buffer in place. Gains 1 and offsets
// 0 keep the picture from drifting over the iterations.
void BM_ColorRGB(benchmark::State& state) {
    RunCommand(state, cmd_color_rgb, {2, 0, 0, kWidth, kHeight, 1, 1, 1, 0, 0, 0}, 2);
}
// flipv(2, 3, ...): read the source, write the destination.
void BM_Flipv(benchmark::State& state) {
    RunCommand(state, cmd_flipv, {2, 3, 0, 0, kWidth, kHeight, 0, 0}, 2);
}

}  // namespace

BENCHMARK(BM_MemcpyFrame)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Copy)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Alpha)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Alpha4)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MkmaskRGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColorRGB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Flipv)->Unit(benchmark::kMillisecond)->UseRealTime();
