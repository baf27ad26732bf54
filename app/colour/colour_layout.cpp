// Layouts of the one-pass path from the formats' descriptors (see
// colour_layout.h).
#include "colour/colour_layout.h"

#include <algorithm>
#include <cstdlib>

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace colour_detail {

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

RowGroup GroupOf(const YuvLayout& l, int32_t cy, int32_t height) {
    RowGroup g;
    g.y0 = cy << l.log2_ch;
    g.rows = std::min(height - g.y0, int32_t(1) << l.log2_ch);
    return g;
}

bool ChromaPlanar(const YuvLayout& l) {
    return l.step[1] == 1 && l.step[2] == 1 && l.plane[1] != l.plane[2];
}
bool ChromaPaired(const YuvLayout& l) {
    return l.step[1] == 2 && l.step[2] == 2 && l.plane[1] == l.plane[2] &&
           std::abs(l.offset[1] - l.offset[2]) == 1 && l.shift[1] == l.shift[2];
}

}  // namespace colour_detail
