// Running one script on one frame of a small project and reading a buffer
// back, for the tests of the image effects.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "support/test_host.h"

namespace effects {

using testhost::Picture;
using testhost::TestHost;

using PixelFn = std::function<PixelYC(int32_t x, int32_t y)>;

inline bool SamePixel(PixelYC a, PixelYC b) {
    return a.y == b.y && a.cb == b.cb && a.cr == b.cr;
}

inline PixelYC YC(int32_t y, int32_t cb = 0, int32_t cr = 0) {
    return PixelYC{int16_t(y), int16_t(cb), int16_t(cr)};
}

// A picture whose every pixel differs from its neighbours: Y spans about
// -100..4300 and Cb, Cr -2200..2200, so values outside the usual ranges and
// negative ones occur too.
inline PixelYC Noise(int32_t x, int32_t y) {
    uint32_t h = uint32_t(x) * 73856093u ^ uint32_t(y) * 19349663u;
    h ^= h >> 13;
    h *= 0x5BD1E995u;
    h ^= h >> 15;
    return YC(int32_t(h % 4400) - 100, int32_t((h >> 12) % 4400) - 2200,
              int32_t((h >> 20) % 4400) - 2200);
}

// Frame 0 of a max_w x max_h project whose frame (buffers 0 and 1) is
// `frame`, after `script` ran with `threads` workers; the picture of buffer
// `shown` (0: buffer 0 as the script left it).
inline Picture Render(int32_t max_w, int32_t max_h, PixelFn frame, const std::string& script,
                      int32_t shown = 0, int threads = 2) {
    TestHost host(max_w, max_h, 1, threads);
    host.project_pixel = [frame](int32_t, int32_t x, int32_t y) { return frame(x, y); };
    host.WriteScript(script);
    host.tracks[0] = shown;
    host.RunVideo(0);
    return host.output();
}

// The frame itself, as Render starts it.
inline Picture Frame(int32_t max_w, int32_t max_h, PixelFn frame) {
    Picture p{max_w, max_h, {}};
    for (int32_t y = 0; y < max_h; ++y) {
        for (int32_t x = 0; x < max_w; ++x) {
            p.pixels.push_back(frame(x, y));
        }
    }
    return p;
}

// The first pixel where two pictures differ, as "(x, y): a vs b", or "".
inline std::string FirstDifference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) return "sizes differ";
    for (int32_t y = 0; y < a.height; ++y) {
        for (int32_t x = 0; x < a.width; ++x) {
            PixelYC p = a.pixels[size_t(y) * a.width + x], q = b.pixels[size_t(y) * b.width + x];
            if (!SamePixel(p, q)) {
                return "(" + std::to_string(x) + ", " + std::to_string(y) +
                       "): " + std::to_string(p.y) + "," + std::to_string(p.cb) + "," +
                       std::to_string(p.cr) + " vs " + std::to_string(q.y) + "," +
                       std::to_string(q.cb) + "," + std::to_string(q.cr);
            }
        }
    }
    return "";
}

}  // namespace effects
