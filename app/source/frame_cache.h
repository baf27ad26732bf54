// Decoded frames kept by frame number. FrameCache keeps a few pictures; once
// it holds `capacity` of them, the least recently used one makes room for the
// next. DecodedWindow keeps the last frames a decoder gave, as it gave them
// (references to its YUV pictures, not converted), so that a look back at any
// of them costs a conversion, not a seek and a decode.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "base/ffmpeg_util.h"

template <class Picture>
class FrameCache {
  public:
    explicit FrameCache(size_t capacity) : capacity_(capacity) {}

    size_t capacity() const { return capacity_; }
    // A larger capacity keeps more frames; a smaller one drops none until
    // frames are next taken.
    void set_capacity(size_t capacity) { capacity_ = capacity; }

    // Frame f's picture, now the most recently used; null when not kept.
    Picture* Find(int32_t f) {
        for (Entry& e : entries_) {
            if (e.frame == f) {
                e.last_use = ++clock_;
                return &e.picture;
            }
        }
        return nullptr;
    }
    // Frame f's picture without using it (it keeps its place in the order
    // of use); null when not kept.
    Picture* Peek(int32_t f) {
        for (Entry& e : entries_) {
            if (e.frame == f) return &e.picture;
        }
        return nullptr;
    }
    // Whether frame f is kept, without using it.
    bool Holds(int32_t f) const {
        for (const Entry& e : entries_) {
            if (e.frame == f) return true;
        }
        return false;
    }

    // A place for frame f, now the most recently used: a new one while there
    // is room, else the least recently used one, its picture as that frame
    // left it (for its storage to be reused). Frames numbered below
    // `stale_before` will not be asked for again: the least recently used of
    // them gives up its place first, before the cache grows.
    Picture* Take(int32_t f, int32_t stale_before = INT32_MIN) {
        Entry* slot = nullptr;
        for (Entry& e : entries_) {
            if (e.frame < stale_before && (slot == nullptr || e.last_use < slot->last_use))
                slot = &e;
        }
        if (slot == nullptr && entries_.size() < capacity_) {
            entries_.emplace_back();
            slot = &entries_.back();
        } else if (slot == nullptr) {
            slot = &*std::min_element(
                entries_.begin(), entries_.end(),
                [](const Entry& a, const Entry& b) { return a.last_use < b.last_use; });
        }
        slot->frame = f;
        slot->last_use = ++clock_;
        return &slot->picture;
    }

    // Forgets frame f (its place is the first taken again).
    void Drop(int32_t f) {
        for (Entry& e : entries_) {
            if (e.frame == f) {
                e.frame = -1;
                e.last_use = 0;
            }
        }
    }

  private:
    struct Entry {
        int32_t frame = -1;
        int64_t last_use = 0;
        Picture picture;
    };
    std::vector<Entry> entries_;
    size_t capacity_;
    int64_t clock_ = 0;
};

// The last `capacity` frames kept, in the order they were kept: a frame looked
// at stays no longer than one that was not, so that a render going forward and
// looking K frames back finds every frame K back while K fits.
class DecodedWindow {
  public:
    // Frames kept for a look back of `seconds` at `rate` frames per second,
    // at most `most`.
    static size_t FramesFor(AVRational rate, double seconds, size_t most) {
        double frames = rate.num > 0 && rate.den > 0 ? std::ceil(seconds * av_q2d(rate)) : 0;
        return std::min(static_cast<size_t>(std::max(frames, 0.0)), most);
    }

    size_t capacity() const { return frames_.capacity(); }
    void set_capacity(size_t capacity) { frames_.set_capacity(capacity); }

    // Keeps a reference to the decoded frame f (the decoder's picture is not
    // copied; a frame that cannot be referenced is not kept).
    void Keep(int32_t f, const AVFrame* decoded) {
        if (decoded == nullptr || frames_.capacity() == 0 || frames_.Holds(f)) return;
        FramePtr* slot = frames_.Take(f);
        if (!*slot) slot->reset(av_frame_alloc());
        if (!*slot) return frames_.Drop(f);
        av_frame_unref(slot->get());
        if (av_frame_ref(slot->get(), decoded) < 0) frames_.Drop(f);
    }
    // A new reference to frame f, valid whatever is kept later; null when f
    // is not kept.
    FramePtr Get(int32_t f) {
        FramePtr* kept = frames_.Peek(f);
        if (kept == nullptr || !*kept) return FramePtr();
        return FramePtr(av_frame_clone(kept->get()));
    }
    bool Holds(int32_t f) const { return frames_.Holds(f); }

  private:
    FrameCache<FramePtr> frames_{0};
};
