// Colour conversion of whole pictures (see colour.h): the converters, which
// take YUV pictures of a planar or semi-planar layout in one pass, a group of
// rows at a time over the host's threads, with the AVX2 kernel of their layout
// where there is one (colour_rows_avx2.h) and the plain rows for the rest
// (colour_rows.h), and any other format through swscale and the RGB rows.
#include "colour/colour.h"

#include <algorithm>
#include <cmath>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "base/host_threads.h"
#include "base/worker_pool.h"
#include "colour/colour_coefficients.h"
#include "colour/colour_exact.h"
#include "colour/colour_layout.h"
#include "colour/colour_rows.h"
#include "colour/colour_rows_avx2.h"

using colour_detail::ChromaPaired;
using colour_detail::ChromaPlanar;
using colour_detail::ChromaRowOf;
using colour_detail::CoefficientsFor;
using colour_detail::DescribeYuv;
using colour_detail::DirectCoefficients;
using colour_detail::ExactCoefficients;
using colour_detail::ExactCoefficientsFor;
using colour_detail::ExactDrift;
using colour_detail::ExactFromYC;
using colour_detail::ExactToYC;
using colour_detail::FromYCKernel;
using colour_detail::FromYCKernels;
using colour_detail::GroupOf;
using colour_detail::HaveAvx2Rows;
using colour_detail::KernelBuilds;
using colour_detail::kPicturesAtOnce;
using colour_detail::PlainFixedFromYC;
using colour_detail::PlainFixedToYC;
using colour_detail::PlainFromYC;
using colour_detail::PlainToYC;
using colour_detail::RowGroup;
using colour_detail::SampleRow;
using colour_detail::ToYCKernel;
using colour_detail::ToYCKernels;
using colour_detail::YuvLayout;

namespace {

// Decoding upsamples chroma by repetition, encoding averages it: a picture
// that makes the round trip gets its chroma samples back.
constexpr int kDecodeFlags = SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT;
constexpr int kEncodeFlags = SWS_AREA | SWS_ACCURATE_RND | SWS_BITEXACT;
// Pictures with fewer rows than this convert on one thread.
constexpr int32_t kParallelRows = 64;

bool IsRgbFormat(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    return d != nullptr && (d->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL)) != 0;
}

bool IsFullRangeFormat(AVPixelFormat format) {
    switch (format) {
        case AV_PIX_FMT_YUVJ420P:
        case AV_PIX_FMT_YUVJ422P:
        case AV_PIX_FMT_YUVJ444P:
        case AV_PIX_FMT_YUVJ440P:
        case AV_PIX_FMT_YUVJ411P:
            return true;
        default:
            return false;
    }
}

// swscale's coefficient table for a matrix.
const int* Coefficients(AVColorSpace matrix) {
    switch (matrix) {
        case AVCOL_SPC_BT709:
            return sws_getCoefficients(SWS_CS_ITU709);
        case AVCOL_SPC_FCC:
            return sws_getCoefficients(SWS_CS_FCC);
        case AVCOL_SPC_SMPTE240M:
            return sws_getCoefficients(SWS_CS_SMPTE240M);
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            return sws_getCoefficients(SWS_CS_BT2020);
        default:
            return sws_getCoefficients(SWS_CS_ITU601);
    }
}

// A scaler of one size from one format to another, sliced over the host's
// threads, with the YUV side's matrix and range.
SwsContext* MakeScaler(int32_t width, int32_t height, AVPixelFormat from, AVPixelFormat to,
                       int flags, ColourSpec yuv_colour, bool yuv_is_source) {
    SwsContext* s =
        sws_getContext(width, height, from, width, height, to, flags, nullptr, nullptr, nullptr);
    if (s == nullptr) return nullptr;
    const int* yuv_table = Coefficients(yuv_colour.matrix);
    int yuv_full = yuv_colour.range == AVCOL_RANGE_JPEG ? 1 : 0;
    if (yuv_is_source) {
        sws_setColorspaceDetails(s, yuv_table, yuv_full, yuv_table, 1, 0, 1 << 16, 1 << 16);
    } else {
        sws_setColorspaceDetails(s, yuv_table, 1, yuv_table, yuv_full, 0, 1 << 16, 1 << 16);
    }
    return s;
}

// The pixels of a row of the RGB store that swscale encodes from: the width
// rounded up to whole chroma samples of the destination format. swscale
// reads the RGB of every pixel that a chroma sample covers, also past the end
// of a row of an odd width; the row's last pixel is repeated there, so that
// the last chroma sample is that of the row's own last pixel (as in the
// one-pass path), not of the next row's first one or of memory past the store.
int32_t RgbRowPixels(AVPixelFormat format, int32_t width) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    const int32_t unit = d != nullptr ? 1 << d->log2_chroma_w : 1;
    return (width + unit - 1) / unit * unit;
}

// Rows [begin, end) of YC (rows of `stride` pixels, `width` of them) to the
// RGB store (rows of `row_pixels`), the last pixel repeated to the row's end.
void YCRowsToRgbStore(const PixelYC* in, int32_t stride, int32_t width, int32_t row_pixels,
                      int32_t begin, int32_t end, uint16_t* rgb) {
    for (int32_t y = begin; y < end; ++y) {
        uint16_t* row = rgb + static_cast<size_t>(y) * row_pixels * 3;
        YCRowToRgb48(in + static_cast<ptrdiff_t>(y) * stride, row, width);
        for (int32_t x = width; x < row_pixels; ++x)
            std::memcpy(row + 3 * x, row + 3 * (width - 1), 3 * sizeof(uint16_t));
    }
}

}  // namespace

void CopyTopLeft(const PixelYC* from, int32_t width, int32_t height, int32_t stride, PixelYC* to,
                 int32_t to_width, int32_t to_height, int32_t to_stride) {
    int32_t w = std::min(width, to_width);
    int32_t h = std::min(height, to_height);
    for (int32_t y = 0; y < h; ++y) {
        std::memcpy(to + static_cast<size_t>(y) * to_stride, from + static_cast<size_t>(y) * stride,
                    sizeof(PixelYC) * static_cast<size_t>(w));
    }
}

ColourSpec ColourOf(AVPixelFormat format, AVColorSpace matrix, AVColorRange range, int height) {
    ColourSpec c;
    if (matrix == AVCOL_SPC_UNSPECIFIED || matrix == AVCOL_SPC_RESERVED ||
        matrix == AVCOL_SPC_RGB) {
        c.matrix = height >= 720 ? AVCOL_SPC_BT709 : AVCOL_SPC_BT470BG;
    } else {
        c.matrix = matrix;
    }
    bool full = range == AVCOL_RANGE_JPEG || IsFullRangeFormat(format);
    c.range = full ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
    return c;
}

// ---- the one-pass path: a kernel per layout, the plain rows for the rest ----

namespace {

// The kernel of a layout among its four builds; null for any other layout.
template <typename K>
K KernelForLayout(const YuvLayout& l, const KernelBuilds<K>& builds) {
    const bool planar = ChromaPlanar(l), paired = ChromaPaired(l);
    if (l.log2_cw == 1 && planar) return builds.halved_planar;
    if (l.log2_cw == 1 && paired) return builds.halved_paired;
    if (l.log2_cw == 0 && planar) return builds.full_planar;
    if (l.log2_cw == 0 && paired) return builds.full_paired;
    return nullptr;
}

// Chroma rows [begin, end) of a frame and the luma rows that share them to YC.
template <typename T>
void DirectRowsToYC(const AVFrame* f, const YuvLayout& l, const DirectCoefficients& k,
                    int32_t begin, int32_t end, float* scratch, PixelYC* const* outs, int32_t count,
                    int32_t stride, bool simd) {
    const int32_t w = f->width;
    int32_t kernel_width = 0;  // the pixels the kernel converts
    ToYCKernel<T> kernel = nullptr;
    if (simd) {
        const KernelBuilds<ToYCKernel<T>> builds = ToYCKernels<T>();
        kernel = KernelForLayout(l, builds);
        if (kernel != nullptr) kernel_width = w & ~(builds.step - 1);
    }
    const int32_t written = kernel != nullptr ? std::min(count, kPicturesAtOnce) : 1;
    for (int32_t cy = begin; cy < end; ++cy) {
        RowGroup g = GroupOf(l, cy, f->height);
        PixelYC* rows[2 * kPicturesAtOnce] = {};
        for (int32_t r = 0; r < g.rows; ++r) {
            for (int32_t i = 0; i < written; ++i)
                rows[r * written + i] = outs[i] + ptrdiff_t(g.y0 + r) * stride;
        }
        if (kernel != nullptr && kernel_width > 0) {
            const T* luma[2];
            for (int32_t r = 0; r < g.rows; ++r)
                luma[r] = SampleRow<T>(f, l.plane[0], g.y0 + r, l.offset[0]);
            kernel(luma, g.rows, ChromaRowOf<const T>(f, l, cy), k, l.shift[0], l.shift[1], rows,
                   written, kernel_width);
        }
        if (kernel_width < w) {
            PixelYC* first[2] = {rows[0], g.rows > 1 ? rows[written] : nullptr};
            if constexpr (sizeof(T) == 1) {
                PlainFixedToYC(f, l, k.fixed, cy, g, kernel_width, first);
            } else {
                PlainToYC<T>(f, l, k, cy, g, kernel_width, scratch, first);
            }
            for (int32_t r = 0; r < g.rows; ++r) {
                for (int32_t i = 1; i < written; ++i)
                    std::memcpy(rows[r * written + i] + kernel_width, first[r] + kernel_width,
                                sizeof(PixelYC) * size_t(w - kernel_width));
            }
        }
        for (int32_t r = 0; r < g.rows; ++r) {
            const PixelYC* from = rows[r * written];
            for (int32_t i = written; i < count; ++i)
                std::memcpy(outs[i] + ptrdiff_t(g.y0 + r) * stride, from,
                            sizeof(PixelYC) * size_t(w));
        }
    }
}

// Chroma rows [begin, end) of the output and the luma rows that share them.
template <typename T>
void DirectRowsFromYC(const PixelYC* in, int32_t stride, const YuvLayout& l,
                      const DirectCoefficients& k, int32_t begin, int32_t end, float* scratch,
                      AVFrame* f, bool simd) {
    const int32_t w = f->width;
    int32_t kernel_width = 0;  // the pixels the kernel converts
    FromYCKernel<T> kernel = nullptr;
    if (simd) {
        const KernelBuilds<FromYCKernel<T>> builds = FromYCKernels<T>();
        kernel = KernelForLayout(l, builds);
        if (kernel != nullptr) kernel_width = w & ~(builds.step - 1);
    }
    for (int32_t cy = begin; cy < end; ++cy) {
        RowGroup g = GroupOf(l, cy, f->height);
        const PixelYC* rows[2];
        for (int32_t r = 0; r < g.rows; ++r)
            rows[r] = in + ptrdiff_t(g.y0 + r) * stride;
        if (kernel != nullptr && kernel_width > 0) {
            T* luma[2];
            for (int32_t r = 0; r < g.rows; ++r)
                luma[r] = SampleRow<T>(f, l.plane[0], g.y0 + r, l.offset[0]);
            kernel(rows, g.rows, k, l.shift[0], l.shift[1], luma, ChromaRowOf<T>(f, l, cy),
                   kernel_width);
        }
        if (kernel_width < w) {
            if constexpr (sizeof(T) == 1) {
                PlainFixedFromYC(rows, l, k.fixed, cy, g, kernel_width, f);
            } else {
                PlainFromYC<T>(rows, l, k, cy, g, kernel_width, scratch, f);
            }
        }
    }
}

// Chroma rows [begin, end) of a frame and the luma rows that share them to YC
// by the exact path, into the first picture and copied to the others.
template <typename T>
void ExactRowsToYC(const AVFrame* f, const YuvLayout& l, const ExactCoefficients& k, int32_t begin,
                   int32_t end, PixelYC* const* outs, int32_t count, int32_t stride) {
    for (int32_t cy = begin; cy < end; ++cy) {
        RowGroup g = GroupOf(l, cy, f->height);
        PixelYC* rows[2];
        for (int32_t r = 0; r < g.rows; ++r)
            rows[r] = outs[0] + ptrdiff_t(g.y0 + r) * stride;
        ExactToYC<T>(f, l, k, cy, g, rows);
        for (int32_t i = 1; i < count; ++i) {
            for (int32_t r = 0; r < g.rows; ++r)
                std::memcpy(outs[i] + ptrdiff_t(g.y0 + r) * stride, rows[r],
                            sizeof(PixelYC) * size_t(f->width));
        }
    }
}

// Chroma rows [begin, end) of the output by the exact path.
template <typename T>
void ExactRowsFromYC(const PixelYC* in, int32_t stride, const YuvLayout& l,
                     const ExactCoefficients& k, int32_t begin, int32_t end, AVFrame* f) {
    for (int32_t cy = begin; cy < end; ++cy) {
        RowGroup g = GroupOf(l, cy, f->height);
        const PixelYC* rows[2];
        for (int32_t r = 0; r < g.rows; ++r)
            rows[r] = in + ptrdiff_t(g.y0 + r) * stride;
        ExactFromYC<T>(rows, l, k, cy, g, f);
    }
}

}  // namespace

// ---- decoded frames to YC ----------------------------------------------------

bool HasDirectPath(AVPixelFormat format) {
    YuvLayout layout;
    return DescribeYuv(format, &layout);
}

int32_t ExactSampleError(AVPixelFormat format, ColourSpec colour) {
    YuvLayout layout;
    if (!DescribeYuv(format, &layout)) return -1;
    // A sample moved by at most `drift` before rounding comes back at most
    // round(drift) away (with a margin for the double-precision arithmetic).
    double drift = ExactDrift(ExactCoefficientsFor(colour, layout.depth));
    return int32_t(std::floor(drift + 0.5 + 1e-9));
}

ToYCConverter::ToYCConverter(int32_t threads) : threads_(threads) {}

WorkerPool& ToYCConverter::Pool() {
    if (!pool_) pool_.reset(new WorkerPool(threads_ > 0 ? threads_ : HostThreadCount()));
    return *pool_;
}

ToYCConverter::~ToYCConverter() {
    sws_freeContext(scaler_);
}

bool ToYCConverter::Prepare(const AVFrame* frame, AVPixelFormat rgb_format, int matrix_height) {
    AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
    ColourSpec colour = ColourOf(format, frame->colorspace, frame->color_range, matrix_height);
    bool same = scaler_ != nullptr && width_ == frame->width && height_ == frame->height &&
                format_ == frame->format && rgb_format_ == rgb_format &&
                colour.matrix == colour_.matrix && colour.range == colour_.range;
    if (same) return true;
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    if (frame->width <= 0 || frame->height <= 0) return false;
    int flags = kDecodeFlags;
    scaler_ = MakeScaler(frame->width, frame->height, format, rgb_format, flags, colour,
                         !IsRgbFormat(format));
    if (scaler_ == nullptr) return false;
    width_ = frame->width;
    height_ = frame->height;
    format_ = frame->format;
    rgb_format_ = rgb_format;
    colour_ = colour;
    return true;
}

bool ToYCConverter::Convert(const AVFrame* frame, PixelYC* out, int32_t stride) {
    return Convert(frame, &out, 1, stride);
}

bool ToYCConverter::ConvertDirect(const AVFrame* frame, PixelYC* const* outs, int32_t count,
                                  int32_t stride) {
    YuvLayout layout;
    AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
    DescribeYuv(format, &layout);
    ColourSpec colour = ColourOf(format, frame->colorspace, frame->color_range, frame->height);
    WorkerPool& pool = Pool();
    int32_t chroma_rows = AV_CEIL_RSHIFT(frame->height, layout.log2_ch);
    if (exact_) {
        ExactCoefficients k = ExactCoefficientsFor(colour, layout.depth);
        pool.Run(chroma_rows, kParallelRows, [&](int32_t, int32_t begin, int32_t end) {
            if (layout.bytes == 1) {
                ExactRowsToYC<uint8_t>(frame, layout, k, begin, end, outs, count, stride);
            } else {
                ExactRowsToYC<uint16_t>(frame, layout, k, begin, end, outs, count, stride);
            }
        });
        return true;
    }
    DirectCoefficients k = CoefficientsFor(colour, layout.depth);
    bool simd = allow_simd_ && HaveAvx2Rows();
    size_t row = 3 * static_cast<size_t>(frame->width);
    scratch_.resize(row * static_cast<size_t>(pool.threads()));
    float* scratch = scratch_.data();
    pool.Run(chroma_rows, kParallelRows, [&](int32_t block, int32_t begin, int32_t end) {
        float* rows = scratch + row * static_cast<size_t>(block);
        if (layout.bytes == 1) {
            DirectRowsToYC<uint8_t>(frame, layout, k, begin, end, rows, outs, count, stride, simd);
        } else {
            DirectRowsToYC<uint16_t>(frame, layout, k, begin, end, rows, outs, count, stride, simd);
        }
    });
    return true;
}

bool ToYCConverter::Convert(const AVFrame* frame, PixelYC* const* outs, int32_t count,
                            int32_t stride) {
    if (count <= 0) return true;
    if (allow_direct_ && frame->width > 0 && frame->height > 0 &&
        HasDirectPath(static_cast<AVPixelFormat>(frame->format))) {
        return ConvertDirect(frame, outs, count, stride);
    }
    if (!Prepare(frame, AV_PIX_FMT_RGB48, frame->height)) return false;
    size_t row_values = static_cast<size_t>(width_) * 3;
    rgb_.resize(row_values * height_ * sizeof(uint16_t));
    uint8_t* planes[1] = {rgb_.data()};
    int strides[1] = {static_cast<int>(row_values * sizeof(uint16_t))};
    if (sws_scale(scaler_, frame->data, frame->linesize, 0, height_, planes, strides) != height_) {
        return false;
    }
    const uint16_t* rgb = reinterpret_cast<const uint16_t*>(rgb_.data());
    int32_t width = width_;
    Pool().Run(height_, kParallelRows, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            PixelYC* first = outs[0] + static_cast<ptrdiff_t>(y) * stride;
            Rgb48RowToYC(rgb + static_cast<size_t>(y) * width * 3, first, width);
            for (int32_t i = 1; i < count; ++i) {
                std::memcpy(outs[i] + static_cast<ptrdiff_t>(y) * stride, first,
                            sizeof(PixelYC) * static_cast<size_t>(width));
            }
        }
    });
    return true;
}

bool ToYCConverter::Convert8(const AVFrame* frame, PixelYC* out, int32_t stride) {
    if (!Prepare(frame, AV_PIX_FMT_RGB24, 0)) return false;
    size_t row_bytes = static_cast<size_t>(width_) * 3;
    rgb_.resize(row_bytes * height_);
    uint8_t* planes[1] = {rgb_.data()};
    int strides[1] = {static_cast<int>(row_bytes)};
    if (sws_scale(scaler_, frame->data, frame->linesize, 0, height_, planes, strides) != height_) {
        return false;
    }
    const uint8_t* rgb = rgb_.data();
    int32_t width = width_;
    Pool().Run(height_, kParallelRows, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            Rgb24RowToYC(rgb + static_cast<size_t>(y) * width * 3, 3,
                         out + static_cast<ptrdiff_t>(y) * stride, width);
        }
    });
    return true;
}

// ---- YC to encoder frames -----------------------------------------------------

FromYCConverter::FromYCConverter(int32_t threads) : threads_(threads) {}

FromYCConverter::~FromYCConverter() {
    sws_freeContext(scaler_);
}

WorkerPool& FromYCConverter::Pool() {
    if (!pool_) pool_.reset(new WorkerPool(threads_ > 0 ? threads_ : HostThreadCount()));
    return *pool_;
}

bool FromYCConverter::Open(int32_t width, int32_t height, AVPixelFormat format, ColourSpec colour) {
    sws_freeContext(scaler_);
    scaler_ = nullptr;
    width_ = width;
    height_ = height;
    format_ = format;
    colour_ = colour;
    YuvLayout layout;
    direct_ = allow_direct_ && width > 0 && height > 0 && DescribeYuv(format, &layout);
    if (direct_) {
        rgb_.clear();
        return true;
    }
    scaler_ = MakeScaler(width, height, AV_PIX_FMT_RGB48, format, kEncodeFlags, colour, false);
    rgb_.assign(static_cast<size_t>(RgbRowPixels(format, width)) * height * 3, 0);
    return scaler_ != nullptr;
}

bool FromYCConverter::Convert(const PixelYC* in, int32_t stride, AVFrame* frame) {
    if (frame->width != width_ || frame->height != height_ || frame->format != format_)
        return false;
    if (direct_ && exact_) {
        YuvLayout layout;
        DescribeYuv(format_, &layout);
        ExactCoefficients k = ExactCoefficientsFor(colour_, layout.depth);
        Pool().Run(AV_CEIL_RSHIFT(height_, layout.log2_ch), kParallelRows,
                   [&](int32_t, int32_t begin, int32_t end) {
                       if (layout.bytes == 1) {
                           ExactRowsFromYC<uint8_t>(in, stride, layout, k, begin, end, frame);
                       } else {
                           ExactRowsFromYC<uint16_t>(in, stride, layout, k, begin, end, frame);
                       }
                   });
        return true;
    }
    if (direct_) {
        YuvLayout layout;
        DescribeYuv(format_, &layout);
        DirectCoefficients k = CoefficientsFor(colour_, layout.depth);
        WorkerPool& pool = Pool();
        bool simd = allow_simd_ && HaveAvx2Rows();
        size_t row = 6 * static_cast<size_t>(width_);  // five float rows and an int32 one
        scratch_.resize(row * static_cast<size_t>(pool.threads()));
        float* scratch = scratch_.data();
        int32_t chroma_rows = AV_CEIL_RSHIFT(height_, layout.log2_ch);
        pool.Run(chroma_rows, kParallelRows, [&](int32_t block, int32_t begin, int32_t end) {
            float* rows = scratch + row * static_cast<size_t>(block);
            if (layout.bytes == 1) {
                DirectRowsFromYC<uint8_t>(in, stride, layout, k, begin, end, rows, frame, simd);
            } else {
                DirectRowsFromYC<uint16_t>(in, stride, layout, k, begin, end, rows, frame, simd);
            }
        });
        return true;
    }
    if (scaler_ == nullptr) return false;
    const int32_t row_pixels = RgbRowPixels(format_, width_);
    Pool().Run(height_, kParallelRows, [&](int32_t, int32_t begin, int32_t end) {
        YCRowsToRgbStore(in, stride, width_, row_pixels, begin, end, rgb_.data());
    });
    const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(rgb_.data())};
    int strides[1] = {static_cast<int>(static_cast<size_t>(row_pixels) * 3 * sizeof(uint16_t))};
    return sws_scale(scaler_, planes, strides, 0, height_, frame->data, frame->linesize) == height_;
}
