#include "media_services.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "audio_track.h"
#include "colour.h"
#include "ffmpeg_util.h"
#include "host_threads.h"
#include "render.h"
#include "video_source.h"

namespace {

// Converted frames each open file keeps, so that a frame read by consecutive
// script lines is decoded once.
constexpr size_t kCachedFramesPerFile = 2;

struct CachedPicture {
    int32_t frame = -1;
    int64_t last_use = 0;
    PictureYC picture;
};

struct MediaFile {
    std::string path;  // absolute
    VideoSource video;
    AudioTrack audio;
    ToYCConverter converter;
    std::vector<CachedPicture> cache;
    int64_t clock = 0;
    std::vector<int16_t> samples;  // room for one frame's audio
};

int32_t g_max_w = 0;
int32_t g_max_h = 0;
int32_t g_audio_block = 0;
std::set<MediaFile*> g_open;
std::set<std::string> g_warned;
std::set<std::string> g_asked;  // every name asked for, absolute
int64_t g_frames_decoded = 0;

// One warning per file name for the whole run.
void WarnOnce(const std::string& path, const std::string& reason) {
    if (!g_warned.insert(path).second) return;
    std::fprintf(stderr, "kinetra: warning: %s: %s\n", path.c_str(), reason.c_str());
}

MediaFile* Lookup(void* handle) {
    auto* file = static_cast<MediaFile*>(handle);
    return g_open.count(file) != 0 ? file : nullptr;
}

// Draws a picture top-left into a max_w x max_h buffer, cut at its edges;
// the buffer's other pixels keep their values.
void DrawTopLeft(const PictureYC& picture, PixelYC* buffer) {
    int32_t w = std::min(picture.width, g_max_w);
    int32_t h = std::min(picture.height, g_max_h);
    for (int32_t y = 0; y < h; ++y) {
        std::memcpy(buffer + size_t(y) * g_max_w, picture.pixels.data() + size_t(y) * picture.width,
                    sizeof(PixelYC) * size_t(w));
    }
}

// Frame f of the file in YC, from the cache or decoded; null on failure.
const PictureYC* FrameOf(MediaFile* file, int32_t f) {
    for (CachedPicture& c : file->cache) {
        if (c.frame == f) {
            c.last_use = ++file->clock;
            return &c.picture;
        }
    }
    const AVFrame* decoded = file->video.Frame(f);
    if (decoded == nullptr) return nullptr;
    ++g_frames_decoded;
    CachedPicture* slot;
    if (file->cache.size() < kCachedFramesPerFile) {
        file->cache.emplace_back();
        slot = &file->cache.back();
    } else {
        slot = &*std::min_element(
            file->cache.begin(), file->cache.end(),
            [](const CachedPicture& a, const CachedPicture& b) { return a.last_use < b.last_use; });
    }
    slot->frame = -1;
    slot->picture.Resize(decoded->width, decoded->height);
    if (!file->converter.Convert(decoded, slot->picture.pixels.data(), decoded->width)) {
        return nullptr;
    }
    slot->frame = f;
    slot->last_use = ++file->clock;
    return &slot->picture;
}

// Decodes the first picture of an image file; false with `error`.
bool DecodePicture(const std::string& path, PictureYC* picture, std::string* error) {
    InputPtr input = OpenInput(path, error);
    if (!input) return false;
    int stream = FindStream(input.get(), AVMEDIA_TYPE_VIDEO);
    if (stream < 0) {
        *error = "not a picture";
        return false;
    }
    CodecPtr decoder = OpenDecoder(input->streams[stream], 1, error);
    if (!decoder) return false;
    PacketPtr packet(av_packet_alloc());
    FramePtr frame(av_frame_alloc());
    bool got = false;
    while (!got && av_read_frame(input.get(), packet.get()) >= 0) {
        if (packet->stream_index == stream) {
            avcodec_send_packet(decoder.get(), packet.get());
            got = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
        }
        av_packet_unref(packet.get());
    }
    if (!got) {
        avcodec_send_packet(decoder.get(), nullptr);
        got = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
    }
    if (!got || frame->width <= 0 || frame->height <= 0) {
        *error = "cannot decode the picture";
        return false;
    }
    picture->Resize(frame->width, frame->height);
    ToYCConverter converter;
    if (!converter.Convert8(frame.get(), picture->pixels.data(), picture->width)) {
        *error = "cannot convert the picture's colours";
        return false;
    }
    return true;
}

// ---- the service slots ------------------------------------------------------

void* OpenMediaFile(const char* name, SourceInfo* info, int32_t) {
    if (name == nullptr || name[0] == '\0') return nullptr;
    auto file = std::make_unique<MediaFile>();
    file->path = AbsolutePath(name);
    g_asked.insert(file->path);
    std::string error;
    if (!file->video.Open(file->path, HostThreadCount(), &error)) {
        WarnOnce(file->path, error);
        return nullptr;
    }
    std::string audio_error;
    file->audio.Open(file->path, file->video.start_seconds(), &audio_error);
    if (info != nullptr) {
        std::memset(info, 0, sizeof *info);
        info->path = file->path.c_str();
        info->audio_rate = file->audio.is_open() ? file->audio.source_rate() : 0;
        // Our own facts in the reserved words: size, frame rate, channels, length.
        info->reserved_8[0] = file->video.width();
        info->reserved_8[1] = file->video.height();
        info->reserved_8[2] = file->video.frame_rate().num;
        info->reserved_8[3] = file->video.frame_rate().den;
        info->reserved_28[0] = file->audio.is_open() ? file->audio.source_channels() : 0;
        info->reserved_28[1] = file->video.frame_count();
    }
    MediaFile* handle = file.release();
    g_open.insert(handle);
    return handle;
}

int32_t CloseMediaFile(void* handle) {
    MediaFile* file = Lookup(handle);
    if (file == nullptr) return 0;
    g_open.erase(file);
    delete file;
    return 1;
}

int32_t ReadMediaFrame(void* handle, PixelYC* buffer, int32_t f) {
    MediaFile* file = Lookup(handle);
    if (file == nullptr || buffer == nullptr) return 0;
    if (f < 0 || f >= file->video.frame_count()) return 0;
    const PictureYC* picture = FrameOf(file, f);
    if (picture == nullptr) {
        WarnOnce(file->path, "frame " + std::to_string(f) + " cannot be decoded");
        return 0;
    }
    DrawTopLeft(*picture, buffer);
    return 1;
}

int32_t SetMediaAudioFormat(void* handle, int32_t rate, int32_t channels) {
    MediaFile* file = Lookup(handle);
    if (file == nullptr || !file->audio.is_open()) return 0;
    file->audio.SetFormat(rate, channels);
    return 1;
}

int32_t ReadMediaAudio(void* handle, int16_t* buffer, int32_t f) {
    MediaFile* file = Lookup(handle);
    if (file == nullptr || buffer == nullptr || !file->audio.is_open()) return 0;
    if (f < 0 || f >= file->video.frame_count()) return 0;
    AudioTrack& audio = file->audio;
    int64_t start = FrameSampleStart(f, audio.rate(), file->video.frame_rate());
    int64_t length = FrameSampleStart(f + 1, audio.rate(), file->video.frame_rate()) - start;
    // Never more than the plug-in's audio buffers hold: two blocks of the call.
    int64_t count = std::min<int64_t>(length, 2 * int64_t(g_audio_block));
    if (count <= 0) return 0;
    file->samples.resize(size_t(count) * audio.channels());
    int64_t inside = audio.Read(start, int32_t(count), file->samples.data());
    if (inside <= 0) return 0;
    std::memcpy(buffer, file->samples.data(), sizeof(int16_t) * size_t(inside) * audio.channels());
    return int32_t(inside);
}

int32_t LoadImageFile(PixelYC* buffer, const char* name, int32_t* w, int32_t* h, int32_t) {
    if (buffer == nullptr || name == nullptr || name[0] == '\0') return 0;
    std::string path = AbsolutePath(name);
    g_asked.insert(path);
    PictureYC picture;
    std::string error;
    if (!DecodePicture(path, &picture, &error)) {
        WarnOnce(path, error);
        return 0;
    }
    DrawTopLeft(picture, buffer);
    if (w != nullptr) *w = picture.width;
    if (h != nullptr) *h = picture.height;
    return 1;
}

}  // namespace

void SetMediaBufferSize(int32_t max_w, int32_t max_h) {
    g_max_w = max_w;
    g_max_h = max_h;
}

void SetMediaAudioBlock(int32_t sample_count) {
    g_audio_block = sample_count;
}

void FillMediaServices(HostServices* services) {
    services->load_image_file = LoadImageFile;
    services->open_media_file = OpenMediaFile;
    services->close_media_file = CloseMediaFile;
    services->read_media_frame = ReadMediaFrame;
    services->read_media_audio = ReadMediaAudio;
    services->set_media_audio_format = SetMediaAudioFormat;
}

std::vector<std::string> MediaFilesOpened() {
    return std::vector<std::string>(g_asked.begin(), g_asked.end());
}

int64_t MediaFramesDecoded() {
    return g_frames_decoded;
}

void CloseAllMedia() {
    for (MediaFile* file : g_open)
        delete file;
    g_open.clear();
    g_warned.clear();
    g_asked.clear();
}
