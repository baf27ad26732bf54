// Cost of one text line: a 64-pixel line of 40 characters drawn into a
// 1920x1080 buffer, with and without an outline (font selection, glyph
// rendering, the outline shape and the composite).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/buffers.h"
#include "script/script.h"
#include "support/hand_line.h"
#include "video/video_commands.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
const char kFace[] = "\x82\x6c\x82\x72\x20\x83\x53\x83\x56\x83\x62\x83\x4e";  // ＭＳ ゴシック
const char kFortyCharacters[] = "Kinetra 0123456789 ABCDEFGHIJ abcdefghij";

void DrawLine(benchmark::State& state, int32_t outline_width) {
    std::vector<PixelYC> image(size_t(kWidth) * kHeight, PixelYC{2048, 0, 0});
    FrameInfo frame = {};
    frame.edit_pixels = image.data();
    frame.temp_pixels = image.data();
    frame.width = frame.max_w = kWidth;
    frame.height = frame.max_h = kHeight;
    SetUpImageBuffers(&frame);

    HandLine font, text;
    font.Set("font2", {kFace}, {0, 64, 0, 0, 0, double(outline_width), 4096, 0, 0, 0, 0, 0});
    text.Set("text", {"", "", "", "", kFortyCharacters}, {0, 960, 500, 1});
    ScriptLine lines[2] = {font.line, text.line};
    g_script.lines = lines;
    g_script.count = 2;
    cmd_font2(0, nullptr, &frame);
    for (auto _ : state) {
        cmd_text(1, nullptr, &frame);
        benchmark::DoNotOptimize(image.data());
    }
    ReleaseTextCanvas();
    g_script.lines = nullptr;
    g_script.count = 0;
}

void BM_TextLineWithOutline(benchmark::State& state) {
    DrawLine(state, 4);
}
BENCHMARK(BM_TextLineWithOutline)->Unit(benchmark::kMillisecond);

void BM_TextLinePlain(benchmark::State& state) {
    DrawLine(state, 0);
}
BENCHMARK(BM_TextLinePlain)->Unit(benchmark::kMillisecond);

}  // namespace
