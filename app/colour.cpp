#include "colour.h"

extern "C" {
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "video/pixel.h"

namespace {

constexpr int32_t kScale = 4096;  // the plug-in's full channel value

// Decoding upsamples chroma by repetition, encoding averages it: a picture
// that makes the round trip gets its chroma samples back.
constexpr int kDecodeFlags = SWS_POINT | SWS_ACCURATE_RND | SWS_BITEXACT;
constexpr int kEncodeFlags = SWS_AREA | SWS_ACCURATE_RND | SWS_BITEXACT;

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

// ---- decoded frames to YC ----------------------------------------------------

namespace {

void Rgb48ToYC(const uint16_t* rgb, int32_t width, int32_t height, PixelYC* out, int32_t stride) {
#pragma omp parallel for schedule(static)
    for (int32_t y = 0; y < height; ++y) {
        Rgb48RowToYC(rgb + static_cast<size_t>(y) * width * 3,
                     out + static_cast<size_t>(y) * stride, width);
    }
}

void Rgb24ToYC(const uint8_t* rgb, int32_t width, int32_t height, PixelYC* out, int32_t stride) {
#pragma omp parallel for schedule(static)
    for (int32_t y = 0; y < height; ++y) {
        Rgb24RowToYC(rgb + static_cast<size_t>(y) * width * 3, 3,
                     out + static_cast<size_t>(y) * stride, width);
    }
}

void YCToRgb48(const PixelYC* in, int32_t stride, int32_t width, int32_t height, uint16_t* rgb) {
#pragma omp parallel for schedule(static)
    for (int32_t y = 0; y < height; ++y) {
        YCRowToRgb48(in + static_cast<size_t>(y) * stride, rgb + static_cast<size_t>(y) * width * 3,
                     width);
    }
}

}  // namespace

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
    if (!Prepare(frame, AV_PIX_FMT_RGB48, frame->height)) return false;
    size_t row_values = static_cast<size_t>(width_) * 3;
    rgb_.resize(row_values * height_ * sizeof(uint16_t));
    uint8_t* planes[1] = {rgb_.data()};
    int strides[1] = {static_cast<int>(row_values * sizeof(uint16_t))};
    if (sws_scale(scaler_, frame->data, frame->linesize, 0, height_, planes, strides) != height_) {
        return false;
    }
    Rgb48ToYC(reinterpret_cast<const uint16_t*>(rgb_.data()), width_, height_, out, stride);
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
    Rgb24ToYC(rgb_.data(), width_, height_, out, stride);
    return true;
}

// ---- YC to encoder frames -----------------------------------------------------

FromYCConverter::~FromYCConverter() {
    sws_freeContext(scaler_);
}

bool FromYCConverter::Open(int32_t width, int32_t height, AVPixelFormat format, ColourSpec colour) {
    sws_freeContext(scaler_);
    scaler_ = MakeScaler(width, height, AV_PIX_FMT_RGB48, format, kEncodeFlags, colour, false);
    width_ = width;
    height_ = height;
    rgb_.assign(static_cast<size_t>(width) * height * 3, 0);
    return scaler_ != nullptr;
}

bool FromYCConverter::Convert(const PixelYC* in, int32_t stride, AVFrame* frame) {
    if (scaler_ == nullptr) return false;
    YCToRgb48(in, stride, width_, height_, rgb_.data());
    const uint8_t* planes[1] = {reinterpret_cast<const uint8_t*>(rgb_.data())};
    int strides[1] = {static_cast<int>(static_cast<size_t>(width_) * 3 * sizeof(uint16_t))};
    return sws_scale(scaler_, planes, strides, 0, height_, frame->data, frame->linesize) == height_;
}
