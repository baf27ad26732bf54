#include "platform/text_layout.h"

#include <algorithm>

#include "common/clamp.h"

namespace platform {
int64_t FloorDiv(int64_t value, int64_t divisor) {
    int64_t q = value / divisor;
    return (value % divisor != 0 && value < 0) ? q - 1 : q;
}

int64_t AlignedStart(int64_t x, int64_t width, TextAlign align) {
    if (align == TextAlign::kEndAtX) return x - width;
    if (align == TextAlign::kCentreOnX) return x - width / 2;
    return x;
}

int64_t WholePixelAdvance(int64_t advance_26_6) {
    return std::max<int64_t>(0, (advance_26_6 + 32) >> 6);
}

void AddToBox(TextBox* box, const TextBox& part) {
    if (IsEmptyBox(part)) return;
    if (IsEmptyBox(*box)) {
        *box = part;
        return;
    }
    box->left = std::min(box->left, part.left);
    box->top = std::min(box->top, part.top);
    box->right = std::max(box->right, part.right);
    box->bottom = std::max(box->bottom, part.bottom);
}

TextBox ShapeArea(const ShapeBounds& bounds, int64_t origin_x, int64_t baseline,
                  int32_t outline_width, int32_t width, int32_t height) {
    int64_t margin = 64 + (outline_width > 0 ? int64_t(outline_width) * 32 : 0);
    return TextBox{ClampTo(FloorDiv(origin_x * 64 + bounds.x_min - margin, 64), width),
                   ClampTo(FloorDiv(baseline * 64 - bounds.y_max - margin, 64), height),
                   ClampTo(FloorDiv(origin_x * 64 + bounds.x_max + margin + 63, 64), width),
                   ClampTo(FloorDiv(baseline * 64 - bounds.y_min + margin + 63, 64), height)};
}

}  // namespace platform
