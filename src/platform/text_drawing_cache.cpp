#include "platform/text_drawing_cache.h"

#include <cstdlib>
#include <cstring>

#include "platform/text_codepage.h"

namespace platform {
namespace {

constexpr int32_t kDrawingSlots = 8;

struct CachedDrawing {
    bool used;
    uint64_t last_use;
    DrawingKey key;
    TextBox box;
    TextWeights* weights;  // box width x box height, row by row; null: empty box
    size_t bytes;
};

struct DrawingCache {
    CachedDrawing slots[kDrawingSlots];
    uint64_t clock;
    size_t bytes;
};

DrawingCache g_drawings;

bool SameKey(const DrawingKey& a, const DrawingKey& b) {
    return a.font == b.font && a.x == b.x && a.y == b.y && a.align == b.align &&
           a.outline_width == b.outline_width && a.canvas_width == b.canvas_width &&
           a.canvas_height == b.canvas_height && a.code_page == b.code_page &&
           std::strcmp(a.text, b.text) == 0;
}

void Forget(CachedDrawing* slot) {
    std::free(slot->weights);
    g_drawings.bytes -= slot->bytes;
    *slot = CachedDrawing{};
}

// The least recently used drawing; null when there is none.
CachedDrawing* Oldest() {
    CachedDrawing* oldest = nullptr;
    for (CachedDrawing& slot : g_drawings.slots) {
        if (slot.used && (oldest == nullptr || slot.last_use < oldest->last_use)) oldest = &slot;
    }
    return oldest;
}

}  // namespace

bool MakeDrawingKey(uint64_t font, const char* text, int32_t x, int32_t y, TextAlign align,
                    int32_t outline_width, const TextCanvasView& canvas, DrawingKey* key) {
    size_t length = std::strlen(text);
    if (length >= kDrawingTextCapacity) return false;
    std::memset(key, 0, sizeof *key);
    key->font = font;
    key->x = x;
    key->y = y;
    key->align = static_cast<int32_t>(align);
    key->outline_width = outline_width > 0 ? outline_width : 0;
    key->canvas_width = canvas.width;
    key->canvas_height = canvas.height;
    key->code_page = CurrentTextCodePage();
    std::memcpy(key->text, text, length + 1);
    return true;
}

bool FindDrawing(const DrawingKey& key, const TextCanvasView& canvas, TextBox* box) {
    for (CachedDrawing& slot : g_drawings.slots) {
        if (!slot.used || !SameKey(slot.key, key)) continue;
        slot.last_use = ++g_drawings.clock;
        *box = slot.box;
        size_t width = size_t(slot.box.right - slot.box.left);
        for (int32_t y = slot.box.top; y < slot.box.bottom; ++y) {
            std::memcpy(canvas.pixels + size_t(y) * size_t(canvas.width) + slot.box.left,
                        slot.weights + size_t(y - slot.box.top) * width,
                        width * sizeof(TextWeights));
        }
        return true;
    }
    return false;
}

void StoreDrawing(const DrawingKey& key, const TextCanvasView& canvas, const TextBox& box) {
    bool empty = IsEmptyBox(box);
    size_t width = empty ? 0 : size_t(box.right - box.left);
    size_t height = empty ? 0 : size_t(box.bottom - box.top);
    size_t bytes = width * height * sizeof(TextWeights);
    if (bytes > kDrawingCacheBytes) return;
    // Room for the new weights and a slot: the least recently used go first.
    while (g_drawings.bytes + bytes > kDrawingCacheBytes)
        Forget(Oldest());
    CachedDrawing* slot = nullptr;
    for (CachedDrawing& candidate : g_drawings.slots) {
        if (!candidate.used) slot = &candidate;
    }
    if (slot == nullptr) {
        slot = Oldest();
        Forget(slot);
    }
    TextWeights* weights = nullptr;
    if (bytes > 0) {
        weights = static_cast<TextWeights*>(std::malloc(bytes));
        if (weights == nullptr) return;
        for (size_t row = 0; row < height; ++row) {
            std::memcpy(weights + row * width,
                        canvas.pixels + (size_t(box.top) + row) * size_t(canvas.width) + box.left,
                        width * sizeof(TextWeights));
        }
    }
    *slot = CachedDrawing{true, ++g_drawings.clock, key, empty ? TextBox{0, 0, 0, 0} : box, weights,
                          bytes};
    g_drawings.bytes += bytes;
}

void ClearDrawings() {
    for (CachedDrawing& slot : g_drawings.slots) {
        if (slot.used) Forget(&slot);
    }
    g_drawings.clock = 0;
}

size_t DrawingCacheBytes() {
    return g_drawings.bytes;
}

}  // namespace platform
