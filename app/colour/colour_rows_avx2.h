// The explicit AVX2 kernels of the one-pass path (colour_rows_avx2.cpp). A
// kernel converts one group of rows (the luma rows that share a chroma row) of
// a planar or semi-planar layout, a step of sixteen pixels at a time
// (thirty-two for 8-bit samples), with the arithmetic of the plain rows
// (colour_rows.h) step for step, so that the two give the same bits. It
// converts the pixels [0, width) of its rows, width a multiple of its step;
// the plain rows convert the rest. The kernels run where they are built (GCC
// or Clang for x86-64) and the processor has AVX2 (HaveAvx2Rows); the
// converters choose one per layout. Internal to app/colour.
#pragma once

#include <cstdint>

#include "colour/colour_coefficients.h"
#include "colour/colour_layout.h"
#include "kinetra/plugin_abi.h"

namespace colour_detail {

// The most pictures a conversion kernel writes at once (more are copies).
constexpr int32_t kPicturesAtOnce = 4;

// Pixels [0, width) of the luma rows `luma` (`rows` of them) and their chroma
// row `c` to YC, written to `outs` (row r of picture i at outs[r * count + i],
// count at most kPicturesAtOnce). y_bits and c_bits: the low padding bits of
// the luma and the chroma samples.
template <typename T>
using ToYCKernel = void (*)(const T* const* luma, int32_t rows, ChromaRow<const T> c,
                            const DirectCoefficients& k, int32_t y_bits, int32_t c_bits,
                            PixelYC* const* outs, int32_t count, int32_t width);

// Pixels [0, width) of the YC rows `in` (`rows` of them) to the luma rows
// `luma` and their chroma row `c` (the chroma of the rows averaged).
template <typename T>
using FromYCKernel = void (*)(const PixelYC* const* in, int32_t rows, const DirectCoefficients& k,
                              int32_t y_bits, int32_t c_bits, T* const* luma, ChromaRow<T> c,
                              int32_t width);

// The four builds of a kernel: chroma halved across (4:2:0, 4:2:2) or not
// (4:4:4), in two planes or in one plane of Cb, Cr pairs; and the pixels they
// convert a step. All null where the kernels are not built.
template <typename K>
struct KernelBuilds {
    K halved_planar = nullptr;
    K halved_paired = nullptr;
    K full_planar = nullptr;
    K full_paired = nullptr;
    int32_t step = 1;
};

// Whether the kernels may run here: they are built and the processor has AVX2.
bool HaveAvx2Rows();

// The kernels of samples stored in T: uint8_t (8-bit samples, in fixed point)
// or uint16_t (9 to 16 bits, in single precision).
template <typename T>
KernelBuilds<ToYCKernel<T>> ToYCKernels();
template <typename T>
KernelBuilds<FromYCKernel<T>> FromYCKernels();

}  // namespace colour_detail
