// Copies that write around the caches.
//
// Copying a picture larger than the caches first reads every destination line
// into them, only to overwrite it, and pushes out what they held on the way.
// Streaming stores write whole lines straight to memory instead: a third less
// traffic, and the caches keep what they had. These stores are weakly
// ordered, so a thread ends its share of the work with StreamFence before any
// other thread may read what it wrote.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace memory {

// Copies of at least this many bytes in all are worth writing around the
// caches: more than the nearer caches of any current processor hold.
constexpr size_t kStreamCopyBytes = size_t{4} << 20;

// memcpy for non-overlapping ranges, with streaming stores where the machine
// has them.
inline void StreamCopy(void* to, const void* from, size_t bytes) {
#if defined(__SSE2__)
    char* d = static_cast<char*>(to);
    const char* s = static_cast<const char*>(from);
    size_t head = (16 - (reinterpret_cast<uintptr_t>(d) & 15)) & 15;
    if (head > bytes) head = bytes;
    std::memcpy(d, s, head);
    d += head;
    s += head;
    bytes -= head;
    for (; bytes >= 64; bytes -= 64, d += 64, s += 64) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 16));
        __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 32));
        __m128i e = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(d), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(d + 48), e);
    }
    std::memcpy(d, s, bytes);
#else
    std::memcpy(to, from, bytes);
#endif
}

// Makes this thread's streaming stores visible before what follows.
inline void StreamFence() {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

}  // namespace memory
