#include "plugin/media_services.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "source/audio_track.h"
#include "colour/colour.h"
#include "base/ffmpeg_util.h"
#include "source/frame_cache.h"
#include "base/host_threads.h"
#include "base/paths.h"
#include "source/video_source.h"

namespace {

// Converted frames each open file keeps, so that a frame read by consecutive
// script lines is decoded once.
constexpr size_t kCachedFramesPerFile = 2;
// Pictures larger than this are not read (a small file can hold a huge one).
constexpr int64_t kMaxPicturePixels = 64 * 1000 * 1000;
// Decoded pictures kept, in bytes (each is kept only as far as it shows in
// the buffers, so one is at most the project's frame).
constexpr size_t kPictureCacheBytes = size_t(96) << 20;

// What a file was when it was looked at: a changed file is tried again.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    int64_t modified_ns = 0;
    bool operator==(const FileStamp& o) const {
        return exists == o.exists && device == o.device && inode == o.inode && size == o.size &&
               modified_ns == o.modified_ns;
    }
};

struct CachedImage {
    FileStamp stamp;
    int32_t width = 0, height = 0;  // the whole picture's size
    PictureYC visible;              // its top-left part that fits the buffers
    int64_t last_use = 0;
};

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
bool g_notes_shown = true;
std::set<MediaFile*> g_open;
std::set<std::string> g_warned;
std::set<std::string> g_asked;              // every name asked for, absolute
std::map<std::string, FileStamp> g_failed;  // files that failed, as they were then
std::map<std::string, CachedImage> g_pictures;
size_t g_picture_bytes = 0;
int64_t g_picture_clock = 0;
int64_t g_pictures_decoded = 0;
int64_t g_files_tried = 0;

FileStamp StampOf(const std::string& path, struct stat* info, int* error) {
    FileStamp stamp;
    if (stat(path.c_str(), info) != 0) {
        *error = errno;
        return stamp;
    }
    *error = 0;
    stamp.exists = true;
    stamp.device = info->st_dev;
    stamp.inode = info->st_ino;
    stamp.size = info->st_size;
    stamp.modified_ns = int64_t(info->st_mtim.tv_sec) * 1000000000 + info->st_mtim.tv_nsec;
    return stamp;
}
int64_t g_frames_decoded = 0;

std::map<std::string, std::string> g_file_notes;

// One warning per file name for the whole run, with the script lines that
// name the file when they are known.
void WarnOnce(const std::string& path, const std::string& reason) {
    if (!g_warned.insert(path).second) return;
    auto note = g_file_notes.find(path);
    std::string where = note != g_file_notes.end() ? " (" + note->second + ")" : "";
    std::fprintf(stderr, "kinetra: warning: %s: %s%s\n", path.c_str(), reason.c_str(),
                 where.c_str());
}

// Whether a file may be handed to the decoders: not one that failed before
// and has not changed since, and only a regular file (a FIFO or a device
// would block or never end). Warns once per name.
bool MayOpen(const std::string& path, FileStamp* stamp) {
    struct stat info;
    int error = 0;
    *stamp = StampOf(path, &info, &error);
    auto failed = g_failed.find(path);
    if (failed != g_failed.end() && failed->second == *stamp) return false;
    if (!stamp->exists) {
        WarnOnce(path, std::strerror(error));
        g_failed[path] = *stamp;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        WarnOnce(path, S_ISDIR(info.st_mode) ? "is a directory"
                                             : "not a regular file; only regular files are read");
        g_failed[path] = *stamp;
        return false;
    }
    return true;
}

void RememberFailure(const std::string& path, const FileStamp& stamp) {
    g_failed[path] = stamp;
}

MediaFile* Lookup(void* handle) {
    auto* file = static_cast<MediaFile*>(handle);
    return g_open.count(file) != 0 ? file : nullptr;
}

// Says once per render that a clip or picture is cut at the buffers' edges,
// with the --canvas that would hold it.
void NoteIfLarger(const std::string& path, int32_t width, int32_t height) {
    if (!g_notes_shown || g_said_larger || (width <= g_max_w && height <= g_max_h)) return;
    g_said_larger = true;
    std::fprintf(stderr,
                 "kinetra: note: %s is %dx%d, larger than the %dx%d buffers, and is cut at their "
                 "edges; --canvas %dx%d holds it\n",
                 path.c_str(), width, height, g_max_w, g_max_h, std::max(width, g_max_w),
                 std::max(height, g_max_h));
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
    slot->ResizeForOverwrite(decoded->width, decoded->height);
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
    auto too_large = [&](int64_t w, int64_t h) {
        if (w * h <= kMaxPicturePixels) return false;
        *error = "the picture is " + std::to_string(w) + "x" + std::to_string(h) + " (" +
                 std::to_string((w * h + 500000) / 1000000) +
                 " megapixels); pictures above 64 megapixels are not read";
        return true;
    };
    const AVCodecParameters* par = input->streams[stream]->codecpar;
    if (too_large(par->width, par->height)) return false;
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
    if (too_large(frame->width, frame->height)) return false;
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
    FileStamp stamp;
    if (!MayOpen(file->path, &stamp)) return nullptr;
    std::string error;
    ++g_files_tried;
    if (!file->video.Open(file->path, HostThreadCount(), &error)) {
        WarnOnce(file->path, error);
        RememberFailure(file->path, stamp);
        return nullptr;
    }
    std::string note = file->video.MappingNote();
    if (!note.empty()) WarnOnce(file->path, note);
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
    NoteIfLarger(file->path, picture->width, picture->height);
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

// Keeps a decoded picture's visible part, dropping the least recently used
// ones beyond the cache's bytes.
CachedImage* CachePicture(const std::string& path, const FileStamp& stamp,
                          const PictureYC& picture) {
    auto old = g_pictures.find(path);
    if (old != g_pictures.end()) {
        g_picture_bytes -= old->second.visible.pixels.size() * sizeof(PixelYC);
        g_pictures.erase(old);
    }
    CachedImage entry;
    entry.stamp = stamp;
    entry.width = picture.width;
    entry.height = picture.height;
    int32_t w = std::min(picture.width, g_max_w), h = std::min(picture.height, g_max_h);
    entry.visible.Resize(std::max(w, 0), std::max(h, 0));
    for (int32_t y = 0; y < h; ++y) {
        std::memcpy(entry.visible.pixels.data() + size_t(y) * w,
                    picture.pixels.data() + size_t(y) * picture.width, sizeof(PixelYC) * size_t(w));
    }
    size_t bytes = entry.visible.pixels.size() * sizeof(PixelYC);
    while (!g_pictures.empty() && g_picture_bytes + bytes > kPictureCacheBytes) {
        auto oldest = std::min_element(
            g_pictures.begin(), g_pictures.end(),
            [](const auto& a, const auto& b) { return a.second.last_use < b.second.last_use; });
        g_picture_bytes -= oldest->second.visible.pixels.size() * sizeof(PixelYC);
        g_pictures.erase(oldest);
    }
    g_picture_bytes += bytes;
    CachedImage& kept = g_pictures[path];
    kept = std::move(entry);
    return &kept;
}

int32_t LoadImageFile(PixelYC* buffer, const char* name, int32_t* w, int32_t* h, int32_t) {
    if (buffer == nullptr || name == nullptr || name[0] == '\0') return 0;
    std::string path = AbsolutePath(name);
    g_asked.insert(path);
    FileStamp stamp;
    if (!MayOpen(path, &stamp)) return 0;
    auto found = g_pictures.find(path);
    // A picture cut for other buffers is decoded again.
    bool fits = found != g_pictures.end() &&
                found->second.visible.width == std::min(found->second.width, g_max_w) &&
                found->second.visible.height == std::min(found->second.height, g_max_h);
    CachedImage* picture = found != g_pictures.end() && found->second.stamp == stamp && fits
                               ? &found->second
                               : nullptr;
    if (picture == nullptr) {
        PictureYC decoded;
        std::string error;
        ++g_files_tried;
        if (!DecodePicture(path, &decoded, &error)) {
            WarnOnce(path, error);
            RememberFailure(path, stamp);
            return 0;
        }
        ++g_pictures_decoded;
        picture = CachePicture(path, stamp, decoded);
    }
    picture->last_use = ++g_picture_clock;
    NoteIfLarger(path, picture->width, picture->height);
    DrawTopLeft(picture->visible, buffer);
    if (w != nullptr) *w = picture->width;
    if (h != nullptr) *h = picture->height;
    return 1;
}

}  // namespace

void SetMediaFileNotes(const std::map<std::string, std::string>& notes) {
    g_file_notes = notes;
}

void SetMediaBufferSize(int32_t max_w, int32_t max_h) {
    g_max_w = max_w;
    g_max_h = max_h;
    g_said_larger = false;
}

void SetMediaNotes(bool shown) {
    g_notes_shown = shown;
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

int64_t PicturesDecoded() {
    return g_pictures_decoded;
}

int64_t MediaFilesTried() {
    return g_files_tried;
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
    g_failed.clear();
    g_pictures.clear();
    g_picture_bytes = 0;
}
