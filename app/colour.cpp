#include "colour.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "host_threads.h"
#include "common/yc_rgb.h"
#include "worker_pool.h"

namespace {

constexpr int32_t kScale = 4096;  // the plug-in's full channel value

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

inline int32_t Rgb16To4096(uint16_t v) {
    return (static_cast<int32_t>(v) * kScale + 32767) / 65535;
}

inline uint16_t Rgb4096To16(int32_t v) {
    if (v < 0) v = 0;
    if (v > kScale) v = kScale;
    return static_cast<uint16_t>((v * 65535 + kScale / 2) / kScale);
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

void Rgb48RowToYC(const uint16_t* rgb, PixelYC* out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        const uint16_t* p = rgb + 3 * x;
        out[x] = RGBToYC(Rgb16To4096(p[0]), Rgb16To4096(p[1]), Rgb16To4096(p[2]));
    }
}

void YCRowToRgb48(const PixelYC* in, uint16_t* rgb, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        ColorRGB c = YCToRGB(in[x].y, in[x].cb, in[x].cr);
        uint16_t* p = rgb + 3 * x;
        p[0] = Rgb4096To16(c.r);
        p[1] = Rgb4096To16(c.g);
        p[2] = Rgb4096To16(c.b);
    }
}

void Rgb24RowToYC(const uint8_t* rgb, int32_t step, PixelYC* out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        const uint8_t* p = rgb + step * x;
        out[x] = RGBToYC(p[0] * kScale / 255, p[1] * kScale / 255, p[2] * kScale / 255);
    }
}

// ---- the direct path: planar and semi-planar YUV straight to and from YC ------
//
// A row is read into three float rows on the 0..4096 scale (Y from 0, Cb and
// Cr centred on 0, chroma repeated across its pixels), then one loop turns
// them into RGB, clamps it to 0..4096 and applies the plug-in's RGBToYC. The
// way back computes RGB with the plug-in's YCToRGB matrix (not truncated),
// clamps it, and writes Y rounded and the chroma averaged over the pixels that
// share a sample. Every step is a plain loop over a row, with no calls and no
// division per pixel, so the compiler vectorises it.

namespace {

struct YuvLayout {
    int32_t depth = 8;                     // bits per sample
    int32_t bytes = 1;                     // bytes per stored sample: 1 or 2
    int32_t log2_cw = 0, log2_ch = 0;      // chroma subsampling
    int32_t plane[3], step[3], offset[3];  // step and offset in samples
    int32_t shift[3];                      // low padding bits (p010)
};

bool DescribeYuv(AVPixelFormat format, YuvLayout* l) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    if (d == nullptr || d->nb_components != 3) return false;
    const uint64_t refused = AV_PIX_FMT_FLAG_BE | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                             AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_ALPHA |
                             AV_PIX_FMT_FLAG_FLOAT;
    if ((d->flags & refused) != 0 || d->log2_chroma_w > 1 || d->log2_chroma_h > 1) return false;
    int32_t depth = d->comp[0].depth;
    if (depth < 8 || depth > 16) return false;
    l->depth = depth;
    l->bytes = depth > 8 ? 2 : 1;
    l->log2_cw = d->log2_chroma_w;
    l->log2_ch = d->log2_chroma_h;
    for (int i = 0; i < 3; ++i) {
        const AVComponentDescriptor& c = d->comp[i];
        if (c.depth != depth || c.step % l->bytes != 0 || c.offset % l->bytes != 0) return false;
        if (c.shift + depth > 8 * l->bytes) return false;
        l->plane[i] = c.plane;
        l->step[i] = c.step / l->bytes;
        l->offset[i] = c.offset / l->bytes;
        l->shift[i] = c.shift;
    }
    // Luma alone in its plane, one sample per pixel (packed 4:2:2 goes to swscale).
    if (l->step[0] != 1 || l->plane[0] == l->plane[1] || l->plane[0] == l->plane[2]) return false;
    return true;
}

// Kr and Kb of a matrix (the luma weights of red and blue).
void LumaWeights(AVColorSpace matrix, double* kr, double* kb) {
    switch (matrix) {
        case AVCOL_SPC_BT709:
            *kr = 0.2126, *kb = 0.0722;
            return;
        case AVCOL_SPC_FCC:
            *kr = 0.30, *kb = 0.11;
            return;
        case AVCOL_SPC_SMPTE240M:
            *kr = 0.212, *kb = 0.087;
            return;
        case AVCOL_SPC_BT2020_NCL:
        case AVCOL_SPC_BT2020_CL:
            *kr = 0.2627, *kb = 0.0593;
            return;
        default:
            *kr = 0.299, *kb = 0.114;
            return;
    }
}

// Sample value of black and of the luma span, and the centre and span of chroma.
struct SampleRange {
    double y0, ys, c0, cs;
};

SampleRange RangeOf(AVColorRange range, int32_t depth) {
    double unit = double(1 << (depth - 8));
    if (range == AVCOL_RANGE_JPEG) {
        double full = double((1 << depth) - 1);
        return {0.0, full, double(1 << (depth - 1)), full};
    }
    return {16 * unit, 219 * unit, 128 * unit, 224 * unit};
}

// The constants of one direction of one matrix, range and depth.
struct DirectCoefficients {
    // In: sample to 0..4096 scale, then chroma to RGB.
    float y_mul, y_add, c_mul, c_add;
    float r_cr, g_cb, g_cr, b_cb;
    // Out: RGB to luma sample and to chroma offsets from the centre.
    float kr, kg, kb, y_scale, y_offset, cb_scale, cr_scale, c_centre;
    int32_t max_sample;
};

DirectCoefficients CoefficientsFor(ColourSpec colour, int32_t depth) {
    double kr, kb;
    LumaWeights(colour.matrix, &kr, &kb);
    double kg = 1 - kr - kb;
    SampleRange s = RangeOf(colour.range, depth);
    DirectCoefficients c;
    c.y_mul = float(kScale / s.ys);
    c.y_add = float(-s.y0 * kScale / s.ys);
    c.c_mul = float(kScale / s.cs);
    c.c_add = float(-s.c0 * kScale / s.cs);
    c.r_cr = float(2 * (1 - kr));
    c.g_cb = float(-2 * kb * (1 - kb) / kg);
    c.g_cr = float(-2 * kr * (1 - kr) / kg);
    c.b_cb = float(2 * (1 - kb));
    c.kr = float(kr);
    c.kg = float(kg);
    c.kb = float(kb);
    c.y_scale = float(s.ys / kScale);
    c.y_offset = float(s.y0);
    c.cb_scale = float(s.cs / kScale / (2 * (1 - kb)));
    c.cr_scale = float(s.cs / kScale / (2 * (1 - kr)));
    c.c_centre = float(s.c0);
    c.max_sample = (1 << depth) - 1;
    return c;
}

inline float Clamp4096(float v) {
    v = v < 0.0f ? 0.0f : v;
    return v > 4096.0f ? 4096.0f : v;
}

// Samples of one component of a row, scaled: out[x] = sample * mul + add,
// with the sample of pixel x >> log2_w (chroma repeated across its pixels).
// The heaviest row loops get a second build for AVX2 where the processor has
// it (chosen when the program loads); the arithmetic is the same IEEE single
// precision either way, without fused multiply-adds, so results do not
// depend on the build taken.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define KINETRA_ROW_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KINETRA_ROW_CLONES
#endif

template <typename T>
KINETRA_ROW_CLONES void ReadSamples(const T* __restrict row, int32_t step, int32_t shift, float mul,
                                    float add, float* __restrict out, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        out[x] = float(row[x * step] >> shift) * mul + add;
    }
}

// Chroma shared by pairs of pixels: each sample is written twice.
template <typename T>
KINETRA_ROW_CLONES void ReadPairedSamples(const T* __restrict row, int32_t step, int32_t shift,
                                          float mul, float add, float* __restrict out,
                                          int32_t width) {
    int32_t pairs = width / 2;
    for (int32_t i = 0; i < pairs; ++i) {
        float v = float(row[i * step] >> shift) * mul + add;
        out[2 * i] = v;
        out[2 * i + 1] = v;
    }
    if (width % 2 != 0) out[width - 1] = float(row[pairs * step] >> shift) * mul + add;
}

template <typename T>
void ReadComponent(const T* row, int32_t step, int32_t shift, int32_t log2_w, float mul, float add,
                   float* out, int32_t width) {
    if (log2_w == 0) {
        ReadSamples<T>(row, step, shift, mul, add, out, width);
    } else {
        ReadPairedSamples<T>(row, step, shift, mul, add, out, width);
    }
}

// Scaled Y, Cb, Cr rows to YC: RGB clamped to 0..4096, then RGBToYC.
KINETRA_ROW_CLONES void ScaledRowToYC(const float* __restrict y, const float* __restrict cb,
                                      const float* __restrict cr, const DirectCoefficients& k,
                                      PixelYC* __restrict out, int32_t width) {
    const float r_cr = k.r_cr, g_cb = k.g_cb, g_cr = k.g_cr, b_cb = k.b_cb;
    for (int32_t x = 0; x < width; ++x) {
        float r = Clamp4096(y[x] + r_cr * cr[x]);
        float g = Clamp4096((y[x] + g_cb * cb[x]) + g_cr * cr[x]);
        float b = Clamp4096(y[x] + b_cb * cb[x]);
        out[x].y = int16_t(int32_t((0.587f * g + 0.299f * r) + 0.114f * b));
        out[x].cb = int16_t(int32_t(0.5f * b - (0.331f * g + 0.169f * r)));
        out[x].cr = int16_t(int32_t((0.5f * r - 0.419f * g) - 0.081f * b));
    }
}

// One row of YC split into float rows (a plain copy loop: the compiler does
// not vectorise three-way interleaved loads, so they get a loop of their own).
void SplitYC(const PixelYC* __restrict in, float* __restrict y, float* __restrict cb,
             float* __restrict cr, int32_t width) {
    for (int32_t x = 0; x < width; ++x) {
        y[x] = in[x].y;
        cb[x] = in[x].cb;
        cr[x] = in[x].cr;
    }
}

// YC rows (split) to luma samples (rounded, in `luma`) and chroma offsets from
// the centre in sample units (not yet rounded; averaged by the caller). `cb`
// and `cr` hold the pixels' Cb and Cr and are overwritten.
KINETRA_ROW_CLONES void YCRowToScaled(const float* __restrict y, float* __restrict cb,
                                      float* __restrict cr, const DirectCoefficients& k,
                                      int32_t* __restrict luma, int32_t width) {
    const float kr = k.kr, kg = k.kg, kb = k.kb, y_scale = k.y_scale, y_offset = k.y_offset;
    const float cb_scale = k.cb_scale, cr_scale = k.cr_scale;
    const int32_t max_sample = k.max_sample;
    for (int32_t x = 0; x < width; ++x) {
        float yv = y[x], u = cb[x], v = cr[x];
        float r = Clamp4096(yv + 1.402f * v);
        float g = Clamp4096((yv - 0.344f * u) - 0.714f * v);
        float b = Clamp4096(yv + 1.772f * u);
        float l = (kr * r + kg * g) + kb * b;
        int32_t s = int32_t(l * y_scale + y_offset + 0.5f);
        luma[x] = s > max_sample ? max_sample : s;
        cb[x] = (b - l) * cb_scale;
        cr[x] = (r - l) * cr_scale;
    }
}

template <typename T>
void StoreSamples(const int32_t* __restrict in, int32_t shift, T* __restrict out, int32_t width) {
    const int32_t step = 1 << shift;
    for (int32_t x = 0; x < width; ++x)
        out[x] = T(in[x] * step);
}

inline int32_t RoundChroma(float offset, const DirectCoefficients& k) {
    int32_t s = int32_t(offset + k.c_centre + 0.5f);
    s = s < 0 ? 0 : s;
    return s > k.max_sample ? k.max_sample : s;
}

// Chroma samples of a row from per-pixel offsets: one row (rows == 1) or the
// mean of two rows, over one pixel or pairs of pixels.
template <typename T>
void WriteChroma(const float* a, const float* b, int32_t log2_w, const DirectCoefficients& k,
                 int32_t shift, int32_t step, T* out, int32_t width) {
    if (log2_w == 0) {
        if (b == nullptr) {
            for (int32_t x = 0; x < width; ++x)
                out[x * step] = T(RoundChroma(a[x], k) << shift);
        } else {
            for (int32_t x = 0; x < width; ++x)
                out[x * step] = T(RoundChroma((a[x] + b[x]) * 0.5f, k) << shift);
        }
        return;
    }
    int32_t pairs = width / 2;
    if (b == nullptr) {
        for (int32_t i = 0; i < pairs; ++i)
            out[i * step] = T(RoundChroma((a[2 * i] + a[2 * i + 1]) * 0.5f, k) << shift);
    } else {
        for (int32_t i = 0; i < pairs; ++i) {
            float sum = (a[2 * i] + a[2 * i + 1]) + (b[2 * i] + b[2 * i + 1]);
            out[i * step] = T(RoundChroma(sum * 0.25f, k) << shift);
        }
    }
    if (width % 2 != 0) {
        int32_t x = width - 1;
        float v = b == nullptr ? a[x] : (a[x] + b[x]) * 0.5f;
        out[pairs * step] = T(RoundChroma(v, k) << shift);
    }
}

template <typename T>
const T* SampleRow(const AVFrame* f, int32_t plane, int32_t row, int32_t offset) {
    return reinterpret_cast<const T*>(f->data[plane] + ptrdiff_t(row) * f->linesize[plane]) +
           offset;
}

template <typename T>
T* SampleRow(AVFrame* f, int32_t plane, int32_t row, int32_t offset) {
    return reinterpret_cast<T*>(f->data[plane] + ptrdiff_t(row) * f->linesize[plane]) + offset;
}

template <typename T>
void DirectRowsToYC(const AVFrame* f, const YuvLayout& l, const DirectCoefficients& k,
                    int32_t begin, int32_t end, float* scratch, PixelYC* const* outs, int32_t count,
                    int32_t stride) {
    int32_t w = f->width;
    float *ys = scratch, *cbs = scratch + w, *crs = scratch + 2 * w;
    int32_t chroma_row = -1;  // the chroma row in cbs and crs
    for (int32_t y = begin; y < end; ++y) {
        int32_t cy = y >> l.log2_ch;
        ReadComponent(SampleRow<T>(f, l.plane[0], y, l.offset[0]), 1, l.shift[0], 0, k.y_mul,
                      k.y_add, ys, w);
        // In 4:2:0 the second row of a pair keeps the chroma of the first.
        if (cy != chroma_row) {
            chroma_row = cy;
            ReadComponent(SampleRow<T>(f, l.plane[1], cy, l.offset[1]), l.step[1], l.shift[1],
                          l.log2_cw, k.c_mul, k.c_add, cbs, w);
            ReadComponent(SampleRow<T>(f, l.plane[2], cy, l.offset[2]), l.step[2], l.shift[2],
                          l.log2_cw, k.c_mul, k.c_add, crs, w);
        }
        PixelYC* first = outs[0] + ptrdiff_t(y) * stride;
        ScaledRowToYC(ys, cbs, crs, k, first, w);
        for (int32_t i = 1; i < count; ++i)
            std::memcpy(outs[i] + ptrdiff_t(y) * stride, first, sizeof(PixelYC) * size_t(w));
    }
}

// Chroma rows [begin, end) of the output and the luma rows that share them.
template <typename T>
void DirectRowsFromYC(const PixelYC* in, int32_t stride, const YuvLayout& l,
                      const DirectCoefficients& k, int32_t begin, int32_t end, float* scratch,
                      AVFrame* f) {
    int32_t w = f->width, h = f->height;
    float* cb[2] = {scratch, scratch + w};
    float* cr[2] = {scratch + 2 * w, scratch + 3 * w};
    float* ys = scratch + 4 * w;
    int32_t* luma = reinterpret_cast<int32_t*>(scratch + 5 * w);
    int32_t rows = 1 << l.log2_ch;
    for (int32_t cy = begin; cy < end; ++cy) {
        int32_t n = 0;
        for (int32_t i = 0; i < rows; ++i) {
            int32_t y = cy * rows + i;
            if (y >= h) break;
            SplitYC(in + ptrdiff_t(y) * stride, ys, cb[i], cr[i], w);
            YCRowToScaled(ys, cb[i], cr[i], k, luma, w);
            StoreSamples(luma, l.shift[0], SampleRow<T>(f, l.plane[0], y, l.offset[0]), w);
            ++n;
        }
        WriteChroma(cb[0], n > 1 ? cb[1] : nullptr, l.log2_cw, k, l.shift[1], l.step[1],
                    SampleRow<T>(f, l.plane[1], cy, l.offset[1]), w);
        WriteChroma(cr[0], n > 1 ? cr[1] : nullptr, l.log2_cw, k, l.shift[2], l.step[2],
                    SampleRow<T>(f, l.plane[2], cy, l.offset[2]), w);
    }
}

}  // namespace

// ---- decoded frames to YC ----------------------------------------------------

bool HasDirectPath(AVPixelFormat format) {
    YuvLayout layout;
    return DescribeYuv(format, &layout);
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

bool ToYCConverter::Convert(const AVFrame* frame, PixelYC* const* outs, int32_t count,
                            int32_t stride) {
    if (count <= 0) return true;
    YuvLayout layout;
    AVPixelFormat format = static_cast<AVPixelFormat>(frame->format);
    if (allow_direct_ && frame->width > 0 && frame->height > 0 && DescribeYuv(format, &layout)) {
        ColourSpec colour = ColourOf(format, frame->colorspace, frame->color_range, frame->height);
        DirectCoefficients k = CoefficientsFor(colour, layout.depth);
        WorkerPool& pool = Pool();
        size_t row = 3 * static_cast<size_t>(frame->width);
        scratch_.resize(row * static_cast<size_t>(pool.threads()));
        float* scratch = scratch_.data();
        pool.Run(frame->height, kParallelRows, [&](int32_t block, int32_t begin, int32_t end) {
            float* rows = scratch + row * static_cast<size_t>(block);
            if (layout.bytes == 1) {
                DirectRowsToYC<uint8_t>(frame, layout, k, begin, end, rows, outs, count, stride);
            } else {
                DirectRowsToYC<uint16_t>(frame, layout, k, begin, end, rows, outs, count, stride);
            }
        });
        return true;
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
    rgb_.assign(static_cast<size_t>(width) * height * 3, 0);
    return scaler_ != nullptr;
}

bool FromYCConverter::Convert(const PixelYC* in, int32_t stride, AVFrame* frame) {
    if (frame->width != width_ || frame->height != height_ || frame->format != format_)
        return false;
    if (direct_) {
        YuvLayout layout;
        DescribeYuv(format_, &layout);
        DirectCoefficients k = CoefficientsFor(colour_, layout.depth);
        WorkerPool& pool = Pool();
        size_t row = 6 * static_cast<size_t>(width_);  // five float rows and an int32 one
        scratch_.resize(row * static_cast<size_t>(pool.threads()));
        float* scratch = scratch_.data();
        int32_t chroma_rows = AV_CEIL_RSHIFT(height_, layout.log2_ch);
        pool.Run(chroma_rows, kParallelRows, [&](int32_t block, int32_t begin, int32_t end) {
            float* rows = scratch + row * static_cast<size_t>(block);
            if (layout.bytes == 1) {
                DirectRowsFromYC<uint8_t>(in, stride, layout, k, begin, end, rows, frame);
            } else {
                DirectRowsFromYC<uint16_t>(in, stride, layout, k, begin, end, rows, frame);
            }
        });
        return true;
    }
    if (scaler_ == nullptr) return false;
    uint16_t* rgb = rgb_.data();
    int32_t width = width_;
    Pool().Run(height_, kParallelRows, [&](int32_t, int32_t begin, int32_t end) {
        for (int32_t y = begin; y < end; ++y) {
            YCRowToRgb48(in + static_cast<ptrdiff_t>(y) * stride,
                         rgb + static_cast<size_t>(y) * width * 3, width);
        }
    });
    const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(rgb_.data())};
    int strides[1] = {static_cast<int>(static_cast<size_t>(width_) * 3 * sizeof(uint16_t))};
    return sws_scale(scaler_, planes, strides, 0, height_, frame->data, frame->linesize) == height_;
}
