#include "source/project.h"

#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#include "base/host_threads.h"

namespace {

// The most frames a script can ask the host to keep.
constexpr int32_t kMaxCachedFrames = 16;
// How far back (or ahead) of the current frame a script reads without a
// decode: two seconds, at most kMostLookBackFrames frames (two seconds at
// 60 fps). 1080p 4:2:0 8-bit frames are 3.1 MB each as the decoder gives them.
constexpr double kLookBackSeconds = 2.0;
constexpr size_t kMostLookBackFrames = 120;

}  // namespace

bool Project::Open(const std::string& source_path, std::string* error) {
    source_path_ = source_path;
    if (!video_.Open(source_path, HostThreadCount(), error)) return false;
    width_ = video_.width();
    height_ = video_.height();
    frame_count_ = video_.frame_count();
    look_back_frames_ =
        DecodedWindow::FramesFor(video_.frame_rate(), kLookBackSeconds, kMostLookBackFrames);
    SizeWindow();
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
    size_t wanted = static_cast<size_t>(std::clamp(count, 0, kMaxCachedFrames));
    cache_.set_capacity(std::max(cache_.capacity(), wanted));
    reserved_frames_ = std::max(reserved_frames_, wanted);
    SizeWindow();
}

void Project::SizeWindow() {
    // The frames read ahead and the one being decoded are kept too, ahead of
    // the current frame. Behind it, as far as the script has looked (a
    // script that never asks for source frames keeps those few alone).
    size_t ahead = static_cast<size_t>(std::max(ahead_depth_, 1)) + 2;
    size_t back = keep_sources_ ? looked_back_ + reserved_frames_ : 0;
    std::lock_guard<std::mutex> lock(window_mutex_);
    window_.set_capacity(back + ahead);
}

const AVFrame* Project::DecodeSource(int32_t f) {
    const AVFrame* decoded = video_.Frame(f);
    ++decoded_frames_;
    std::lock_guard<std::mutex> lock(window_mutex_);
    window_.Keep(f, decoded);
    return decoded;
}

bool Project::ConvertDecoded(ToYCConverter& converter, const AVFrame* decoded,
                             PixelYC* const* pictures, int32_t count) {
    if (decoded == nullptr) return false;
    if (decoded->width == width_ && decoded->height == height_ &&
        converter.Convert(decoded, pictures, count, width_)) {
        return true;
    }
    if (decoded->width <= 0 || decoded->height <= 0) return false;
    // A frame of another size is drawn top-left and cut.
    PictureYC picture;
    picture.Resize(decoded->width, decoded->height);
    if (!converter.Convert(decoded, picture.pixels.data(), picture.width)) return false;
    size_t pixels = static_cast<size_t>(width_) * height_;
    for (int32_t i = 0; i < count; ++i) {
        std::fill(pictures[i], pictures[i] + pixels, PixelYC{0, 0, 0});
        CopyTopLeft(picture.pixels.data(), picture.width, picture.height, picture.width,
                    pictures[i], width_, height_, width_);
    }
    return true;
}

void Project::Decode(int32_t f, PixelYC* const* pictures, int32_t count) {
    bool ok = false;
    if (f < video_.frame_count()) {
        ok = ConvertDecoded(converter_, DecodeSource(f), pictures, count);
        if (!ok && !warned_decode_.exchange(true)) {
            std::fprintf(stderr,
                         "kinetra: warning: %s: frame %d cannot be decoded; black instead\n",
                         source_path_.c_str(), f);
        }
    }
    if (!ok) {
        size_t pixels = static_cast<size_t>(width_) * height_;
        for (int32_t i = 0; i < count; ++i)
            std::fill(pictures[i], pictures[i] + pixels, PixelYC{0, 0, 0});
    }
}

const PixelYC* Project::Frame(int32_t f) {
    NoteLookBack(f);
    return CachedFrame(f);
}

void Project::NoteLookBack(int32_t f) {
    // Before a frame is current, any frame may come next: the whole reach.
    int64_t distance = current_ < 0 ? INT64_MAX : std::abs(static_cast<int64_t>(current_) - f);
    if (current_ >= 0) farthest_look_ = std::max(farthest_look_, distance);
    size_t reach = static_cast<size_t>(std::min<int64_t>(distance, look_back_frames_));
    bool first = !keep_sources_.exchange(true);
    if (first || reach > looked_back_) {
        looked_back_ = std::max(looked_back_, reach);
        SizeWindow();
        source_copies_ = ahead_form_ == AheadForm::kOneCopy && looked_back_ < cache_.capacity();
    }
}

PixelBuffer* Project::CacheSlot(int32_t f) {
    // A frame further behind the current one than the script has ever looked
    // will not be asked for again while the frames go forward: its picture
    // makes room before the cache grows, so that a script looking one frame
    // back keeps two pictures, not the five a plug-in reserves.
    int32_t stale_before = INT32_MIN;
    if (current_ >= 0) {
        stale_before = static_cast<int32_t>(
            std::max<int64_t>(static_cast<int64_t>(current_) - farthest_look_, INT32_MIN));
    }
    return cache_.Take(f, stale_before);
}

const PixelYC* Project::FrameForCopies(int32_t f) {
    current_ = f;
    return CachedFrame(f);
}

const PixelYC* Project::CachedFrame(int32_t f) {
    if (f < 0 || f >= frame_count_) return nullptr;
    if (PixelBuffer* kept = cache_.Find(f)) return kept->data();
    size_t pixels = static_cast<size_t>(width_) * height_;
    // A frame read ahead is in the window, as decoded.
    int32_t skipped_from = -1;
    TakeAhead(f, nullptr, nullptr, &skipped_from);
    if (skipped_from >= 0) FillWindow(skipped_from, f);
    if (PixelBuffer* kept = cache_.Find(f)) return kept->data();  // its copy came with it
    if (const PixelYC* kept = FromWindow(f)) return kept;
    if (BehindTheRun(f)) {
        if (const PixelYC* picture = DecodeBehind(f)) return picture;
    }
    PixelBuffer* slot = CacheSlot(f);
    slot->resize(pixels);
    PixelYC* picture = slot->data();
    std::lock_guard<std::mutex> lock(source_mutex_);
    Decode(f, &picture, 1);
    return picture;
}

bool Project::TakeCopies(int32_t f, PixelBuffer* edit, PixelBuffer* temp) {
    current_ = f;
    if (f < 0 || f >= frame_count_) return false;
    if (cache_.Holds(f)) return false;  // already current: no copies left
    int32_t skipped_from = -1;
    if (TakeAhead(f, edit, temp, &skipped_from)) return !edit->empty();
    if (skipped_from >= 0) FillWindow(skipped_from, f);
    return false;
}

FramePtr Project::TakeDecoded(int32_t f) {
    current_ = f;
    FramePtr decoded;
    if (f < 0 || f >= frame_count_ || cache_.Holds(f)) return decoded;
    int32_t skipped_from = -1;
    if (TakeAhead(f, nullptr, nullptr, &skipped_from, &decoded)) return decoded;
    if (skipped_from >= 0) FillWindow(skipped_from, f);
    return decoded;
}

const PixelYC* Project::FromWindow(int32_t f) {
    FramePtr decoded;
    {
        std::lock_guard<std::mutex> lock(window_mutex_);
        decoded = window_.Get(f);
    }
    if (!decoded) return nullptr;
    return ConvertIntoCache(f, decoded.get());
}

const PixelYC* Project::ConvertIntoCache(int32_t f, const AVFrame* decoded) {
    PixelBuffer* slot = CacheSlot(f);
    slot->resize(static_cast<size_t>(width_) * height_);
    PixelYC* picture = slot->data();
    if (!ConvertDecoded(window_converter_, decoded, &picture, 1)) {
        cache_.Drop(f);
        return nullptr;
    }
    return picture;
}

bool Project::BehindTheRun(int32_t f) {
    std::lock_guard<std::mutex> lock(ahead_mutex_);
    return ahead_running_ && f < ahead_next_ && f < video_.frame_count();
}

const PixelYC* Project::DecodeBehind(int32_t f) {
    if (!behind_tried_) {
        behind_tried_ = true;
        std::string error;
        behind_.Open(source_path_, HostThreadCount(), &error);
    }
    if (behind_.frame_count() != video_.frame_count()) return nullptr;
    const AVFrame* decoded = behind_.Frame(f);
    ++decoded_frames_;
    // Null: decoded again by the main decoder, which warns.
    return ConvertIntoCache(f, decoded);
}

void Project::FillWindow(int32_t from, int32_t last) {
    {
        std::lock_guard<std::mutex> lock(source_mutex_);
        for (int32_t g = std::max(from, 0); g <= last && g < video_.frame_count(); ++g) {
            bool kept;
            {
                std::lock_guard<std::mutex> window_lock(window_mutex_);
                kept = window_.Holds(g);
            }
            if (!kept) DecodeSource(g);
        }
    }
    std::lock_guard<std::mutex> lock(ahead_mutex_);
    ahead_paused_ = false;
    ahead_changed_.notify_all();
}

// ---- reading ahead -------------------------------------------------------------

void Project::StartReadAhead(int32_t first, int32_t depth) {
    StopReadAhead();
    std::lock_guard<std::mutex> lock(ahead_mutex_);
    ahead_next_ = std::max(first, 0);
    ahead_depth_ = std::max(depth, 1);
    SizeWindow();
    ahead_stop_ = false;
    ahead_paused_ = false;
    ahead_ready_.clear();
    ahead_ready_.reserve(static_cast<size_t>(ahead_depth_) + 1);
    ahead_running_ = true;
    ahead_thread_ = std::thread(&Project::ReadAheadLoop, this);
}

void Project::StopReadAhead() {
    {
        std::lock_guard<std::mutex> lock(ahead_mutex_);
        if (!ahead_running_) return;
        ahead_stop_ = true;
    }
    ahead_changed_.notify_all();
    ahead_thread_.join();
    std::lock_guard<std::mutex> lock(ahead_mutex_);
    ahead_running_ = false;
    SpareReady();
}

void Project::SpareReady() {
    for (AheadFrame& a : ahead_ready_)
        Recycle(&a);
    ahead_ready_.clear();
}

void Project::Recycle(AheadFrame* ahead) {
    // Kept whatever their number (never more than the pictures in flight), so
    // that the steady state allocates nothing.
    for (PixelBuffer* picture : {&ahead->edit, &ahead->temp, &ahead->source})
        Spare(picture);
    ahead->decoded.reset();
}

void Project::Spare(PixelBuffer* picture) {
    if (!picture->empty()) spare_pictures_.push_back(std::move(*picture));
    *picture = PixelBuffer();
}

void Project::CacheSourceCopy(AheadFrame* ahead) {
    if (ahead->source.empty()) return;
    // The slot's storage, an older frame's, goes to the spares with the rest.
    std::swap(*CacheSlot(ahead->frame), ahead->source);
}

PixelBuffer Project::TakeSpare() {
    if (spare_pictures_.empty()) return PixelBuffer();
    PixelBuffer picture = std::move(spare_pictures_.back());
    spare_pictures_.pop_back();
    return picture;
}

bool Project::TakeAhead(int32_t f, PixelBuffer* edit, PixelBuffer* temp, int32_t* skipped_from,
                        FramePtr* decoded) {
    std::unique_lock<std::mutex> lock(ahead_mutex_);
    if (!ahead_running_ || f >= video_.frame_count()) return false;
    for (;;) {
        if (ahead_stop_) return false;  // stopping: nothing more comes
        auto found = std::find_if(ahead_ready_.begin(), ahead_ready_.end(),
                                  [f](const AheadFrame& a) { return a.frame == f; });
        if (found != ahead_ready_.end()) {
            // Frames before f in the queue will not be asked for in order.
            for (auto a = ahead_ready_.begin(); a != found; ++a)
                Recycle(&*a);
            // The pictures change places in the same step as the queue
            // shrinks, so that the thread, woken by that, finds the storage
            // they replace among the spares instead of allocating more.
            if (edit != nullptr) std::swap(*edit, found->edit);
            if (temp != nullptr) std::swap(*temp, found->temp);
            if (decoded != nullptr) *decoded = std::move(found->decoded);
            CacheSourceCopy(&*found);
            Recycle(&*found);
            ahead_ready_.erase(ahead_ready_.begin(), found + 1);
            ahead_changed_.notify_all();
            return true;
        }
        if (f == ahead_busy_) {
            ahead_changed_.wait(lock);
            continue;
        }
        if (f == ahead_next_) {
            // The frame the thread takes next: waiting for it costs no more
            // than decoding it here, keeps this thread free of decoding and
            // keeps the run going. Frames before it will not be asked for in
            // order.
            SpareReady();
            ahead_changed_.notify_all();
            ahead_changed_.wait(lock);
            continue;
        }
        if (f > ahead_next_ && ahead_busy_ >= 0) {
            // A frame the thread is decoding is finished first, so that the
            // frames passed over are decoded after it, never it after them
            // (which would take the decoder back).
            ahead_changed_.wait(lock);
            continue;
        }
        if (f > ahead_next_) {
            // A jump forward: the run goes on after f; f itself is decoded
            // here, after the frames passed over when the window reaches f.
            // The thread waits for those, so as not to seek past them.
            if (skipped_from != nullptr &&
                static_cast<size_t>(f - ahead_next_) < look_back_frames_) {
                *skipped_from = ahead_next_;
                ahead_paused_ = true;
            }
            SpareReady();
            ahead_next_ = f + 1;
            ++ahead_generation_;
            ahead_changed_.notify_all();
        }
        return false;
    }
}

void Project::ReadAheadLoop() {
    int32_t source_frames = video_.frame_count();
    AheadFrame work;
    for (;;) {
        int32_t f;
        bool used[3];  // the edit picture, the temp picture, the cache's copy
        int64_t generation;
        {
            std::unique_lock<std::mutex> lock(ahead_mutex_);
            ahead_changed_.wait(lock, [&] {
                return ahead_stop_ || (!ahead_paused_ && ahead_next_ < source_frames &&
                                       static_cast<int32_t>(ahead_ready_.size()) < ahead_depth_);
            });
            if (ahead_stop_) break;
            f = ahead_next_++;
            ahead_busy_ = f;
            generation = ahead_generation_;
            used[0] = ahead_form_ != AheadForm::kAsDecoded;
            used[1] = ahead_form_ == AheadForm::kTwoCopies;
            used[2] = ahead_form_ == AheadForm::kOneCopy && source_copies_;
            // (A frame dropped by a jump left its pictures in `work`.)
            PixelBuffer* pictures[3] = {&work.edit, &work.temp, &work.source};
            for (int32_t i = 0; i < 3; ++i) {
                if (!used[i])
                    Spare(pictures[i]);
                else if (pictures[i]->empty())
                    *pictures[i] = TakeSpare();
            }
        }
        ReadAheadFrame(f, used, &work);
        std::lock_guard<std::mutex> lock(ahead_mutex_);
        ahead_busy_ = -1;
        if (generation == ahead_generation_) {
            ahead_ready_.push_back(std::move(work));
            work = AheadFrame();
        }
        ahead_changed_.notify_all();
    }
    std::lock_guard<std::mutex> lock(ahead_mutex_);
    ahead_busy_ = -1;
}

void Project::ReadAheadFrame(int32_t f, const bool used[3], AheadFrame* work) {
    work->frame = f;
    std::lock_guard<std::mutex> lock(source_mutex_);
    if (!used[0]) {
        // Kept in the window too, from which a caller that cannot use the
        // picture as it is converts it.
        const AVFrame* decoded = DecodeSource(f);
        if (decoded != nullptr) work->decoded.reset(av_frame_clone(decoded));
        return;
    }
    size_t pixels = static_cast<size_t>(width_) * height_;
    PixelBuffer* copy[3] = {&work->edit, &work->temp, &work->source};
    PixelYC* pictures[3];
    int32_t count = 0;
    for (int32_t i = 0; i < 3; ++i) {
        if (!used[i]) continue;
        copy[i]->resize(pixels);
        pictures[count++] = copy[i]->data();
    }
    Decode(f, pictures, count);
}

int64_t Project::AudioStart(int32_t f) const {
    return FrameSampleStart(f, audio_rate_, video_.frame_rate());
}

int32_t Project::ReadAudio(int32_t f, int16_t* out) {
    if (f < 0 || f >= frame_count_) return 0;
    int32_t n = AudioLength(f);
    if (audio_.is_open() && !audio_unread_ && f < video_.frame_count()) {
        audio_.Read(AudioStart(f), n, out);
    } else {
        std::memset(out, 0, sizeof(int16_t) * size_t(n) * channels_);
    }
    return n;
}
