// The image effects on a 1920 x 1080 frame: one command line per iteration,
// called as the executor calls it, with one worker per core.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <initializer_list>
#include <vector>

#include "common/simd.h"
#include "host/buffers.h"
#include "script/script.h"
#include "video/video_commands.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

using Handler = void (*)(int32_t, FilterTable*, FrameInfo*);

// A frame (buffers 0 and 1 with a varied picture) and a one-line script
// whose argument values the benchmark sets.
struct Bench {
    std::vector<PixelYC> edit, temp;
    FrameInfo frame{};
    double values[kScriptArgCount] = {};

    Bench() : edit(size_t(kWidth) * kHeight), temp(edit.size()) {
        for (int32_t y = 0; y < kHeight; ++y) {
            for (int32_t x = 0; x < kWidth; ++x) {
                edit[size_t(y) * kWidth + x] = PixelYC{int16_t((x * 7 + y * 3) % 4097),
                                                       int16_t((x - y) % 2048), int16_t(y % 1024)};
            }
        }
        temp = edit;
        frame.edit_pixels = edit.data();
        frame.temp_pixels = temp.data();
        frame.width = frame.max_w = kWidth;
        frame.height = frame.max_h = kHeight;
        frame.frame_count = 1;
        SetUpImageBuffers(&frame);
        g_script.lines = static_cast<ScriptLine*>(std::calloc(1, sizeof(ScriptLine)));
        g_script.lines[0].values = values;
        g_script.count = 1;
    }
    ~Bench() {
        ReleaseBuffers();
        std::free(g_script.lines);
        g_script.lines = nullptr;
        g_script.count = 0;
    }

    void Run(benchmark::State& state, Handler handler, std::initializer_list<double> values) {
        int k = 0;
        for (double v : values) {
            g_script.lines[0].values[k++] = v;
        }
        for (auto _ : state) {
            handler(0, nullptr, &frame);
            benchmark::ClobberMemory();
        }
        state.SetItemsProcessed(state.iterations() * int64_t(kWidth) * kHeight);
    }
};

void BM_ResizeDownByHalf(benchmark::State& state) {
    Bench().Run(state, cmd_resize, {1, 2, 0, 0, kWidth, kHeight, 0, 0, kWidth / 2, kHeight / 2});
}
BENCHMARK(BM_ResizeDownByHalf)->Unit(benchmark::kMillisecond);

void BM_ResizeUpByTwo(benchmark::State& state) {
    Bench().Run(state, cmd_resize, {1, 2, 0, 0, kWidth / 2, kHeight / 2, 0, 0, kWidth, kHeight});
}
BENCHMARK(BM_ResizeUpByTwo)->Unit(benchmark::kMillisecond);

void BM_Rotate(benchmark::State& state) {
    Bench().Run(state, cmd_rotate, {1, 2, 0.3, 0, 0, kWidth, kHeight, 0, 0});
}
BENCHMARK(BM_Rotate)->Unit(benchmark::kMillisecond);

void BM_Mosaic16(benchmark::State& state) {
    Bench().Run(state, cmd_mosaic, {1, 2, 0, 0, kWidth, kHeight, 0, 0, 16, 16});
}
BENCHMARK(BM_Mosaic16)->Unit(benchmark::kMillisecond);

// The argument is the widest build allowed (0 portable, 1 AVX2, 2 AVX-512),
// where the processor has it.
void BM_DefocusRadius10(benchmark::State& state) {
    simd::AllowUpTo(simd::Width(state.range(0)));
    Bench().Run(state, cmd_defocus, {1, 2, 0, 0, kWidth, kHeight, 0, 0, 10});
    simd::AllowUpTo(simd::Width::kAvx512);
}
BENCHMARK(BM_DefocusRadius10)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The argument is the widest build allowed (0 portable, 1 AVX2), as for
// defocus; alpha has no AVX-512 build.
void BM_AlphaHalf(benchmark::State& state) {
    simd::AllowUpTo(simd::Width(state.range(0)));
    Bench().Run(state, cmd_alpha, {1, 0, 0, 0, kWidth, kHeight, 0, 0, 0.5});
    simd::AllowUpTo(simd::Width::kAvx512);
}
BENCHMARK(BM_AlphaHalf)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// Same values every iteration: the tables are built once, then looked up.
void BM_Gamma(benchmark::State& state) {
    Bench().Run(state, cmd_gamma, {0, 0, 0, kWidth, kHeight, 1.8, 1.2, 0.9});
}
BENCHMARK(BM_Gamma)->Unit(benchmark::kMillisecond);

void BM_PosterizeRGB(benchmark::State& state) {
    Bench().Run(state, cmd_posterize_rgb, {0, 0, 0, kWidth, kHeight, 4, 5, 6});
}
BENCHMARK(BM_PosterizeRGB)->Unit(benchmark::kMillisecond);

void BM_EllipseRadius400(benchmark::State& state) {
    Bench().Run(state, cmd_ellipse, {2, kWidth / 2, kHeight / 2, 400, 400, 3000, 100, -100});
}
BENCHMARK(BM_EllipseRadius400)->Unit(benchmark::kMillisecond);

}  // namespace
