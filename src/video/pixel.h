// Pixel helpers shared by the video commands (the clamps and the YC-RGB
// conversions, which the host program shares too, live in src/common).
#pragma once

#include <cstdint>

#include "common/clamp.h"
#include "common/yc_rgb.h"
#include "kinetra/plugin_abi.h"
#include "script/arguments.h"

// The colour of arguments k, k+1, k+2 of a line: Y, Cb, Cr stored as their
// low 16 bits (ArgColorYC), or R, G, B on the 0..4096 scale converted
// (ArgColorRGB).
inline PixelYC ArgColorYC(int32_t line, int k) {
    return {Low16(ArgInt(line, k)), Low16(ArgInt(line, k + 1)), Low16(ArgInt(line, k + 2))};
}
inline PixelYC ArgColorRGB(int32_t line, int k) {
    return RGBToYC(ArgInt(line, k), ArgInt(line, k + 1), ArgInt(line, k + 2));
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
