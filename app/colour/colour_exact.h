// The exact path of lossless work (the converters' set_exact): the samples
// of a planar or semi-planar YUV picture to the plug-in's YC by rounding one
// affine map, and back by rounding its inverse. Unlike the usual path, which
// goes through RGB clamped to its cube, nothing is clamped on the way in:
// superwhite, blacker-than-black and chroma outside the RGB cube reach the
// plug-in as YC beyond 0..4096 and +-2048 (PixelYC holds them: at most about
// -1000..5200) and come back; on the way out only the sample range clamps.
//
// Why the round trip is exact. The way in is yc = round(M s), where s holds
// the sample's offsets (luma less black, chroma less the centre) and M maps
// the source's matrix and range onto the plug-in's BT.601 YC on its 4096
// scale: chroma from chroma alone, luma from all three. The way out is
// s' = round(N yc) with N = M^-1 (chroma averaged first, as integers, over
// the pixels that share a sample). With yc = M s + e, |e_i| <= 1/2, N yc =
// s + N e, and |(N e)_j| <= (sum_i |N_ji|) / 2: when every row of N sums to
// less than 1 in magnitude the error stays under half a sample and rounding
// gives s back. That holds for samples of up to 10 bits under every matrix
// and range (the largest row sum is 0.33, BT.709 full range), and for 12 bits
// under BT.601 (0.9998 at full range); ExactDrift tells for any other case.
// Internal to app/colour.
#pragma once

#include <cstdint>

extern "C" {
#include <libavutil/frame.h>
}

#include "colour/colour.h"
#include "colour/colour_layout.h"
#include "kinetra/plugin_abi.h"

namespace colour_detail {

struct ExactCoefficients {
    // In: Y = in_y[0] l + in_y[1] u + in_y[2] v; Cb, Cr = in_c (u, v), each
    // rounded to the nearest integer (l, u, v: the sample's offsets).
    double in_y[3], in_c[2][2];
    // Out: l = out_y[0] Y + out_y[1] Cb + out_y[2] Cr; u, v = out_c (Cb, Cr).
    double out_y[3], out_c[2][2];
    double black, centre;  // luma black and chroma centre in samples
    int32_t max_sample;
};

// The maps of samples of `depth` bits (8 to 16) with the matrix and range of
// `colour`.
ExactCoefficients ExactCoefficientsFor(ColourSpec colour, int32_t depth);

// The most the way out's rounding of YC can move a sample before it is
// rounded (half the largest row sum of N): below 1/2, every sample comes
// back exactly; otherwise a sample may move by up to round(drift).
double ExactDrift(const ExactCoefficients& k);

// The luma rows of group `g` (sharing chroma row cy) to YC, into rows[r].
// T is uint8_t or uint16_t.
template <typename T>
void ExactToYC(const AVFrame* f, const YuvLayout& l, const ExactCoefficients& k, int32_t cy,
               RowGroup g, PixelYC* const* rows);

// The YC rows `in` of group `g` to the frame's samples.
template <typename T>
void ExactFromYC(const PixelYC* const* in, const YuvLayout& l, const ExactCoefficients& k,
                 int32_t cy, RowGroup g, AVFrame* f);

}  // namespace colour_detail
