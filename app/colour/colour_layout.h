// Where the samples of a planar or semi-planar YUV picture are: each
// component's plane, step, offset and padding bits, the chroma subsampling,
// and the rows of a frame's planes that the one-pass path reads and writes a
// group at a time (the luma rows that share one chroma row). Shared by the
// plain rows, the AVX2 kernels and the converters. Internal to app/colour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

namespace colour_detail {

struct YuvLayout {
    int32_t depth = 8;                     // bits per sample
    int32_t bytes = 1;                     // bytes per stored sample: 1 or 2
    int32_t log2_cw = 0, log2_ch = 0;      // chroma subsampling
    int32_t plane[3], step[3], offset[3];  // step and offset in samples
    int32_t shift[3];                      // low padding bits (p010)
};

// The layout of a format of the one-pass path: little-endian YUV of 8 to 16
// bits, luma in a plane of its own, chroma halved at most. False (and *l
// unspecified) for any other format.
bool DescribeYuv(AVPixelFormat format, YuvLayout* l);

// The luma rows that share one chroma row: one, or two in 4:2:0 (one at an
// odd picture's last row).
struct RowGroup {
    int32_t rows = 0;
    int32_t y0 = 0;  // the first luma row
};

// The luma rows that share chroma row cy.
RowGroup GroupOf(const YuvLayout& l, int32_t cy, int32_t height);

// Where the chroma samples of a row are: two planes (step 1) or one plane of
// pairs (step 2; `cb_first` when Cb comes first in a pair).
template <typename T>
struct ChromaRow {
    T* cb;
    T* cr;
    T* pairs;
    bool cb_first;
};

// Chroma planes the kernels know: two planes of consecutive samples, or one
// plane of Cb, Cr pairs.
bool ChromaPlanar(const YuvLayout& l);
bool ChromaPaired(const YuvLayout& l);

// The first sample of a component (at `offset` samples) in a row of a plane.
template <typename T>
const T* SampleRow(const AVFrame* f, int32_t plane, int32_t row, int32_t offset) {
    return reinterpret_cast<const T*>(f->data[plane] + ptrdiff_t(row) * f->linesize[plane]) +
           offset;
}

template <typename T>
T* SampleRow(AVFrame* f, int32_t plane, int32_t row, int32_t offset) {
    return reinterpret_cast<T*>(f->data[plane] + ptrdiff_t(row) * f->linesize[plane]) + offset;
}

// Chroma row cy of a frame (AVFrame or const AVFrame, T const accordingly).
template <typename T, typename F>
ChromaRow<T> ChromaRowOf(F* f, const YuvLayout& l, int32_t cy) {
    ChromaRow<T> c;
    c.cb = SampleRow<typename std::remove_const<T>::type>(f, l.plane[1], cy, l.offset[1]);
    c.cr = SampleRow<typename std::remove_const<T>::type>(f, l.plane[2], cy, l.offset[2]);
    c.cb_first = l.offset[1] < l.offset[2];
    c.pairs = c.cb_first ? c.cb : c.cr;
    return c;
}

}  // namespace colour_detail
