#include "platform/text_scanline.h"

#include <algorithm>
#include <cmath>

namespace platform {
namespace {

int32_t ClampPixel(double x, const TextBox& area) {
    if (!(x > area.left)) return area.left;
    if (x > area.right) return area.right;
    return int32_t(x);
}

int32_t ClampRow(double y, const TextBox& area) {
    if (!(y > area.top)) return area.top;
    if (y > area.bottom) return area.bottom;
    return int32_t(y);
}

// Collects, row by row, where the edges cross the centre lines y + 0.5 of the
// rows of `area`, sorted by row and then by x. False when memory runs out.
bool CollectCrossings(const Edge* edges, size_t count, const TextBox& area,
                      ScratchArray<Crossing>* crossings) {
    crossings->count = 0;
    for (size_t i = 0; i < count; ++i) {
        const Edge& edge = edges[i];
        bool down = edge.y1 > edge.y0;
        double low = down ? edge.y0 : edge.y1, high = down ? edge.y1 : edge.y0;
        // Rows whose centre lies in [low, high).
        int32_t first = ClampRow(std::ceil(low - 0.5), area);
        int32_t end = ClampRow(std::ceil(high - 0.5), area);
        double slope = (edge.x1 - edge.x0) / (edge.y1 - edge.y0);
        for (int32_t row = first; row < end; ++row) {
            double x = edge.x0 + (row + 0.5 - edge.y0) * slope;
            if (!crossings->Push(Crossing{row, down ? 1 : -1, x})) return false;
        }
    }
    std::sort(crossings->items, crossings->items + crossings->count,
              [](const Crossing& a, const Crossing& b) {
                  return a.row != b.row ? a.row < b.row : a.x < b.x;
              });
    return true;
}

}  // namespace

bool MarkCentresInside(const Edge* edges, size_t count, bool even_odd, const TextBox& area,
                       const TextCanvasView& canvas, ScratchArray<Crossing>* crossings) {
    if (!CollectCrossings(edges, count, area, crossings)) return false;
    const Crossing* next = crossings->items;
    const Crossing* const last = crossings->items + crossings->count;
    while (next != last) {
        int32_t row = next->row;
        TextWeights* line = canvas.pixels + size_t(row) * size_t(canvas.width);
        int32_t winding = 0;
        bool inside = false;
        for (; next + 1 != last && next[1].row == row; ++next) {
            winding += next->winding;
            inside = even_odd ? !inside : winding != 0;
            if (!inside) continue;
            // Pixels whose centres x + 0.5 lie between the two crossings.
            int32_t x0 = ClampPixel(std::ceil(next[0].x - 0.5), area);
            int32_t x1 = ClampPixel(std::ceil(next[1].x - 0.5), area);
            for (int32_t x = x0; x < x1; ++x)
                line[x].outline = 1;
        }
        ++next;  // the row's last crossing
    }
    return true;
}

}  // namespace platform
