// Wide-vector builds of the heaviest pixel loops.
//
// On 64-bit x86 Linux built with GCC, a kernel may be compiled a second time
// for AVX2 (KINETRA_TARGET_AVX2 on the function) and chosen at run time when
// the processor and the system support it. Both builds do the same IEEE
// operations on every value, in the same order and without fused
// multiply-adds, so the results never depend on the build taken. Everywhere
// else (the 32-bit Windows plug-in among them) only the portable build exists.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(_WIN32)
#define KINETRA_HAVE_AVX2 1
#define KINETRA_TARGET_AVX2 __attribute__((target("avx2")))
#else
#define KINETRA_HAVE_AVX2 0
#define KINETRA_TARGET_AVX2
#endif

// For the small templates a kernel is made of, so that each build gets its
// own inlined copy.
#define KINETRA_INLINE inline __attribute__((always_inline))

namespace simd {

// True when the AVX2 builds may run: built in, supported here, and allowed.
bool UseAvx2();

// Tests turn the AVX2 builds off (false) to compare them with the portable
// ones; on by default.
void AllowAvx2(bool allowed);

}  // namespace simd
