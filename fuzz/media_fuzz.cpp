// Fuzz target: the host's media and picture services on any file: opening,
// frames in and out of order, audio in a chosen format, and pictures.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "base/ffmpeg_util.h"
#include "plugin/media_services.h"
#include "plugin/services.h"

namespace {

// File name extensions tried, chosen by the input's last byte: some
// demuxers are picked by name.
const char* const kExtensions[] = {".mkv", ".mp4", ".avi", ".png", ".jpg", ".gif", ".wav", ".bmp"};

std::string g_directory;
long g_counter = 0;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char pattern[] = "/tmp/kinetra-media-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr) std::abort();
    g_directory = pattern;
    QuietFfmpegLog();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (g_directory.empty()) LLVMFuzzerInitialize(nullptr, nullptr);
    const char* extension = kExtensions[size > 0 ? data[size - 1] % 8 : 0];
    // A new name each time: failed opens are remembered per file.
    std::string path = g_directory + "/input" + std::to_string(++g_counter) + extension;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) std::abort();
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    const int32_t w = 24, h = 16;
    HostServices services;
    FillHostServices(&services);
    MediaServices media;
    MediaServices::Bind(&media);
    media.SetBufferSize(w, h);
    media.SetAudioBlock(512);
    std::vector<PixelYC> buffer(size_t(w) * h);
    std::vector<int16_t> samples(2 * 512 * 2);

    SourceInfo info;
    void* handle = services.open_media_file(path.c_str(), &info, 0);
    if (handle != nullptr) {
        int32_t frames = info.reserved_28[1];
        for (int32_t f : {0, 1, frames - 1, 0, frames / 2, frames, -1})
            services.read_media_frame(handle, buffer.data(), f);
        services.set_media_audio_format(handle, 44100, 1);
        services.read_media_audio(handle, samples.data(), 0);
        services.set_media_audio_format(handle, 48000, 2);
        services.read_media_audio(handle, samples.data(), 1);
        services.close_media_file(handle);
    }
    services.load_image_file(buffer.data(), path.c_str(), nullptr, nullptr, 0);
    MediaServices::Bind(nullptr);
    std::remove(path.c_str());
    return 0;
}
