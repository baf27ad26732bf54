// Helpers for the video command tests: scripts run through the test host, and
// single command lines run on the plug-in's own parts, for what a script
// cannot show (which buffers exist afterwards, argument values a script
// cannot write).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

#include "common/parallel.h"
#include "common/simd.h"
#include "host/buffers.h"
#include "script/script.h"
#include "support/test_host.h"

namespace videotest {

using testhost::Picture;

// A pixel's channels, comparable and printable.
using Channels = std::tuple<int, int, int>;
inline Channels YC(PixelYC p) {
    return Channels(p.y, p.cb, p.cr);
}

// One script run on a fresh host.
struct ScriptRun {
    int32_t width = 32;
    int32_t height = 24;
    int32_t frame = 0;
    int32_t shown = 0;  // the display slider: the buffer that comes out
    int threads = 2;
    // The project's frames; default the host's (Y = f * 16 + x, Cb = y - 8,
    // Cr = x - y).
    std::function<PixelYC(int32_t f, int32_t x, int32_t y)> project;
};

// Runs the lines, under a section of every frame, once and returns the image
// the host shows.
inline Picture RunLines(const std::string& lines, const ScriptRun& run = ScriptRun()) {
    testhost::TestHost host(run.width, run.height, 100, run.threads);
    if (run.project) host.project_pixel = run.project;
    host.tracks[0] = run.shown;
    host.WriteScript("[0-99]\n" + lines);
    host.RunVideo(run.frame);
    return host.output();
}

// The project frame of a run, as the host delivers it.
inline Picture ProjectOf(const ScriptRun& run) {
    Picture p;
    p.width = run.width;
    p.height = run.height;
    for (int32_t y = 0; y < run.height; ++y) {
        for (int32_t x = 0; x < run.width; ++x) {
            p.pixels.push_back(
                run.project ? run.project(run.frame, x, y)
                            : PixelYC{int16_t(run.frame * 16 + x), int16_t(y - 8), int16_t(x - y)});
        }
    }
    return p;
}

// Equal pictures; on a difference, names the first pixel that differs.
inline ::testing::AssertionResult SamePicture(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) {
        return ::testing::AssertionFailure() << "sizes differ";
    }
    for (int32_t y = 0; y < a.height; ++y) {
        for (int32_t x = 0; x < a.width; ++x) {
            PixelYC p = a.pixels[size_t(y) * a.width + x], q = b.pixels[size_t(y) * b.width + x];
            if (YC(p) != YC(q)) {
                return ::testing::AssertionFailure()
                       << "pixel (" << x << ", " << y << "): " << p.y << "," << p.cb << "," << p.cr
                       << " vs " << q.y << "," << q.cb << "," << q.cr;
            }
        }
    }
    return ::testing::AssertionSuccess();
}

// The same script with one and with two worker threads gives the same image,
// which is returned.
inline Picture RunWithOneAndTwoThreads(const std::string& lines, ScriptRun run = ScriptRun()) {
    run.threads = 1;
    Picture one = RunLines(lines, run);
    run.threads = 2;
    Picture two = RunLines(lines, run);
    EXPECT_TRUE(SamePicture(one, two)) << lines;
    return two;
}

// A picture whose pixels are given by a function of (x, y).
inline Picture MakePicture(int32_t w, int32_t h, std::function<PixelYC(int32_t, int32_t)> pixel) {
    Picture p;
    p.width = w;
    p.height = h;
    for (int32_t y = 0; y < h; ++y) {
        for (int32_t x = 0; x < w; ++x)
            p.pixels.push_back(pixel(x, y));
    }
    return p;
}

typedef void (*Handler)(int32_t line, FilterTable* filter, FrameInfo* frame);

// One video call's buffers and a one-line script, on the plug-in's parts
// linked into the test (kinetra_core).
class DirectCall {
  public:
    DirectCall(int32_t w = 8, int32_t h = 6) : edit_(size_t(w) * h), temp_(edit_.size()) {
        ReleaseBuffers();
        std::memset(&info_, 0, sizeof info_);
        info_.edit_pixels = edit_.data();
        info_.temp_pixels = temp_.data();
        info_.width = info_.max_w = w;
        info_.height = info_.max_h = h;
        SetUpImageBuffers(&info_);
        line_ = static_cast<ScriptLine*>(std::calloc(1, sizeof(ScriptLine)));
        line_->values = values_;
        g_script.lines = line_;
        g_script.count = 1;
    }
    ~DirectCall() {
        g_script.lines = nullptr;
        g_script.count = 0;
        std::free(line_);
        ReleaseBuffers();
    }
    DirectCall(const DirectCall&) = delete;
    DirectCall& operator=(const DirectCall&) = delete;

    // Runs the handler on a line with these argument values (the rest 0).
    void Call(Handler handler, std::initializer_list<double> values) {
        std::memset(values_, 0, sizeof values_);
        int k = 0;
        for (double v : values)
            line_->values[k++] = v;
        handler(0, nullptr, &info_);
    }
    bool Exists(int32_t index) const { return g_image_buffers.entry[index] != nullptr; }
    PixelYC* Buffer(int32_t index) { return AcquireImageBuffer(index); }
    PixelYC& At(int32_t index, int32_t x, int32_t y) {
        return Buffer(index)[size_t(y) * info_.max_w + x];
    }
    const FrameInfo& info() const { return info_; }

  private:
    std::vector<PixelYC> edit_, temp_;
    FrameInfo info_;
    ScriptLine* line_;
    double values_[kScriptArgCount];
};

// A picture of pseudo-random pixels over the whole 16-bit range of each
// channel, so that sums and products wrap.
inline Picture FullRangePicture(int32_t w, int32_t h, uint32_t seed = 1) {
    Picture p{w, h, {}};
    uint32_t state = seed * 2654435761u + 1;
    auto next = [&state] {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return int16_t(state & 0xFFFF);
    };
    for (int64_t i = 0; i < int64_t(w) * h; ++i) {
        int16_t y = next(), cb = next(), cr = next();
        p.pixels.push_back(PixelYC{y, cb, cr});
    }
    return p;
}

// Every build of the kernels, narrowest first, with its name for messages;
// where the processor lacks one, its kernels take the next narrower one.
struct Build {
    simd::Width width;
    const char* name;
};
inline constexpr Build kBuilds[] = {{simd::Width::kPortable, "portable"},
                                    {simd::Width::kAvx2, "AVX2 allowed"},
                                    {simd::Width::kAvx512, "AVX-512 allowed"}};

// Runs a command line on the plug-in's own parts with every build of its
// kernels, on one and on two threads, buffers 0 and 1 both starting as
// `frame`; expects buffer `shown` to come out as `expected` every time.
inline void ExpectEveryBuild(Handler handler, std::initializer_list<double> values,
                             const Picture& frame, int32_t shown, const Picture& expected) {
    const int32_t saved_threads = parallel::ThreadCount();
    for (const Build& build : kBuilds) {
        for (int32_t threads : {1, 2}) {
            simd::AllowUpTo(build.width);
            parallel::SetThreadCount(threads);
            DirectCall call(frame.width, frame.height);
            std::copy(frame.pixels.begin(), frame.pixels.end(), call.Buffer(0));
            std::copy(frame.pixels.begin(), frame.pixels.end(), call.Buffer(1));
            call.Call(handler, values);
            Picture out{frame.width, frame.height, {}};
            out.pixels.assign(call.Buffer(shown), call.Buffer(shown) + frame.pixels.size());
            std::string args;
            for (double v : values)
                args += std::to_string(v) + " ";
            EXPECT_TRUE(SamePicture(out, expected))
                << args << build.name << ", " << threads << " threads";
        }
    }
    simd::AllowUpTo(simd::Width::kAvx512);
    parallel::SetThreadCount(saved_threads);
}

}  // namespace videotest
