// Fuzz target: any script run by the plug-in on a small video frame and
// audio block, through the test host, whose media services serve small
// generated clips and pictures under the names the dictionary uses.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "support/test_host.h"

namespace {

// Longest script tried.
constexpr size_t kMaxScript = 16384;

// Never unloaded: worker threads of the plug-in may still be winding down
// when the program ends. At the end the plug-in's exit runs and the host's
// directory is removed.
testhost::TestHost* g_host = nullptr;

void RemoveDirectory() {
    g_host->Exit();
    std::string command = "rm -rf '" + g_host->directory() + "'";
    if (std::system(command.c_str()) != 0) {
        // A leftover temporary directory harms nothing.
    }
}

// The plug-in's variables outlive a run; every input starts from zero.
std::string Preamble() {
    std::string text;
    for (char c = 'A'; c <= 'Z'; ++c)
        text += std::string(1, c) + "=0\n";
    for (char c : std::string("kloqrt"))
        text += std::string(1, c) + "=0\n";
    return text;
}

testhost::MediaFile Clip(int32_t frames, int32_t width, int32_t height, bool audio) {
    testhost::MediaFile clip;
    clip.frame_count = frames;
    clip.width = width;
    clip.height = height;
    clip.pixel = [](int32_t f, int32_t x, int32_t y) {
        return PixelYC{int16_t(f * 300 + x * 40), int16_t(y * 50 - 600), int16_t(x * 30 - 400)};
    };
    if (audio) {
        clip.samples_per_frame = 1600;
        clip.sample = [](int32_t f, int32_t s) { return int16_t(uint16_t(f * 7919 + s * 31)); };
    }
    return clip;
}

testhost::Picture Picture(int32_t width, int32_t height) {
    testhost::Picture p;
    p.width = width;
    p.height = height;
    p.pixels.resize(size_t(width) * height);
    for (int32_t y = 0; y < height; ++y) {
        for (int32_t x = 0; x < width; ++x)
            p.at(x, y) = PixelYC{int16_t(x * 100), int16_t(y * 80 - 400), int16_t(200 - x * 20)};
    }
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_host = new testhost::TestHost(32, 24, 20);
    std::atexit(RemoveDirectory);
    g_host->thread_count = 1;
    g_host->samples_per_frame = 256;
    g_host->AddMediaFile("clip.avi", Clip(8, 40, 30, true));
    g_host->AddMediaFile("small.mp4", Clip(3, 8, 6, false));
    g_host->AddImageFile("pic.png", Picture(20, 10));
    g_host->AddImageFile("wide.bmp", Picture(80, 8));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_host == nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
    testhost::TestHost& host = *g_host;
    std::string script = Preamble();
    script.append(reinterpret_cast<const char*>(data), size < kMaxScript ? size : kMaxScript);
    host.WriteScript(script);
    host.Exit();  // frees everything and forgets the last look at the script
    host.calls.clear();
    host.timeline_lengths.clear();
    for (int32_t i = 0; i < KINETRA_TRACK_COUNT; ++i)
        host.tracks[i] = i == 0 ? 0 : 2048;
    host.RunVideo(2);
    host.RunAudio(2);
    // The display buffer shown from every buffer, once each.
    host.tracks[0] = int32_t(size % 10);
    host.RunVideo(3);
    host.RunAudio(3);
    return 0;
}
