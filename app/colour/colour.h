// Colour conversion between decoded pictures and the plug-in's PixelYC (Y
// 0..4096, the BT.601 matrix of its RGBToYC). Planar and semi-planar YUV of 8
// to 16 bits in 4:2:0, 4:2:2 and 4:4:4 convert in one pass each way, honouring
// the picture's matrix and range, with chroma repeated on the way in and
// averaged on the way out; any other format goes through 16-bit RGB with
// swscale. Rows are split over the host's threads. Lossless work converts
// those YUV pictures exactly instead (set_exact): no clamp to the RGB cube,
// and a way out that gives back every sample the way in took.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include "kinetra/plugin_abi.h"

struct SwsContext;
class WorkerPool;

// The YUV matrix and range of a picture (ignored for RGB formats).
struct ColourSpec {
    AVColorSpace matrix = AVCOL_SPC_BT470BG;
    AVColorRange range = AVCOL_RANGE_MPEG;
};

// The matrix and range a YUV picture was made with: its tags, or for an
// untagged picture BT.709 from 720 lines up and BT.601 below; limited range
// unless tagged full (or a full-range "J" format).
ColourSpec ColourOf(AVPixelFormat format, AVColorSpace matrix, AVColorRange range, int height);

// True when pictures of the format convert in the one-pass path.
bool HasDirectPath(AVPixelFormat format);

// One row of 16-bit RGB (R, G, B interleaved, 0..65535) to YC. The 16-bit
// values are rounded to the 0..4096 scale, then converted with RGBToYC.
void Rgb48RowToYC(const uint16_t* rgb, PixelYC* out, int32_t width);
// One row of YC to 16-bit RGB: YCToRGB, clamped to 0..4096, rounded to 16 bits.
void YCRowToRgb48(const PixelYC* in, uint16_t* rgb, int32_t width);
// One row of 8-bit RGB (R, G, B, and `step` bytes per pixel) to YC: each
// value v becomes v * 4096 / 255 (truncated), then RGBToYC.
void Rgb24RowToYC(const uint8_t* rgb, int32_t step, PixelYC* out, int32_t width);

// What the exact conversion (set_exact) keeps of pictures of a format,
// matrix and range that go to YC and back to the same format: 0 when every
// sample comes back (YUV of 8 to 10 bits, and 12 bits under BT.601); else
// the most a sample may change, for samples finer than the plug-in's 4096
// steps; -1 for formats outside the one-pass path (RGB, grey, alpha, packed
// 4:2:2, 4:1:1), which go through RGB clamped to its cube as usual.
int32_t ExactSampleError(AVPixelFormat format, ColourSpec colour);

// A picture of PixelYC, rows of `width`.
struct PictureYC {
    int32_t width = 0;
    int32_t height = 0;
    std::vector<PixelYC> pixels;
    void Resize(int32_t w, int32_t h) {
        width = w;
        height = h;
        pixels.assign(static_cast<size_t>(w) * static_cast<size_t>(h), PixelYC{0, 0, 0});
    }
    // Sets the size for a picture about to be overwritten whole: the storage
    // is kept where it is large enough and the pixels are left as they are.
    void ResizeForOverwrite(int32_t w, int32_t h) {
        width = w;
        height = h;
        pixels.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    }
};

// Copies the top-left corner of a picture (width x height pixels, rows
// `stride` apart) into the top-left of a buffer (to_width x to_height pixels,
// rows `to_stride` apart), cut to the smaller of the two sizes; the buffer's
// other pixels keep their values.
void CopyTopLeft(const PixelYC* from, int32_t width, int32_t height, int32_t stride, PixelYC* to,
                 int32_t to_width, int32_t to_height, int32_t to_stride);

// Converts decoded frames of any format to YC. Keeps its scaler and its RGB
// row store between frames of the same format.
class ToYCConverter {
  public:
    // `threads`: how many threads a conversion uses; 0 for the host's count.
    explicit ToYCConverter(int32_t threads = 0);
    ~ToYCConverter();
    ToYCConverter(const ToYCConverter&) = delete;
    ToYCConverter& operator=(const ToYCConverter&) = delete;

    // Writes the frame's width x height pixels into `out` (rows of `stride`
    // pixels). False when the frame's format cannot be converted.
    bool Convert(const AVFrame* frame, PixelYC* out, int32_t stride);
    // The same into `count` pictures at once (each row is converted once).
    bool Convert(const AVFrame* frame, PixelYC* const* outs, int32_t count, int32_t stride);
    // The same through 8-bit RGB, for still pictures (an untagged YUV
    // picture is taken as BT.601, as JPEG files are).
    bool Convert8(const AVFrame* frame, PixelYC* out, int32_t stride);

    // Turns the one-pass path off, so that every format goes through
    // swscale (for comparing the two).
    void set_direct(bool direct) { allow_direct_ = direct; }
    // Turns the explicit SIMD row kernels of the one-pass path off, so that
    // the plain loops run (they give the same bits; for comparing the two).
    void set_simd(bool simd) { allow_simd_ = simd; }
    // Converts pictures of the one-pass path exactly (ExactSampleError), for
    // lossless work; other formats convert as usual.
    void set_exact(bool exact) { exact_ = exact; }

  private:
    bool ConvertDirect(const AVFrame* frame, PixelYC* const* outs, int32_t count, int32_t stride);
    bool Prepare(const AVFrame* frame, AVPixelFormat rgb_format, int matrix_height);
    WorkerPool& Pool();
    int32_t threads_ = 0;
    bool allow_direct_ = true;
    bool allow_simd_ = true;
    bool exact_ = false;
    std::unique_ptr<WorkerPool> pool_;
    std::vector<float> scratch_;
    SwsContext* scaler_ = nullptr;
    int32_t width_ = 0, height_ = 0;
    int format_ = -1;
    int rgb_format_ = -1;
    ColourSpec colour_;
    std::vector<uint8_t> rgb_;
};

// Converts YC pictures to frames of an encoder's format.
class FromYCConverter {
  public:
    explicit FromYCConverter(int32_t threads = 0);
    ~FromYCConverter();
    FromYCConverter(const FromYCConverter&) = delete;
    FromYCConverter& operator=(const FromYCConverter&) = delete;

    // Sets the destination: size, format and, for YUV formats, matrix and range.
    bool Open(int32_t width, int32_t height, AVPixelFormat format, ColourSpec colour);
    // Converts width x height pixels of `in` (rows of `stride`) into `frame`,
    // which must have the size and format given to Open and allocated planes.
    bool Convert(const PixelYC* in, int32_t stride, AVFrame* frame);
    // As ToYCConverter::set_direct; takes effect at the next Open.
    void set_direct(bool direct) { allow_direct_ = direct; }
    // As ToYCConverter::set_simd.
    void set_simd(bool simd) { allow_simd_ = simd; }
    // As ToYCConverter::set_exact.
    void set_exact(bool exact) { exact_ = exact; }

  private:
    WorkerPool& Pool();
    int32_t threads_ = 0;
    bool allow_direct_ = true;
    bool allow_simd_ = true;
    bool exact_ = false;
    bool direct_ = false;
    AVPixelFormat format_ = AV_PIX_FMT_NONE;
    ColourSpec colour_;
    std::unique_ptr<WorkerPool> pool_;
    std::vector<float> scratch_;
    SwsContext* scaler_ = nullptr;
    int32_t width_ = 0, height_ = 0;
    std::vector<uint16_t> rgb_;
};
