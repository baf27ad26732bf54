// Integers cut to a buffer's range or to a channel's 16 bits, the same
// everywhere a rectangle is clipped or a channel value stored.
#pragma once

#include <cstdint>

// 0 below 0, max above max, else v: a coordinate cut to 0..max. Takes 64
// bits, so a sum of two 32-bit coordinates is cut without overflowing.
inline int32_t ClampTo(int64_t v, int32_t max) {
    return v < 0 ? 0 : (v > max ? max : static_cast<int32_t>(v));
}

// 1 below 1, max above max, else v: a width or height cut to 1..max.
inline int32_t ClampCount(int32_t v, int32_t max) {
    return v < 1 ? 1 : (v > max ? max : v);
}

// The low 16 bits of an integer, as a channel value (wraps, never clamps).
inline int16_t Low16(int64_t v) {
    return static_cast<int16_t>(static_cast<uint16_t>(v & 0xFFFF));
}
