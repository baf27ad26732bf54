// Wide-vector builds of the heaviest pixel loops.
//
// On x86 built with GCC (Linux and Windows, 32-bit and 64-bit), a kernel may
// be compiled again for AVX2 (KINETRA_TARGET_AVX2 on the function), and some
// also for AVX-512 (KINETRA_TARGET_AVX512), each chosen at run time when the
// processor and the system support it. Every build gives the same result for
// every value, so the results never depend on the build taken: most do the
// same IEEE operations in the same order without fused multiply-adds; the few
// that fuse them say why their results cannot differ. Elsewhere only the
// portable build exists.
//
// The 32-bit plug-ins (the editor's among them) take the AVX2 builds but
// never the AVX-512 ones: with eight vector registers those would mostly
// spill, and the emulator the 32-bit tests run under has no AVX-512, so they
// would run untested. They are compiled there all the same, which keeps the
// kernels free of a second condition.
#pragma once

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__) && !defined(__clang__)
#define KINETRA_HAVE_AVX2 1
#define KINETRA_TARGET_AVX2 __attribute__((target("avx2")))
// The AVX-512 builds also take AVX2's and FMA's instructions, for the values
// they handle in narrower vectors.
#define KINETRA_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512dq,avx512vl,avx2,fma")))
#else
#define KINETRA_HAVE_AVX2 0
#define KINETRA_TARGET_AVX2
#define KINETRA_TARGET_AVX512
#endif

// For the small templates a kernel is made of, so that each build gets its
// own inlined copy.
#define KINETRA_INLINE inline __attribute__((always_inline))

namespace simd {

// The builds a kernel may have, narrowest first.
enum class Width { kPortable, kAvx2, kAvx512 };

// True when the AVX2 builds may run: built in, supported here, and allowed.
bool UseAvx2();

// True when the AVX-512 builds may run (AVX-512 F, BW, DQ and VL with FMA):
// built in, supported here, and allowed.
bool UseAvx512();

// Tests limit the builds taken to `widest` and narrower ones, to compare them
// with each other; every build is allowed by default.
void AllowUpTo(Width widest);

}  // namespace simd
