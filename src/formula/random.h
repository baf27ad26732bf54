// The process-wide 15-bit pseudo-random generator behind "rand(" and the
// random commands. Never seeded by the plug-in, so every process draws the
// same sequence.
#pragma once

#include <cstdint>

constexpr int32_t kRandomMax = 32767;

// The generator's state: x <- x * 214013 + 2531011 (32-bit wrap-around),
// result (x >> 16) & 0x7FFF.
struct RandomState {
    uint32_t x;
};

// Next value 0..32767 of the given generator, advancing it.
inline int32_t RandomNext(RandomState* state) {
    state->x = state->x * 214013u + 2531011u;
    return static_cast<int32_t>((state->x >> 16) & 0x7FFF);
}

// The shared generator (starts at x = 1). Only the calling thread may draw
// from it; worker threads keep generators of their own.
RandomState* SharedRandom();
inline int32_t SharedRandomNext() { return RandomNext(SharedRandom()); }
