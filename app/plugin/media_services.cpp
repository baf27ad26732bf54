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
#include "base/shown_text.h"
#include "source/picture_file.h"
#include "source/video_source.h"

namespace {

// Converted frames each open file keeps, so that a frame read by consecutive
// script lines is converted once.
constexpr size_t kCachedFramesPerFile = 2;
// Each open file also keeps its last frames as decoded (YUV, as the decoder
// gave them) for two seconds, at most kMostWindowFrames: a file read in order
// with a look back that far decodes each frame once.
constexpr double kWindowSeconds = 2.0;
constexpr size_t kMostWindowFrames = 120;
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
    DecodedWindow window;
    std::vector<int16_t> samples;  // room for one frame's audio
};

}  // namespace

// Everything the services hold for one run.
struct MediaServices::State {
    int32_t max_w = 0, max_h = 0;
    int32_t audio_block = 0;
    bool notes_shown = true;
    bool said_larger = false;
    std::map<std::string, std::string> file_notes;
    std::set<std::string> told;  // reported before the run
    std::set<MediaFile*> open;
    std::set<std::string> warned;
    std::set<std::string> asked;              // every name asked for, absolute
    std::map<std::string, FileStamp> failed;  // files that failed, as they were then
    std::map<std::string, CachedImage> pictures;
    size_t picture_bytes = 0;
    int64_t picture_clock = 0;
    int64_t pictures_decoded = 0;
    int64_t files_tried = 0;
    int64_t frames_decoded = 0;
};

namespace {

// The object the service slots serve: the slots carry no context of their own.
MediaServices::State* g_media = nullptr;

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

// One warning per file name for the whole run, with the script lines that
// name the file when they are known; none for a file whose trouble the
// check before the run already told. Names are shown with what a terminal
// would act on written out.
void WarnOnce(MediaServices::State& m, const std::string& path, const std::string& reason) {
    if (m.told.count(path) != 0 || !m.warned.insert(path).second) return;
    auto note = m.file_notes.find(path);
    std::string where = note != m.file_notes.end() ? " (" + note->second + ")" : "";
    std::fprintf(stderr, "kinetra: warning: %s: %s%s\n", VisibleText(path).c_str(), reason.c_str(),
                 where.c_str());
}

// Whether a file may be handed to the decoders: not one that failed before
// and has not changed since, and only a regular file (a FIFO or a device
// would block or never end). Warns once per name.
bool MayOpen(MediaServices::State& m, const std::string& path, FileStamp* stamp) {
    struct stat info;
    int error = 0;
    *stamp = StampOf(path, &info, &error);
    auto failed = m.failed.find(path);
    if (failed != m.failed.end() && failed->second == *stamp) return false;
    if (!stamp->exists) {
        WarnOnce(m, path, std::strerror(error));
        m.failed[path] = *stamp;
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        WarnOnce(m, path,
                 S_ISDIR(info.st_mode) ? "is a directory"
                                       : "not a regular file; only regular files are read");
        m.failed[path] = *stamp;
        return false;
    }
    return true;
}

void RememberFailure(MediaServices::State& m, const std::string& path, const FileStamp& stamp) {
    m.failed[path] = stamp;
}

MediaFile* Lookup(MediaServices::State& m, void* handle) {
    auto* file = static_cast<MediaFile*>(handle);
    return m.open.count(file) != 0 ? file : nullptr;
}

// Says once per render that a clip or picture is cut at the buffers' edges,
// with the --canvas that would hold it.
void NoteIfLarger(MediaServices::State& m, const std::string& path, int32_t width, int32_t height) {
    if (!m.notes_shown || m.said_larger || (width <= m.max_w && height <= m.max_h)) return;
    m.said_larger = true;
    std::fprintf(stderr,
                 "kinetra: note: %s is %dx%d, larger than the %dx%d buffers, and is cut at their "
                 "edges; --canvas %dx%d holds it\n",
                 VisibleText(path).c_str(), width, height, m.max_w, m.max_h,
                 std::max(width, m.max_w), std::max(height, m.max_h));
}

// Draws a picture top-left into a max_w x max_h buffer, cut at its edges;
// the buffer's other pixels keep their values.
void DrawTopLeft(const MediaServices::State& m, const PictureYC& picture, PixelYC* buffer) {
    CopyTopLeft(picture.pixels.data(), picture.width, picture.height, picture.width, buffer,
                m.max_w, m.max_h, m.max_w);
}

// Frame f of the file in YC, from the cache, the window or decoded; null on
// failure.
const PictureYC* FrameOf(MediaServices::State& m, MediaFile* file, int32_t f) {
    if (const PictureYC* kept = file->cache.Find(f)) return kept;
    FramePtr kept = file->window.Get(f);
    const AVFrame* decoded = kept.get();
    if (decoded == nullptr) {
        decoded = file->video.Frame(f);
        if (decoded == nullptr) return nullptr;
        ++m.frames_decoded;
        file->window.Keep(f, decoded);
    }
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
    FramePtr frame;
    if (!DecodeFirstPicture(path, &frame, error)) return false;
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
    if (g_media == nullptr) return nullptr;
    MediaServices::State& m = *g_media;
    if (name == nullptr || name[0] == '\0') return nullptr;
    auto file = std::make_unique<MediaFile>();
    file->path = AbsolutePath(name);
    m.asked.insert(file->path);
    FileStamp stamp;
    if (!MayOpen(m, file->path, &stamp)) return nullptr;
    std::string error;
    ++m.files_tried;
    if (!file->video.Open(file->path, HostThreadCount(), &error)) {
        WarnOnce(m, file->path, error);
        RememberFailure(m, file->path, stamp);
        return nullptr;
    }
    std::string note = file->video.MappingNote();
    if (!note.empty()) WarnOnce(m, file->path, note);
    file->window.set_capacity(
        DecodedWindow::FramesFor(file->video.frame_rate(), kWindowSeconds, kMostWindowFrames) + 1);
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
    m.open.insert(handle);
    return handle;
}

int32_t CloseMediaFile(void* handle) {
    if (g_media == nullptr) return 0;
    MediaServices::State& m = *g_media;
    MediaFile* file = Lookup(m, handle);
    if (file == nullptr) return 0;
    m.open.erase(file);
    delete file;
    return 1;
}

int32_t ReadMediaFrame(void* handle, PixelYC* buffer, int32_t f) {
    if (g_media == nullptr) return 0;
    MediaServices::State& m = *g_media;
    MediaFile* file = Lookup(m, handle);
    if (file == nullptr || buffer == nullptr) return 0;
    if (f < 0 || f >= file->video.frame_count()) return 0;
    const PictureYC* picture = FrameOf(m, file, f);
    if (picture == nullptr) {
        WarnOnce(m, file->path, "frame " + std::to_string(f) + " cannot be decoded");
        return 0;
    }
    NoteIfLarger(m, file->path, picture->width, picture->height);
    DrawTopLeft(m, *picture, buffer);
    return 1;
}

int32_t SetMediaAudioFormat(void* handle, int32_t rate, int32_t channels) {
    if (g_media == nullptr) return 0;
    MediaServices::State& m = *g_media;
    MediaFile* file = Lookup(m, handle);
    if (file == nullptr || !file->audio.is_open()) return 0;
    file->audio.SetFormat(rate, channels);
    return 1;
}

int32_t ReadMediaAudio(void* handle, int16_t* buffer, int32_t f) {
    if (g_media == nullptr) return 0;
    MediaServices::State& m = *g_media;
    MediaFile* file = Lookup(m, handle);
    if (file == nullptr || buffer == nullptr || !file->audio.is_open()) return 0;
    if (f < 0 || f >= file->video.frame_count()) return 0;
    AudioTrack& audio = file->audio;
    int64_t start = FrameSampleStart(f, audio.rate(), file->video.frame_rate());
    int64_t length = FrameSampleStart(f + 1, audio.rate(), file->video.frame_rate()) - start;
    // Never more than the plug-in's audio buffers hold: two blocks of the call.
    int64_t count = std::min<int64_t>(length, 2 * int64_t(m.audio_block));
    if (count <= 0) return 0;
    file->samples.resize(size_t(count) * audio.channels());
    int64_t inside = audio.Read(start, int32_t(count), file->samples.data());
    if (inside <= 0) return 0;
    std::memcpy(buffer, file->samples.data(), sizeof(int16_t) * size_t(inside) * audio.channels());
    return int32_t(inside);
}

// Keeps a decoded picture's visible part, dropping the least recently used
// ones beyond the cache's bytes.
CachedImage* CachePicture(MediaServices::State& m, const std::string& path, const FileStamp& stamp,
                          const PictureYC& picture) {
    auto old = m.pictures.find(path);
    if (old != m.pictures.end()) {
        m.picture_bytes -= old->second.visible.pixels.size() * sizeof(PixelYC);
        m.pictures.erase(old);
    }
    CachedImage entry;
    entry.stamp = stamp;
    entry.width = picture.width;
    entry.height = picture.height;
    int32_t w = std::min(picture.width, m.max_w), h = std::min(picture.height, m.max_h);
    entry.visible.Resize(std::max(w, 0), std::max(h, 0));
    for (int32_t y = 0; y < h; ++y) {
        std::memcpy(entry.visible.pixels.data() + size_t(y) * w,
                    picture.pixels.data() + size_t(y) * picture.width, sizeof(PixelYC) * size_t(w));
    }
    size_t bytes = entry.visible.pixels.size() * sizeof(PixelYC);
    while (!m.pictures.empty() && m.picture_bytes + bytes > kPictureCacheBytes) {
        auto oldest = std::min_element(
            m.pictures.begin(), m.pictures.end(),
            [](const auto& a, const auto& b) { return a.second.last_use < b.second.last_use; });
        m.picture_bytes -= oldest->second.visible.pixels.size() * sizeof(PixelYC);
        m.pictures.erase(oldest);
    }
    m.picture_bytes += bytes;
    CachedImage& kept = m.pictures[path];
    kept = std::move(entry);
    return &kept;
}

int32_t LoadImageFile(PixelYC* buffer, const char* name, int32_t* w, int32_t* h, int32_t) {
    if (g_media == nullptr) return 0;
    MediaServices::State& m = *g_media;
    if (buffer == nullptr || name == nullptr || name[0] == '\0') return 0;
    std::string path = AbsolutePath(name);
    m.asked.insert(path);
    FileStamp stamp;
    if (!MayOpen(m, path, &stamp)) return 0;
    auto found = m.pictures.find(path);
    // A picture cut for other buffers is decoded again.
    bool fits = found != m.pictures.end() &&
                found->second.visible.width == std::min(found->second.width, m.max_w) &&
                found->second.visible.height == std::min(found->second.height, m.max_h);
    CachedImage* picture = found != m.pictures.end() && found->second.stamp == stamp && fits
                               ? &found->second
                               : nullptr;
    if (picture == nullptr) {
        PictureYC decoded;
        std::string error;
        ++m.files_tried;
        if (!DecodePicture(path, &decoded, &error)) {
            WarnOnce(m, path, error);
            RememberFailure(m, path, stamp);
            return 0;
        }
        ++m.pictures_decoded;
        picture = CachePicture(m, path, stamp, decoded);
    }
    picture->last_use = ++m.picture_clock;
    NoteIfLarger(m, path, picture->width, picture->height);
    DrawTopLeft(m, picture->visible, buffer);
    if (w != nullptr) *w = picture->width;
    if (h != nullptr) *h = picture->height;
    return 1;
}

}  // namespace

MediaServices::MediaServices() : state_(std::make_unique<State>()) {}

MediaServices::~MediaServices() {
    if (g_media == state_.get()) g_media = nullptr;
    CloseAll();
}

void MediaServices::Bind(MediaServices* media) {
    g_media = media != nullptr ? media->state_.get() : nullptr;
}

void MediaServices::FillSlots(HostServices* services) {
    services->load_image_file = LoadImageFile;
    services->open_media_file = OpenMediaFile;
    services->close_media_file = CloseMediaFile;
    services->read_media_frame = ReadMediaFrame;
    services->read_media_audio = ReadMediaAudio;
    services->set_media_audio_format = SetMediaAudioFormat;
}

void MediaServices::SetBufferSize(int32_t max_w, int32_t max_h) {
    state_->max_w = max_w;
    state_->max_h = max_h;
    state_->said_larger = false;
}

void MediaServices::SetNotesShown(bool shown) {
    state_->notes_shown = shown;
}

void MediaServices::SetAudioBlock(int32_t sample_count) {
    state_->audio_block = sample_count;
}

void MediaServices::SetFileNotes(const std::map<std::string, std::string>& notes) {
    state_->file_notes = notes;
}

void MediaServices::SetToldFiles(const std::set<std::string>& paths) {
    state_->told = paths;
}

void MediaServices::CloseAll() {
    State& m = *state_;
    for (MediaFile* file : m.open)
        delete file;
    m.open.clear();
    m.warned.clear();
    m.asked.clear();
    m.failed.clear();
    m.pictures.clear();
    m.picture_bytes = 0;
}

std::vector<std::string> MediaServices::FilesOpened() const {
    return std::vector<std::string>(state_->asked.begin(), state_->asked.end());
}

int64_t MediaServices::pictures_decoded() const {
    return state_->pictures_decoded;
}

int64_t MediaServices::files_tried() const {
    return state_->files_tried;
}

int64_t MediaServices::frames_decoded() const {
    return state_->frames_decoded;
}
