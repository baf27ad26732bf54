#include "demo/demo.h"

#include <sys/stat.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "base/ffmpeg_util.h"
#include "base/host_threads.h"
#include "output/output_file.h"
#include "base/paths.h"
#include "plugin/plugin_loader.h"
#include "render/render.h"
#include "script/loader.h"
#include "common/yc_rgb.h"
#include "base/worker_pool.h"

namespace {

constexpr int32_t kDemoWidth = 1280;
constexpr int32_t kDemoHeight = 720;
constexpr int32_t kDemoFrames = 90;  // three seconds at 30 fps
constexpr int32_t kDemoRate = 48000;
constexpr int32_t kDemoFps = 30;
constexpr double kToneHz = 440.0;
constexpr double kToneLevel = 0.3;

// The contact sheet: these output frames, a third of their size, three a row.
constexpr int32_t kSheetFrames[] = {5, 20, 40, 55, 70, 85};
constexpr int32_t kSheetColumns = 3;
constexpr int32_t kSheetShrink = 3;
constexpr int32_t kSheetGap = 8;

bool MakeDirectory(const std::string& path, std::string* error) {
    std::string partial;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        partial = path.substr(0, slash);
        if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
            *error = std::strerror(errno);
            return false;
        }
        start = slash + 1;
    }
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        *error = "not a directory";
        return false;
    }
    return true;
}

PixelYC Rgb(int32_t r, int32_t g, int32_t b) {
    return RGBToYC(r, g, b);
}

// A third-size copy of `frame` (box average) drawn into `sheet` at (x0, y0).
void DrawThumbnail(const PixelYC* frame, int32_t width, int32_t height, int32_t stride,
                   PictureYC* sheet, int32_t x0, int32_t y0) {
    int32_t tw = width / kSheetShrink, th = height / kSheetShrink;
    for (int32_t ty = 0; ty < th; ++ty) {
        for (int32_t tx = 0; tx < tw; ++tx) {
            int32_t sum[3] = {0, 0, 0};
            for (int32_t dy = 0; dy < kSheetShrink; ++dy) {
                for (int32_t dx = 0; dx < kSheetShrink; ++dx) {
                    const PixelYC& p =
                        frame[size_t(ty * kSheetShrink + dy) * stride + tx * kSheetShrink + dx];
                    sum[0] += p.y;
                    sum[1] += p.cb;
                    sum[2] += p.cr;
                }
            }
            int32_t n = kSheetShrink * kSheetShrink;
            int32_t x = x0 + tx, y = y0 + ty;
            if (x >= sheet->width || y >= sheet->height) continue;
            sheet->pixels[size_t(y) * sheet->width + x] =
                PixelYC{int16_t(sum[0] / n), int16_t(sum[1] / n), int16_t(sum[2] / n)};
        }
    }
}

}  // namespace

void DrawDemoFrame(int32_t f, PictureYC* picture, WorkerPool* pool) {
    int32_t w = picture->width, h = picture->height;
    double t = f / double(kDemoFps);
    // A red ball bouncing, a green square crossing, a yellow bar sweeping.
    double ball_x = w * (0.2 + 0.6 * std::fabs(std::sin(t * 1.3)));
    double ball_y = h * (0.75 - 0.45 * std::fabs(std::sin(t * 3.1)));
    double ball_r = h * 0.09;
    int32_t square = h / 5;
    int32_t square_x = int32_t((w - square) * std::fmod(t / 3.0, 1.0));
    int32_t square_y = h / 8;
    int32_t bar_x = int32_t(w * (0.5 + 0.4 * std::sin(t * 2.0)));
    const PixelYC red = Rgb(3900, 300, 250);
    const PixelYC green = Rgb(300, 3500, 600);
    const PixelYC yellow = Rgb(3900, 3600, 300);
    auto draw_rows = [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            PixelYC* row = &picture->pixels[size_t(y) * w];
            for (int32_t x = 0; x < w; ++x) {
                // A diagonal gradient from dark blue to teal, with faint stripes.
                int32_t stripe = ((x + y + f * 4) / 40) % 2 == 0 ? 120 : 0;
                PixelYC p = Rgb(200 + stripe, 400 + 2000 * y / h + stripe, 1400 + 1800 * x / w);
                double dx = x - ball_x, dy = y - ball_y;
                if (x >= bar_x && x < bar_x + 24) p = yellow;
                if (x >= square_x && x < square_x + square && y >= square_y &&
                    y < square_y + square) {
                    p = green;
                }
                if (dx * dx + dy * dy <= ball_r * ball_r) p = red;
                row[x] = p;
            }
        }
    };
    if (pool != nullptr) {
        pool->Run(h, 1, draw_rows);
    } else {
        draw_rows(0, 0, h);
    }
}

bool WriteDemoSource(const std::string& path, int32_t width, int32_t height, int32_t frames,
                     std::string* error) {
    OutputFile out;
    EncodeSettings settings;
    settings.preset = "veryfast";
    settings.crf = 16;
    if (!out.Create(path, settings, error)) return false;
    ColourSpec colour{AVCOL_SPC_BT709, AVCOL_RANGE_MPEG};
    if (!out.Start(width, height, AVRational{kDemoFps, 1}, colour, AV_PIX_FMT_YUV420P, kDemoRate, 2,
                   error)) {
        return false;
    }
    PictureYC picture;
    picture.Resize(width, height);
    std::vector<int16_t> samples;
    int64_t sample = 0;
    WorkerPool pool(HostThreadCount());
    for (int32_t f = 0; f < frames; ++f) {
        DrawDemoFrame(f, &picture, &pool);
        if (!out.WriteVideo(picture.pixels.data(), width, error)) return false;
        int64_t end = int64_t(f + 1) * kDemoRate / kDemoFps;
        samples.clear();
        for (; sample < end; ++sample) {
            double v = std::sin(2.0 * M_PI * kToneHz * sample / kDemoRate) * kToneLevel * 32767.0;
            samples.push_back(int16_t(v));
            samples.push_back(int16_t(v));
        }
        if (!out.WriteAudio(samples.data(), int32_t(samples.size() / 2), error)) return false;
    }
    return out.Finish(error);
}

bool WritePicturePng(const std::string& path, const PictureYC& picture, std::string* error) {
    OutputFile out;
    EncodeSettings settings;
    settings.audio = false;
    if (!out.Create(path, settings, error)) return false;
    if (!out.Start(picture.width, picture.height, AVRational{1, 1}, ColourSpec{}, AV_PIX_FMT_RGB24,
                   0, 0, error)) {
        return false;
    }
    if (!out.WriteVideo(picture.pixels.data(), picture.width, error)) return false;
    return out.Finish(error);
}

int RunDemo(const DemoOptions& options) {
    QuietFfmpegLog();
    SetHostThreadCount(options.threads > 0 ? options.threads : HostThreadCount());
    std::string dir = AbsolutePath(options.directory);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::string error;
    if (!MakeDirectory(dir, &error)) {
        std::fprintf(stderr, "kinetra: %s: %s\n", options.directory.c_str(), error.c_str());
        return kExitFailure;
    }
    std::string source = dir + "/source.mp4";
    std::string script = dir + "/" + kScriptFileName;
    std::string output = dir + "/output.mp4";
    std::string sheet_path = dir + "/contact-sheet.png";

    if (!options.quiet) std::fprintf(stderr, "kinetra: writing the demo source clip\n");
    if (!WriteDemoSource(source, kDemoWidth, kDemoHeight, kDemoFrames, &error)) {
        std::fprintf(stderr, "kinetra: %s: %s\n", source.c_str(), error.c_str());
        return kExitFailure;
    }
    {
        std::ofstream out(script, std::ios::binary | std::ios::trunc);
        out << kDemoScript;
        if (!out) {
            std::fprintf(stderr, "kinetra: %s: cannot write\n", script.c_str());
            return kExitFailure;
        }
    }

    const int32_t sheet_count = int32_t(sizeof kSheetFrames / sizeof kSheetFrames[0]);
    const int32_t rows = (sheet_count + kSheetColumns - 1) / kSheetColumns;
    const int32_t tw = kDemoWidth / kSheetShrink, th = kDemoHeight / kSheetShrink;
    PictureYC sheet;
    sheet.Resize(kSheetColumns * (tw + kSheetGap) + kSheetGap, rows * (th + kSheetGap) + kSheetGap);
    for (PixelYC& p : sheet.pixels)
        p = PixelYC{1600, 0, 0};

    RenderSettings render;
    render.source = source;
    render.output = output;
    render.quiet = options.quiet;
    render.threads = options.threads;
    render.plugin = options.plugin;
    render.encode.preset = "veryfast";
    render.overwrite = Overwrite::kYes;  // the demo folder's own files
    render.observer = [&](int32_t frame, const PixelYC* pixels, int32_t w, int32_t h,
                          int32_t stride) {
        for (int32_t i = 0; i < sheet_count; ++i) {
            if (kSheetFrames[i] != frame) continue;
            int32_t x0 = kSheetGap + (i % kSheetColumns) * (tw + kSheetGap);
            int32_t y0 = kSheetGap + (i / kSheetColumns) * (th + kSheetGap);
            DrawThumbnail(pixels, w, h, stride, &sheet, x0, y0);
        }
        return true;
    };
    if (!options.quiet) std::fprintf(stderr, "kinetra: rendering the demo script\n");
    int status = RunRender(render);
    if (status != kExitOk) return status;
    if (!WritePicturePng(sheet_path, sheet, &error)) {
        std::fprintf(stderr, "kinetra: %s: %s\n", sheet_path.c_str(), error.c_str());
        return kExitFailure;
    }
    std::printf("Demo written to %s/\n", dir.c_str());
    std::printf(
        "  source.mp4         the synthetic source (3 s, 1280x720, 30 fps, a 440 Hz tone)\n");
    std::printf("  kinetra.txt        the script that was applied\n");
    std::printf("  output.mp4         the rendered result\n");
    std::printf("  contact-sheet.png  frames %d %d %d %d %d %d of the result\n", kSheetFrames[0],
                kSheetFrames[1], kSheetFrames[2], kSheetFrames[3], kSheetFrames[4],
                kSheetFrames[5]);
    std::string program = ProgramPath();
    std::printf(
        "\nTo render your own clip: put a script named kinetra.txt next to it (start from\n"
        "%s/kinetra.txt) and run\n"
        "  %s render CLIP -o out.mp4\n"
        "'%s render --help' lists the options.\n",
        dir.c_str(), program.c_str(), program.c_str());
    return kExitOk;
}
