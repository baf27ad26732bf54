#include "common/simd.h"

#include <atomic>

namespace simd {

namespace {

std::atomic<Width> s_widest{Width::kAvx512};

// Each is also true only where the system saves the wide registers.
bool ProcessorHasAvx2() {
#if KINETRA_HAVE_AVX2
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
#else
    return false;
#endif
}

// In 64-bit code only (see simd.h).
bool ProcessorHasAvx512() {
#if KINETRA_HAVE_AVX2 && defined(__x86_64__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
           __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
    return false;
#endif
}

}  // namespace

bool UseAvx2() {
    static const bool has = ProcessorHasAvx2();
    return has && s_widest.load(std::memory_order_relaxed) >= Width::kAvx2;
}

bool UseAvx512() {
    static const bool has = ProcessorHasAvx512();
    return has && s_widest.load(std::memory_order_relaxed) >= Width::kAvx512;
}

void AllowUpTo(Width widest) {
    s_widest.store(widest, std::memory_order_relaxed);
}

}  // namespace simd
