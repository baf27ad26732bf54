// Speed of the host program on a 1080p 30 fps clip, in frames per second:
// `kinetra render` with an empty script and with a small script (copy and
// alpha), beside the ffmpeg command line decoding and encoding the same clip
// with the same codec settings; and reading frames of a clip through the
// media services, in order and at random.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "colour/colour.h"
#include "demo/demo.h"
#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "kinetra/plugin_abi.h"
#include "plugin/media_services.h"
#include "plugin/services.h"

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
    MediaServices media;
    MediaServices::Bind(&media);
    media.SetBufferSize(kWidth, kHeight);
    std::vector<PixelYC> buffer(size_t(kWidth) * kHeight);
    std::vector<int32_t> order(kFrames);
    for (int32_t i = 0; i < kFrames; ++i)
        order[i] = i;
    if (random) std::shuffle(order.begin(), order.end(), std::mt19937(7));
    SourceInfo info;
    void* handle = services.open_media_file(BenchClip().empty_source.c_str(), &info, 0);
    if (handle == nullptr) {
        state.SkipWithError("cannot open the clip");
        MediaServices::Bind(nullptr);
        return;
    }
    for (auto _ : state) {
        for (int32_t f : order)
            services.read_media_frame(handle, buffer.data(), f);
    }
    services.close_media_file(handle);
    MediaServices::Bind(nullptr);
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
// with the plain row loops, 0: swscale), threads, the format (an index into
// kColourFormats), the height (0 for 1080; 16 keeps the data in cache) and the
// content (0: inside the RGB cube, 1: mostly outside). The processor time with
// one thread is the kernels' cost.
const AVPixelFormat kColourFormats[] = {AV_PIX_FMT_YUV420P,     AV_PIX_FMT_NV12,
                                        AV_PIX_FMT_P010LE,      AV_PIX_FMT_YUV422P10LE,
                                        AV_PIX_FMT_YUV444P16LE, AV_PIX_FMT_YUV444P};

// Fills a frame: smooth colours inside the RGB cube (as most video is; Cb and
// Cr from the first pixel of each chroma sample's block), or a pattern whose
// pixels mostly lie outside it (as saturated colours nudged by coding do),
// where the conversions clamp.
void FillColourFrame(AVFrame* frame, bool outside) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    const int depth = d->comp[0].depth;
    const double kr = 0.2126, kb = 0.0722, unit = double(1 << (depth - 8));
    std::vector<uint16_t> row(frame->width);
    for (int c = 0; c < 3; ++c) {
        int sw = c == 0 ? 0 : d->log2_chroma_w, sh = c == 0 ? 0 : d->log2_chroma_h;
        int cw = AV_CEIL_RSHIFT(frame->width, sw), ch = AV_CEIL_RSHIFT(frame->height, sh);
        for (int y = 0; y < ch; ++y) {
            for (int x = 0; x < cw; ++x) {
                int px = x << sw, py = y << sh;
                double v;
                if (outside) {
                    v = (16 + (px * 7 + py * 3) % 220) * unit;
                } else {
                    double r = 0.1 + 0.8 * px / frame->width;
                    double g = 0.1 + 0.8 * py / frame->height;
                    double b = 0.5 + 0.3 * std::sin(px / 50.0 + py / 70.0);
                    double l = kr * r + (1 - kr - kb) * g + kb * b;
                    double e = c == 0 ? 219 * l
                                      : 224 * (c == 1 ? (b - l) / (2 * (1 - kb))
                                                      : (r - l) / (2 * (1 - kr)));
                    v = ((c == 0 ? 16 : 128) + e) * unit;
                }
                row[x] = uint16_t(std::lround(v));
            }
            av_write_image_line2(row.data(), frame->data, frame->linesize, d, 0, y, c, cw, 2);
        }
    }
}

void ConvertColour(benchmark::State& state, bool to_yc) {
    int64_t path = state.range(0);
    bool direct = path != 0;
    int32_t threads = int32_t(state.range(1));
    AVPixelFormat format = kColourFormats[state.range(2)];
    const int32_t height = state.range(3) > 0 ? int32_t(state.range(3)) : kHeight;
    FramePtr frame(av_frame_alloc());
    frame->format = format;
    frame->width = kWidth;
    frame->height = height;
    frame->colorspace = AVCOL_SPC_BT709;
    frame->color_range = AVCOL_RANGE_MPEG;
    if (av_frame_get_buffer(frame.get(), 0) < 0) std::abort();
    // av_write_image_line2 ors its bits into the samples.
    for (int i = 0; i < AV_NUM_DATA_POINTERS && frame->buf[i] != nullptr; ++i)
        std::memset(frame->buf[i]->data, 0, frame->buf[i]->size);
    FillColourFrame(frame.get(), state.range(4) == 1);
    std::vector<PixelYC> picture(size_t(kWidth) * height), second(picture.size());
    PixelYC* const pictures[2] = {picture.data(), second.data()};
    ToYCConverter in(threads);
    FromYCConverter out(threads);
    in.set_direct(direct);
    out.set_direct(direct);
    in.set_simd(path == 1);
    out.set_simd(path == 1);
    out.Open(kWidth, height, format, ColourSpec{AVCOL_SPC_BT709, AVCOL_RANGE_MPEG});
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
    for (int64_t content : {0, 1}) {
        for (int64_t format = 0; format < 6; ++format) {
            for (int64_t path : {1, 2})
                b->Args({path, 1, format, 0, content});
        }
        b->Args({1, 1, 0, 16, content});
    }
    b->Args({1, 2, 0, 0, 0});
    b->Args({0, 1, 0, 0, 0});
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
