#include "source/orientation.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

extern "C" {
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

namespace {

// A matrix entry counts as zero below this share of the largest one (a
// matrix may carry a scale as well as the turn).
constexpr int64_t kZeroShare = 100;
// The side of the square tiles a plane is turned in, in samples.
constexpr int kTile = 32;

// -1, 0 or 1 for an entry, against the largest entry's size.
int SignOf(int32_t value, int64_t largest) {
    if (std::llabs(value) * kZeroShare < largest) return 0;
    return value > 0 ? 1 : -1;
}

// The turn alone, without a mirror: "turned 90° clockwise", or "" for none.
std::string TurnName(int a, int b) {
    if (a == 1) return "";
    if (a == -1) return "turned 180°";
    return b == 1 ? "turned 90° clockwise" : "turned 90° counterclockwise";
}

bool IsFullRangeFormat(const AVPixFmtDescriptor* d) {
    return std::strncmp(d->name, "yuvj", 4) == 0;
}

// Every plane's samples lie a whole number of bytes apart, the same for
// every component in the plane: a plane is an array of equal elements.
bool HasEvenElements(const AVPixFmtDescriptor* d) {
    for (int i = 0; i < d->nb_components; ++i) {
        for (int j = 0; j < d->nb_components; ++j) {
            if (d->comp[i].plane == d->comp[j].plane && d->comp[i].step != d->comp[j].step) {
                return false;
            }
        }
    }
    return true;
}

// The 4:4:4 format with the planes, depths and layout of `d`.
AVPixelFormat KinOf(const AVPixFmtDescriptor* d) {
    for (const AVPixFmtDescriptor* k = av_pix_fmt_desc_next(nullptr); k != nullptr;
         k = av_pix_fmt_desc_next(k)) {
        if (k->log2_chroma_w != 0 || k->log2_chroma_h != 0 || k->flags != d->flags ||
            k->nb_components != d->nb_components || IsFullRangeFormat(k) != IsFullRangeFormat(d)) {
            continue;
        }
        if (std::memcmp(k->comp, d->comp, sizeof(k->comp[0]) * size_t(d->nb_components)) == 0) {
            return av_pix_fmt_desc_get_id(k);
        }
    }
    return AV_PIX_FMT_NONE;
}

// How output plane samples find their stored sample: the stored position of
// output (X, Y) is (x0 + a*X + b*Y, y0 + c*X + d*Y) at the output plane's
// resolution, read at (x >> sx, y >> sy) of the stored plane.
struct PlaneMap {
    int a, b, c, d;
    int x0, y0;
    int sx, sy;
};

PlaneMap MapFor(const Orientation& o, int out_w, int out_h, int sx, int sy) {
    // The stored picture at the output plane's resolution.
    int in_w = o.swaps_sides() ? out_h : out_w;
    int in_h = o.swaps_sides() ? out_w : out_h;
    int ox = (o.a < 0 ? in_w - 1 : 0) + (o.c < 0 ? in_h - 1 : 0);
    int oy = (o.b < 0 ? in_w - 1 : 0) + (o.d < 0 ? in_h - 1 : 0);
    // The inverse of a signed permutation is its transpose.
    return PlaneMap{o.a, o.b, o.c, o.d, -(o.a * ox + o.b * oy), -(o.c * ox + o.d * oy), sx, sy};
}

// Turned in square tiles, so that the rows a tile reads stay in the cache
// while it walks across them.
template <size_t kBytes>
void TurnPlane(const uint8_t* in, int in_stride, uint8_t* out, int out_stride, int out_w, int out_h,
               const PlaneMap& m) {
    for (int tile_y = 0; tile_y < out_h; tile_y += kTile) {
        int end_y = std::min(tile_y + kTile, out_h);
        for (int tile_x = 0; tile_x < out_w; tile_x += kTile) {
            int end_x = std::min(tile_x + kTile, out_w);
            for (int y_out = tile_y; y_out < end_y; ++y_out) {
                uint8_t* row = out + ptrdiff_t(y_out) * out_stride;
                int x = m.x0 + m.a * tile_x + m.b * y_out;
                int y = m.y0 + m.c * tile_x + m.d * y_out;
                for (int x_out = tile_x; x_out < end_x; ++x_out) {
                    std::memcpy(row + size_t(x_out) * kBytes,
                                in + ptrdiff_t(y >> m.sy) * in_stride + size_t(x >> m.sx) * kBytes,
                                kBytes);
                    x += m.a;
                    y += m.c;
                }
            }
        }
    }
}

bool TurnPlaneOf(int bytes, const uint8_t* in, int in_stride, uint8_t* out, int out_stride,
                 int out_w, int out_h, const PlaneMap& m) {
    switch (bytes) {
        case 1:
            TurnPlane<1>(in, in_stride, out, out_stride, out_w, out_h, m);
            return true;
        case 2:
            TurnPlane<2>(in, in_stride, out, out_stride, out_w, out_h, m);
            return true;
        case 3:
            TurnPlane<3>(in, in_stride, out, out_stride, out_w, out_h, m);
            return true;
        case 4:
            TurnPlane<4>(in, in_stride, out, out_stride, out_w, out_h, m);
            return true;
        case 6:
            TurnPlane<6>(in, in_stride, out, out_stride, out_w, out_h, m);
            return true;
        case 8:
            TurnPlane<8>(in, in_stride, out, out_stride, out_w, out_h, m);
            return true;
        default:
            return false;
    }
}

// The facts of a frame that are not its samples: time, colour, aspect.
void CopyFacts(const AVFrame* frame, const Orientation& o, AVFrame* out) {
    out->pts = frame->pts;
    out->pkt_dts = frame->pkt_dts;
    out->best_effort_timestamp = frame->best_effort_timestamp;
    out->key_frame = frame->key_frame;
    out->pict_type = frame->pict_type;
    out->color_range = frame->color_range;
    out->colorspace = frame->colorspace;
    out->color_primaries = frame->color_primaries;
    out->color_trc = frame->color_trc;
    out->sample_aspect_ratio = frame->sample_aspect_ratio;
    if (o.swaps_sides() && frame->sample_aspect_ratio.num > 0) {
        out->sample_aspect_ratio =
            AVRational{frame->sample_aspect_ratio.den, frame->sample_aspect_ratio.num};
    }
}

}  // namespace

std::string Orientation::Describe() const {
    if (a * d - b * c == 1) return upright() ? "upright" : TurnName(a, b);
    // A mirror, then a turn: the turn is this orientation with x negated first.
    std::string turn = TurnName(-a, -b);
    if (turn == "turned 180°") return "mirrored top to bottom";
    return "mirrored left to right" + (turn.empty() ? "" : " and " + turn);
}

bool OrientationOf(const int32_t* matrix, Orientation* orientation, double* degrees) {
    *orientation = Orientation();
    *degrees = av_display_rotation_get(matrix);
    int64_t largest = 0;
    for (int i : {0, 1, 3, 4})
        largest = std::max<int64_t>(largest, std::llabs(matrix[i]));
    if (largest == 0) return false;
    Orientation o;
    o.a = SignOf(matrix[0], largest);
    o.b = SignOf(matrix[1], largest);
    o.c = SignOf(matrix[3], largest);
    o.d = SignOf(matrix[4], largest);
    bool straight = o.b == 0 && o.c == 0 && o.a != 0 && o.d != 0;
    bool quarter = o.a == 0 && o.d == 0 && o.b != 0 && o.c != 0;
    if (!straight && !quarter) return false;
    *orientation = o;
    return true;
}

AVPixelFormat TurnedFormat(AVPixelFormat format) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    constexpr uint64_t kNoSamples =
        AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL;
    if (d == nullptr || (d->flags & kNoSamples) || !HasEvenElements(d)) return AV_PIX_FMT_NONE;
    if (d->log2_chroma_w == d->log2_chroma_h) return format;
    return KinOf(d);
}

bool TurnFrame(const AVFrame* frame, const Orientation& o, AVFrame* out) {
    AVPixelFormat format = TurnedFormat(AVPixelFormat(frame->format));
    if (format == AV_PIX_FMT_NONE) return false;
    int w = o.swaps_sides() ? frame->height : frame->width;
    int h = o.swaps_sides() ? frame->width : frame->height;
    if (out->format != format || out->width != w || out->height != h || out->buf[0] == nullptr ||
        !av_frame_is_writable(out)) {
        av_frame_unref(out);
        out->format = format;
        out->width = w;
        out->height = h;
        if (av_frame_get_buffer(out, 0) < 0) return false;
    }
    CopyFacts(frame, o, out);
    const AVPixFmtDescriptor* in_d = av_pix_fmt_desc_get(AVPixelFormat(frame->format));
    const AVPixFmtDescriptor* out_d = av_pix_fmt_desc_get(format);
    for (int p = 0; p < av_pix_fmt_count_planes(format); ++p) {
        bool chroma = p == 1 || p == 2;
        int out_w = chroma ? AV_CEIL_RSHIFT(w, out_d->log2_chroma_w) : w;
        int out_h = chroma ? AV_CEIL_RSHIFT(h, out_d->log2_chroma_h) : h;
        // Stored chroma subsampled where the turned frame's is not (4:2:2 to
        // 4:4:4) is read at the stored plane's own resolution, each sample
        // repeated (the shifts are along the stored picture's sides).
        int sx = chroma ? in_d->log2_chroma_w - out_d->log2_chroma_w : 0;
        int sy = chroma ? in_d->log2_chroma_h - out_d->log2_chroma_h : 0;
        int bytes = 0;
        for (int i = 0; i < out_d->nb_components; ++i) {
            if (out_d->comp[i].plane == p) bytes = out_d->comp[i].step;
        }
        PlaneMap map = MapFor(o, out_w, out_h, sx, sy);
        if (!TurnPlaneOf(bytes, frame->data[p], frame->linesize[p], out->data[p], out->linesize[p],
                         out_w, out_h, map)) {
            return false;
        }
    }
    return true;
}
