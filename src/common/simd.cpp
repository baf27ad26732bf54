#include "common/simd.h"

#include <atomic>

namespace simd {

namespace {

std::atomic<bool> s_allowed{true};

bool ProcessorHasAvx2() {
#if KINETRA_HAVE_AVX2
    // Also true only where the system saves the wide registers.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

}  // namespace

bool UseAvx2() {
    static const bool has = ProcessorHasAvx2();
    return has && s_allowed.load(std::memory_order_relaxed);
}

void AllowAvx2(bool allowed) {
    s_allowed.store(allowed, std::memory_order_relaxed);
}

}  // namespace simd
