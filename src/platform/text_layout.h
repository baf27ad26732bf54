// The text engines' layout arithmetic: where a string starts for its
// alignment, whole-pixel advances, and the canvas pixels a shape may touch.
// Positions are whole canvas pixels (x right, y down); shapes are measured in
// 26.6 fixed point (64 units a pixel) with y up from the baseline.
#pragma once

#include <cstdint>

#include "platform/text_engine.h"

namespace platform {

// floor(value / divisor) for divisor > 0.
int64_t FloorDiv(int64_t value, int64_t divisor);

// The left end of a string `width` pixels wide anchored at x.
int64_t AlignedStart(int64_t x, int64_t width, TextAlign align);

// A glyph's advance rounded to whole pixels, never negative.
int64_t WholePixelAdvance(int64_t advance_26_6);

// Grows `box` to hold `part` too; empty parts change nothing.
void AddToBox(TextBox* box, const TextBox& part);

// A shape's control box in 26.6 units relative to its origin.
struct ShapeBounds {
    int64_t x_min, y_min, x_max, y_max;
};

// The canvas pixels a shape with `bounds` may mark when its origin lies at
// canvas pixel (origin_x, baseline): its box widened by a pixel for the
// anti-aliased edge and by half of `outline_width` for the stroke, cut to the
// canvas of `width` x `height`. Empty when the shape misses the canvas.
TextBox ShapeArea(const ShapeBounds& bounds, int64_t origin_x, int64_t baseline,
                  int32_t outline_width, int32_t width, int32_t height);

}  // namespace platform
