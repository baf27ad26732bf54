// Speed of the host program on a 1080p 30 fps clip, in frames per second:
// `kinetra render` with an empty script and with a small script (copy and
// alpha), beside the ffmpeg command line decoding and encoding the same clip
// with the same codec settings; and reading frames of a clip through the
// media services, in order and at random.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "colour.h"
#include "demo.h"
#include "ffmpeg_util.h"
#include "host_threads.h"
#include "kinetra/plugin_abi.h"
#include "media_services.h"
#include "services.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kFrames = 60;
// The codec settings both renders use.
const char* const kPreset = "veryfast";
constexpr int kCrf = 20;

struct Clip {
    std::string root;
    std::string empty_source;   // next to an empty kinetra.txt
    std::string script_source;  // next to a copy and alpha script
};

bool g_clip_made = false;

const Clip& BenchClip() {
    static Clip clip = [] {
        g_clip_made = true;
        Clip c;
        char pattern[] = "/tmp/kinetra-bench-XXXXXX";
        c.root = mkdtemp(pattern);
        std::string empty = c.root + "/empty", script = c.root + "/script";
        std::string make = "mkdir -p '" + empty + "' '" + script + "'";
        if (std::system(make.c_str()) != 0) std::abort();
        c.empty_source = empty + "/source.mp4";
        c.script_source = script + "/source.mp4";
        std::string error;
        if (!WriteDemoSource(c.empty_source, kWidth, kHeight, kFrames, &error)) {
            std::fprintf(stderr, "cannot write the benchmark clip: %s\n", error.c_str());
            std::abort();
        }
        std::string copy = "cp '" + c.empty_source + "' '" + c.script_source + "'";
        if (std::system(copy.c_str()) != 0) std::abort();
        std::ofstream(empty + "/kinetra.txt") << "";
        std::ofstream(script + "/kinetra.txt") << "copy(0, 2, 0, 0, w, h, 0, 0)\n"
                                                  "alpha(2, 0, 0, 0, w/2, h/2, w/4, h/4, 0.5)\n";
        return c;
    }();
    return clip;
}

void RunCommand(benchmark::State& state, const std::string& command) {
    for (auto _ : state) {
        if (std::system(command.c_str()) != 0) {
            state.SkipWithError(("failed: " + command).c_str());
            return;
        }
    }
    state.counters["fps"] =
        benchmark::Counter(double(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}

std::string RenderCommand(const std::string& source) {
    return std::string("'") + KINETRA_APP_PATH + "' render '" + source + "' -o '" +
           BenchClip().root + "/out.mp4' -y --quiet --preset " + kPreset + " --crf " +
           std::to_string(kCrf) + " --plugin '" + KINETRA_PLUGIN_PATH + "'";
}

void BM_RenderEmptyScript(benchmark::State& state) {
    RunCommand(state, RenderCommand(BenchClip().empty_source));
}

void BM_RenderCopyAlphaScript(benchmark::State& state) {
    RunCommand(state, RenderCommand(BenchClip().script_source));
}

void BM_FfmpegTranscode(benchmark::State& state) {
    RunCommand(state, "ffmpeg -nostdin -y -v error -i '" + BenchClip().empty_source +
                          "' -c:v libx264 -preset " + kPreset + " -crf " + std::to_string(kCrf) +
                          " -pix_fmt yuv420p -c:a aac -b:a 192k '" + BenchClip().root +
                          "/ffmpeg.mp4'");
}

// Frames of the 1080p clip through read_media_frame, in order and at random.
void ReadMediaFrames(benchmark::State& state, bool random) {
    HostServices services;
    FillHostServices(&services);
    SetMediaBufferSize(kWidth, kHeight);
    std::vector<PixelYC> buffer(size_t(kWidth) * kHeight);
    std::vector<int32_t> order(kFrames);
    for (int32_t i = 0; i < kFrames; ++i)
        order[i] = i;
    if (random) std::shuffle(order.begin(), order.end(), std::mt19937(7));
    SourceInfo info;
    void* handle = services.open_media_file(BenchClip().empty_source.c_str(), &info, 0);
    if (handle == nullptr) {
        state.SkipWithError("cannot open the clip");
        return;
    }
    for (auto _ : state) {
        for (int32_t f : order)
            services.read_media_frame(handle, buffer.data(), f);
    }
    services.close_media_file(handle);
    state.counters["fps"] =
        benchmark::Counter(double(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
}

void BM_MediaReadSequential(benchmark::State& state) {
    ReadMediaFrames(state, false);
}
void BM_MediaReadRandom(benchmark::State& state) {
    ReadMediaFrames(state, true);
}

// One 1080p picture to YC (into two pictures, as a render fills its edit and
// temp buffers) and back. Arguments: path (1: the one-pass path, 2: the same
// with the plain row loops, 0: swscale), threads, and the format (an index into
// kColourFormats). The processor time with one thread is the kernels' cost.
const AVPixelFormat kColourFormats[] = {AV_PIX_FMT_YUV420P,     AV_PIX_FMT_NV12,
                                        AV_PIX_FMT_P010LE,      AV_PIX_FMT_YUV422P10LE,
                                        AV_PIX_FMT_YUV444P16LE, AV_PIX_FMT_YUV444P};

void ConvertColour(benchmark::State& state, bool to_yc) {
    int64_t path = state.range(0);
    bool direct = path != 0;
    int32_t threads = int32_t(state.range(1));
    AVPixelFormat format = kColourFormats[state.range(2)];
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = kWidth;
    frame->height = kHeight;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(frame.get(), 0) < 0) std::abort();
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    int bytes = d->comp[0].depth > 8 ? 2 : 1;
    for (int p = 0; p < 4 && frame->data[p] != nullptr; ++p) {
        int rows = p == 0 ? kHeight : AV_CEIL_RSHIFT(kHeight, d->log2_chroma_h);
        for (int y = 0; y < rows; ++y) {
            uint8_t* row = frame->data[p] + y * frame->linesize[p];
            for (int x = 0; x < frame->linesize[p] / bytes; ++x) {
                int v = 16 + (x * 7 + y * 3) % 220;
                if (bytes == 1) {
                    row[x] = uint8_t(v);
                } else {
                    uint16_t w = uint16_t(v << (d->comp[0].depth - 8 + d->comp[0].shift));
                    std::memcpy(row + 2 * x, &w, 2);
                }
            }
        }
    }
    std::vector<PixelYC> picture(size_t(kWidth) * kHeight), second(picture.size());
    PixelYC* const pictures[2] = {picture.data(), second.data()};
    ToYCConverter in(threads);
    FromYCConverter out(threads);
    in.set_direct(direct);
    out.set_direct(direct);
    in.set_simd(path == 1);
    out.set_simd(path == 1);
    out.Open(kWidth, kHeight, format, ColourSpec{AVCOL_SPC_BT709, AVCOL_RANGE_MPEG});
    in.Convert(frame.get(), pictures, 2, kWidth);
    for (auto _ : state) {
        if (to_yc) {
            in.Convert(frame.get(), pictures, 2, kWidth);
        } else {
            out.Convert(picture.data(), kWidth, frame.get());
        }
    }
    state.counters["fps"] =
        benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}

void BM_ColourToYC(benchmark::State& state) {
    ConvertColour(state, true);
}
void BM_ColourFromYC(benchmark::State& state) {
    ConvertColour(state, false);
}
void ColourArgs(benchmark::internal::Benchmark* b) {
    for (int64_t format = 0; format < 6; ++format) {
        for (int64_t path : {1, 2}) {
            b->Args({path, 1, format});
        }
    }
    b->Args({1, 2, 0});
    b->Args({0, 1, 0});
}
BENCHMARK(BM_ColourToYC)->Apply(ColourArgs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ColourFromYC)->Apply(ColourArgs)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_MediaReadSequential)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_MediaReadRandom)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(1);
BENCHMARK(BM_RenderEmptyScript)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_RenderCopyAlphaScript)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);
BENCHMARK(BM_FfmpegTranscode)->Unit(benchmark::kSecond)->UseRealTime()->Iterations(2);

}  // namespace

int main(int argc, char** argv) {
    QuietFfmpegLog();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (!g_clip_made) return 0;
    std::string clean = "rm -rf '" + BenchClip().root + "'";
    return std::system(clean.c_str()) == 0 ? 0 : 1;
}
