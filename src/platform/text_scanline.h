// The outline shape's filler: which canvas pixels have their centre inside a
// shape given as straight edges, by the even-odd or the nonzero rule. Not
// anti-aliased: the outline shape is either there or not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "platform/text_engine.h"

namespace platform {

// One straight piece of a shape's outline, in canvas pixels (y down).
struct Edge {
    double x0, y0, x1, y1;
};

// Where an edge crosses the centre line of a pixel row.
struct Crossing {
    int32_t row;
    int32_t winding;  // +1 going down, -1 going up
    double x;
};

// A growable array that reports failed allocations instead of throwing; all
// zero is empty. Free releases it.
template <typename T>
struct ScratchArray {
    T* items;
    size_t count;
    size_t capacity;

    bool Reserve(size_t wanted) {
        if (wanted <= capacity) return true;
        size_t grown = wanted > capacity * 2 + 64 ? wanted : capacity * 2 + 64;
        void* fresh = std::realloc(items, grown * sizeof(T));
        if (fresh == nullptr) return false;
        items = static_cast<T*>(fresh);
        capacity = grown;
        return true;
    }
    bool Push(const T& item) {
        if (!Reserve(count + 1)) return false;
        items[count++] = item;
        return true;
    }
    void Free() {
        std::free(items);
        items = nullptr;
        count = capacity = 0;
    }
};

// Sets the outline weight to 1 for every pixel of `area` (inside the canvas)
// whose centre lies inside the shape the edges enclose; other weights are
// left alone. `crossings` is scratch room kept between calls. False when
// memory runs out (nothing is marked then).
bool MarkCentresInside(const Edge* edges, size_t count, bool even_odd, const TextBox& area,
                       const TextCanvasView& canvas, ScratchArray<Crossing>* crossings);

}  // namespace platform
