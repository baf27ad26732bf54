// A few decoded frames kept by frame number. Once it holds `capacity` frames,
// the least recently used one makes room for the next.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

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
    // Whether frame f is kept, without using it.
    bool Holds(int32_t f) const {
        for (const Entry& e : entries_) {
            if (e.frame == f) return true;
        }
        return false;
    }

    // A place for frame f, now the most recently used: a new one while there
    // is room, else the least recently used one, its picture as that frame
    // left it (for its storage to be reused).
    Picture* Take(int32_t f) {
        Entry* slot;
        if (entries_.size() < capacity_) {
            entries_.emplace_back();
            slot = &entries_.back();
        } else {
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
