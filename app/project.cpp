#include "project.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host_threads.h"

namespace {

// The most frames a script can ask the host to keep.
constexpr int32_t kMaxCachedFrames = 16;

}  // namespace

bool Project::Open(const std::string& source_path, std::string* error) {
    source_path_ = source_path;
    if (!video_.Open(source_path, HostThreadCount(), error)) return false;
    width_ = video_.width();
    height_ = video_.height();
    frame_count_ = video_.frame_count();
    std::string note = video_.MappingNote();
    if (!note.empty()) std::fprintf(stderr, "kinetra: %s: %s\n", source_path.c_str(), note.c_str());
    std::string audio_error;
    if (audio_.Open(source_path, video_.start_seconds(), &audio_error)) {
        audio_rate_ = audio_.rate();
        channels_ = audio_.channels();
    } else {
        audio_rate_ = 48000;
        channels_ = 2;
    }
    return true;
}

void Project::Lengthen(int32_t frames) {
    if (frames > length_bound_) {
        refused_length_ = std::max<int64_t>(refused_length_, frames);
        return;
    }
    frame_count_ = std::max(frame_count_, frames);
}

void Project::ReserveFrames(int32_t count) {
    cache_size_ = std::max(cache_size_, std::min(count, kMaxCachedFrames));
}

const PixelYC* Project::Frame(int32_t f) {
    if (f < 0 || f >= frame_count_) return nullptr;
    for (CachedFrame& c : cache_) {
        if (c.frame == f) {
            c.last_use = ++use_clock_;
            return c.pixels.data();
        }
    }
    CachedFrame* slot = nullptr;
    if (static_cast<int32_t>(cache_.size()) < cache_size_) {
        cache_.emplace_back();
        slot = &cache_.back();
    } else {
        slot = &*std::min_element(
            cache_.begin(), cache_.end(),
            [](const CachedFrame& a, const CachedFrame& b) { return a.last_use < b.last_use; });
    }
    slot->frame = f;
    slot->last_use = ++use_clock_;
    slot->pixels.assign(static_cast<size_t>(width_) * height_, PixelYC{0, 0, 0});
    if (f < video_.frame_count()) {
        const AVFrame* decoded = video_.Frame(f);
        ++decoded_frames_;
        bool ok = decoded != nullptr && decoded->width == width_ && decoded->height == height_ &&
                  converter_.Convert(decoded, slot->pixels.data(), width_);
        if (!ok && decoded != nullptr && decoded->width > 0 && decoded->height > 0) {
            // A frame of another size is drawn top-left and cut.
            PictureYC picture;
            picture.Resize(decoded->width, decoded->height);
            if (converter_.Convert(decoded, picture.pixels.data(), picture.width)) {
                int32_t w = std::min(width_, picture.width);
                for (int32_t y = 0; y < std::min(height_, picture.height); ++y) {
                    std::memcpy(&slot->pixels[size_t(y) * width_],
                                &picture.pixels[size_t(y) * picture.width], sizeof(PixelYC) * w);
                }
                ok = true;
            }
        }
        if (!ok) {
            std::fill(slot->pixels.begin(), slot->pixels.end(), PixelYC{0, 0, 0});
            if (!warned_decode_) {
                std::fprintf(stderr,
                             "kinetra: warning: %s: frame %d cannot be decoded; black instead\n",
                             source_path_.c_str(), f);
                warned_decode_ = true;
            }
        }
    }
    return slot->pixels.data();
}

int64_t Project::AudioStart(int32_t f) const {
    return FrameSampleStart(f, audio_rate_, video_.frame_rate());
}

int32_t Project::ReadAudio(int32_t f, int16_t* out) {
    if (f < 0 || f >= frame_count_) return 0;
    int32_t n = AudioLength(f);
    if (audio_.is_open() && f < video_.frame_count()) {
        audio_.Read(AudioStart(f), n, out);
    } else {
        std::memset(out, 0, sizeof(int16_t) * size_t(n) * channels_);
    }
    return n;
}
