// The plug-in's YC pixels to RGB and back. The host program converts its
// decoded frames with the same functions, so a picture that passes through
// it unchanged reads exactly as the plug-in would draw it.
#pragma once

#include <cstdint>

#include "common/clamp.h"
#include "kinetra/plugin_abi.h"

struct ColorRGB {
    int32_t r, g, b;
};

// YC to RGB on the 0..4096 scale, each channel truncated toward zero and not
// clamped (results may fall outside 0..4096).
inline ColorRGB YCToRGB(int32_t y, int32_t cb, int32_t cr) {
    ColorRGB rgb;
    rgb.r = static_cast<int32_t>(y + 1.402 * cr);
    rgb.g = static_cast<int32_t>((y - 0.344 * cb) - 0.714 * cr);
    rgb.b = static_cast<int32_t>(y + 1.772 * cb);
    return rgb;
}

// RGB on the 0..4096 scale to YC, with the additions in this order; each
// channel truncated toward zero and stored as its low 16 bits. White gives
// Y 4095: the weights sum to slightly less than one.
inline PixelYC RGBToYC(int32_t r, int32_t g, int32_t b) {
    PixelYC p;
    p.y = Low16(static_cast<int64_t>((0.587 * g + 0.299 * r) + 0.114 * b));
    p.cb = Low16(static_cast<int64_t>(0.5 * b - (0.331 * g + 0.169 * r)));
    p.cr = Low16(static_cast<int64_t>((0.5 * r - 0.419 * g) - 0.081 * b));
    return p;
}
