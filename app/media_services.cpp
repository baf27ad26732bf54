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
#include "frame_cache.h"
#include "host_threads.h"
#include "paths.h"
#include "video_source.h"

namespace {

// Converted frames each open file keeps, so that a frame read by consecutive
// script lines is decoded once.
constexpr size_t kCachedFramesPerFile = 2;

struct MediaFile {
    std::string path;  // absolute
    VideoSource video;
    AudioTrack audio;
    ToYCConverter converter;
    FrameCache<PictureYC> cache{kCachedFramesPerFile};
    std::vector<int16_t> samples;  // room for one frame's audio
};

int32_t g_max_w = 0;
int32_t g_max_h = 0;
int32_t g_audio_block = 0;
bool g_said_larger = false;
std::set<MediaFile*> g_open;
std::set<std::string> g_warned;
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

// Says once per render that a clip or picture is cut at the buffers' edges,
// with the --canvas that would hold it.
void NoteIfLarger(const std::string& path, const PictureYC& picture) {
    if (g_said_larger || (picture.width <= g_max_w && picture.height <= g_max_h)) return;
    g_said_larger = true;
    std::fprintf(stderr,
                 "kinetra: note: %s is %dx%d, larger than the %dx%d buffers, and is cut at their "
                 "edges; --canvas %dx%d holds it\n",
                 path.c_str(), picture.width, picture.height, g_max_w, g_max_h,
                 std::max(picture.width, g_max_w), std::max(picture.height, g_max_h));
}

// Draws a picture top-left into a max_w x max_h buffer, cut at its edges;
// the buffer's other pixels keep their values.
void DrawTopLeft(const PictureYC& picture, PixelYC* buffer) {
    CopyTopLeft(picture.pixels.data(), picture.width, picture.height, picture.width, buffer,
                g_max_w, g_max_h, g_max_w);
}

// Frame f of the file in YC, from the cache or decoded; null on failure.
const PictureYC* FrameOf(MediaFile* file, int32_t f) {
    if (const PictureYC* kept = file->cache.Find(f)) return kept;
    const AVFrame* decoded = file->video.Frame(f);
    if (decoded == nullptr) return nullptr;
    ++g_frames_decoded;
    PictureYC* slot = file->cache.Take(f);
    slot->Resize(decoded->width, decoded->height);
    if (!file->converter.Convert(decoded, slot->pixels.data(), decoded->width)) {
        file->cache.Drop(f);
        return nullptr;
    }
    return slot;
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
    NoteIfLarger(file->path, *picture);
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
    PictureYC picture;
    std::string error;
    if (!DecodePicture(path, &picture, &error)) {
        WarnOnce(path, error);
        return 0;
    }
    NoteIfLarger(path, picture);
    DrawTopLeft(picture, buffer);
    if (w != nullptr) *w = picture.width;
    if (h != nullptr) *h = picture.height;
    return 1;
}

}  // namespace

void SetMediaBufferSize(int32_t max_w, int32_t max_h) {
    g_max_w = max_w;
    g_max_h = max_h;
    g_said_larger = false;
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

int64_t MediaFramesDecoded() {
    return g_frames_decoded;
}

void CloseAllMedia() {
    for (MediaFile* file : g_open)
        delete file;
    g_open.clear();
    g_warned.clear();
}
