// Pixel helpers shared by the video commands.
#pragma once

#include <cstdint>

#include "kinetra/plugin_abi.h"

// 0 below 0, max above max, else v.
inline int32_t ClampIndex(int32_t v, int32_t max) {
    return v < 0 ? 0 : (v > max ? max : v);
}

// 1 below 1, max above max, else v.
inline int32_t ClampCount(int32_t v, int32_t max) {
    return v < 1 ? 1 : (v > max ? max : v);
}

// The low 16 bits of an integer, as a channel value (wraps, never clamps).
inline int16_t Low16(int64_t v) {
    return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF));
}

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

// Bilinear blend with 8-bit weights wx (toward p10, p11) and wy (toward p01,
// p11), 0..255 each. The full weight is 255, so even (0, 0) scales a channel
// by 65025/65536.
inline int16_t BlendChannel(int32_t wx, int32_t wy, int32_t c00, int32_t c10, int32_t c01,
                            int32_t c11) {
    int32_t top = c00 * (255 - wx) + c10 * wx;
    int32_t bottom = c01 * (255 - wx) + c11 * wx;
    return static_cast<int16_t>((top * (255 - wy) + bottom * wy) >> 16);
}

inline PixelYC BlendYC4(int32_t wx, int32_t wy, PixelYC p00, PixelYC p10, PixelYC p01,
                        PixelYC p11) {
    PixelYC p;
    p.y = BlendChannel(wx, wy, p00.y, p10.y, p01.y, p11.y);
    p.cb = BlendChannel(wx, wy, p00.cb, p10.cb, p01.cb, p11.cb);
    p.cr = BlendChannel(wx, wy, p00.cr, p10.cr, p01.cr, p11.cr);
    return p;
}
