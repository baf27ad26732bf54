// The finished weights of recent drawings, for both text engines: a caption
// drawn again with the same font, string, place, outline and canvas size (a
// title that stays on screen) is copied from the cache instead of drawn.
// The key holds everything that decides the weights, so a change of face,
// size, style, outline or code page simply finds nothing. Bounded in bytes;
// the least recently used drawings go first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/text_engine.h"

namespace platform {

// Strings drawn are at most 511 bytes and the terminator.
constexpr size_t kDrawingTextCapacity = 512;
// Weights kept at most, in bytes (two full 1080p canvases).
constexpr size_t kDrawingCacheBytes = size_t(8) << 20;

struct DrawingKey {
    uint64_t font;  // the engine's identity of the current font, never reused
    int32_t x;
    int32_t y;
    int32_t align;
    int32_t outline_width;
    int32_t canvas_width;
    int32_t canvas_height;
    TextCodePage code_page;  // the text's, current when the key was made
    char text[kDrawingTextCapacity];
};

// Fills `key` for a drawing; false when the text is too long to be a key.
bool MakeDrawingKey(uint64_t font, const char* text, int32_t x, int32_t y, TextAlign align,
                    int32_t outline_width, const TextCanvasView& canvas, DrawingKey* key);

// Copies the weights of a cached drawing of `key` into the all-zero canvas
// and sets `box`; false when there is none.
bool FindDrawing(const DrawingKey& key, const TextCanvasView& canvas, TextBox* box);

// Keeps the weights inside `box` of a finished drawing (nothing when they
// would not fit in the cache's bytes or memory runs out).
void StoreDrawing(const DrawingKey& key, const TextCanvasView& canvas, const TextBox& box);

// Forgets every drawing and frees the memory.
void ClearDrawings();

// Bytes the cache holds now.
size_t DrawingCacheBytes();

}  // namespace platform
