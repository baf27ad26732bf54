// Spreading and averaging a rectangle into another buffer: mosaic (block
// averages), defocus (separable Gaussian blur) and diffuse (each pixel taken
// from a random neighbour).
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "common/clamp.h"
#include "common/constants.h"
#include "common/parallel.h"
#include "common/simd.h"
#include "formula/random.h"
#include "host/buffers.h"
#include "script/arguments.h"
#include "video/pixel.h"
#include "video/source_rect.h"
#include "video/video_commands.h"

#if KINETRA_HAVE_AVX2
// GCC 12's AVX-512 intrinsics start from a self-initialised register that
// its flow analysis takes for an uninitialised one.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

namespace {

// ---- mosaic ----------------------------------------------------------------

// One block's sums; 64 bits, so no block size can overflow them.
struct BlockSum {
    int64_t y, cb, cr, count;
};

struct MosaicJob {
    const PixelYC* source;
    PixelYC* dest;
    BlockSum* blocks;  // block_cols x block_rows, row by row
    int32_t max_w, max_h;
    int64_t sx, sy, dx, dy;
    int32_t width, height;  // rectangle size (clamped)
    int32_t block_w, block_h;
    int32_t block_cols, block_rows;
};

// Adds the source pixels of block row `block_row` that lie inside the buffer
// to their blocks. Each block row has one worker, so every sum is exact.
void AccumulateBlockRow(const MosaicJob& job, int32_t block_row) {
    int32_t j_end = std::min(job.height, (block_row + 1) * job.block_h);
    int32_t i_begin = ClampTo(-job.sx, job.width);
    int32_t i_end = ClampTo(job.max_w - job.sx, job.width);
    BlockSum* sums = job.blocks + static_cast<int64_t>(block_row) * job.block_cols;
    for (int32_t j = block_row * job.block_h; j < j_end; ++j) {
        int64_t y = job.sy + j;
        if (y < 0 || y >= job.max_h) continue;
        const PixelYC* row = job.source + y * job.max_w;
        for (int32_t i = i_begin; i < i_end;) {
            BlockSum& sum = sums[i / job.block_w];
            int32_t block_end = std::min(i_end, (i / job.block_w + 1) * job.block_w);
            for (; i < block_end; ++i) {
                const PixelYC& p = row[job.sx + i];
                sum.y += p.y;
                sum.cb += p.cb;
                sum.cr += p.cr;
                ++sum.count;
            }
        }
    }
}

// Blocks at most this tall may sum their columns in 32 bits first.
constexpr int32_t kColumnSumRows = 65536;

// The same sums as AccumulateBlockRow, columns first: `columns` (3 values per
// column of the rectangle) gets each column's values over the block row's
// rows inside the buffer, in one pass of vectors per row; then each block adds
// up its columns. Integer sums, so the order changes nothing; 32 bits hold a
// column of up to kColumnSumRows 16-bit values.
void AccumulateBlockRowByColumns(const MosaicJob& job, int32_t block_row, int32_t* columns) {
    int32_t j_end = std::min(job.height, (block_row + 1) * job.block_h);
    int32_t i_begin = ClampTo(-job.sx, job.width);
    int32_t i_end = ClampTo(job.max_w - job.sx, job.width);
    if (i_begin >= i_end) return;
    const int64_t n = 3 * static_cast<int64_t>(i_end - i_begin);
    std::fill(columns, columns + n, 0);
    int64_t rows = 0;
    for (int32_t j = block_row * job.block_h; j < j_end; ++j) {
        int64_t y = job.sy + j;
        if (y < 0 || y >= job.max_h) continue;
        const int16_t* values =
            reinterpret_cast<const int16_t*>(job.source + y * job.max_w + job.sx + i_begin);
        for (int64_t k = 0; k < n; ++k)
            columns[k] += values[k];
        ++rows;
    }
    if (rows == 0) return;
    BlockSum* sums = job.blocks + static_cast<int64_t>(block_row) * job.block_cols;
    for (int32_t i = i_begin; i < i_end;) {
        BlockSum& sum = sums[i / job.block_w];
        const int32_t block_begin = i;
        const int32_t block_end = std::min(i_end, (i / job.block_w + 1) * job.block_w);
        int64_t y = 0, cb = 0, cr = 0;
        for (; i < block_end; ++i) {
            const int32_t* c = columns + 3 * static_cast<int64_t>(i - i_begin);
            y += c[0];
            cb += c[1];
            cr += c[2];
        }
        sum.y += y;
        sum.cb += cb;
        sum.cr += cr;
        sum.count += rows * (block_end - block_begin);
    }
}

// Writes rectangle row j: each pixel becomes its block's average (truncated
// toward zero); blocks that had no pixel inside the buffer leave it alone.
void WriteMosaicRow(const MosaicJob& job, int32_t j) {
    int64_t y = job.dy + j;
    const BlockSum* sums = job.blocks + static_cast<int64_t>(j / job.block_h) * job.block_cols;
    int32_t i_begin = ClampTo(-job.dx, job.width);
    int32_t i_end = ClampTo(job.max_w - job.dx, job.width);
    PixelYC* row = job.dest + y * job.max_w;
    for (int32_t i = i_begin; i < i_end;) {
        const BlockSum& sum = sums[i / job.block_w];
        int32_t block_end = std::min(i_end, (i / job.block_w + 1) * job.block_w);
        if (sum.count == 0) {
            i = block_end;
            continue;
        }
        PixelYC average;
        average.y = static_cast<int16_t>(sum.y / sum.count);
        average.cb = static_cast<int16_t>(sum.cb / sum.count);
        average.cr = static_cast<int16_t>(sum.cr / sum.count);
        for (; i < block_end; ++i) {
            row[job.dx + i] = average;
        }
    }
}

}  // namespace

int64_t DefocusRadius(int32_t radius, int32_t max_w, int32_t max_h) {
    const int64_t reach = std::max<int64_t>(std::max(max_w, max_h) - 1, kMinDefocusRadius);
    return std::clamp<int64_t>(radius, kMinDefocusRadius, reach);
}

namespace {

// ---- defocus ---------------------------------------------------------------

// A pixel's three channels as three consecutive values: both passes treat a
// row as one run of values, since every channel gets the same weights.
static_assert(sizeof(PixelYC) == 3 * sizeof(int16_t), "PixelYC is three packed channels");
constexpr int64_t kChannels = 3;

// Values kept converted by one vertical-pass strip: its ring of rows, each
// stored twice, small enough to stay in the nearest cache.
constexpr int64_t kRingValues = 9000;
// Rows read ahead of the one being converted (their columns are one page
// apart or more, which the processor does not fetch ahead by itself); more
// measured slower, the lines fetched too early leaving the nearest cache.
constexpr int64_t kPrefetchRows = 8;
// Rows a worker takes through both passes at a time, where it may: every
// strip of a chunk converts 2r rows more than it sums (shorter chunks lose
// more to those than they win from the cache), and a chunk's values between
// the passes are read back from a cache nearer than memory.
constexpr int64_t kFusedRows = 64;
// The float sums are used while their error bound stays below this, where
// at most a few values in a hundred need the double sum again.
constexpr double kFloatBoundLimit = 1.0 / 64;

std::atomic<int64_t> s_defocus_double_sums{0};

KINETRA_INLINE int16_t TruncateSum(double sum) {
    return Low16(static_cast<int32_t>(sum));
}

// The kernel in both precisions. Its taps are symmetric (w[k] and w[2r - k]
// are the same double), so the float sums add each pair of values first and
// take one product: half[j] is w[j] rounded to float, j = 0 .. r.
struct DefocusKernel {
    const double* weights;  // 2r + 1 taps
    const float* half;      // r + 1 taps
    int64_t radius;
    // The error bound of the float sum (see FloatSumBound) per unit of the
    // largest magnitude among the values summed.
    double bound_per_value;
    double total;  // the sum of the taps (all positive)
};

// Why a float sum may stand in for the double one.
//
// The value stored is trunc(D), D the double sum of w[k] * v[k] in order of
// k. Let S be the exact sum of w[k] * v[k] and F the float sum: pairs p_j =
// v[j] + v[2r - j] (exact, integers below 2^17), products t_j = fl(h_j * p_j)
// with h_j = fl(w[j]), added from j = 0 (smallest weights first) to j = r
// (the middle value alone). With u = 2^-24, M the largest |v|, a_j = 2 h_j
// (h_r for the middle) and A_j = a_0 + .. + a_j:
//   |F - S| <= M * (sum_j |w[j] - h_j| * (2 or 1)   rounding the weights
//                   + u * sum_j a_j                  each product
//                   + u (1+u)^(r+2) * sum_j>0 A_j)   each addition, whose
// operands are at most (1+u)^(j+1) A_j M. D's own error is the same sum for
// doubles (u = 2^-53, 2r + 1 products and 2r additions). The AVX2 and
// AVX-512 builds add each product to the running sum s with a fused
// multiply-add: the first (onto 0) rounds h_0 * p_0 once, as counted, and
// every later step rounds s + h_j * p_j once, an error of at most
// u |s + h_j * p_j| <= u (1+u)^(j+1) A_j M, the addition's term above without
// the product's; so the bound holds for them too. So S and D both lie within
// B = M * bound_per_value of F. Truncation is constant between two nonzero
// integers (over (-1, 1) it is zero), so when no nonzero integer lies within
// B of F, trunc(F) = trunc(D); otherwise the value gets the double sum.
double FloatSumBound(const double* weights, const float* half, int64_t radius) {
    const double u = 0x1p-24, ud = 0x1p-53;
    double weight_error = 0.0, products = 0.0, additions = 0.0, prefix = 0.0;
    for (int64_t j = 0; j <= radius; ++j) {
        const double a = (j < radius ? 2.0 : 1.0) * half[j];
        weight_error += (j < radius ? 2.0 : 1.0) * std::fabs(weights[j] - double(half[j]));
        products += a;
        prefix += a;
        if (j > 0) additions += prefix;
    }
    double d_products = 0.0, d_additions = 0.0, d_prefix = 0.0;
    for (int64_t k = 0; k <= 2 * radius; ++k) {
        d_products += weights[k];
        d_prefix += weights[k];
        if (k > 0) d_additions += d_prefix;
    }
    // (1 + u)^m <= 1 + 2mu while mu <= 1/2; larger kernels never use floats.
    const double growth = 1.0 + 2.0 * double(radius + 2) * u;
    const double d_growth = 1.0 + 2.0 * double(2 * radius + 2) * ud;
    const double bound = weight_error + u * (products + growth * additions) +
                         ud * (d_products + d_growth * d_additions);
    // Headroom for the rounding of this computation itself.
    return double(radius) * u > 0.25 ? HUGE_VAL : bound * (1.0 + 0x1p-20);
}

// The float bound for values up to `largest` in magnitude, rounded up to a
// float; zero when the float sums would need the double one too often.
float FloatBound(const DefocusKernel& kernel, int32_t largest) {
    const double bound = kernel.bound_per_value * std::max(largest, 1);
    if (!(bound <= kFloatBoundLimit)) return 0.0f;
    float f = static_cast<float>(bound);
    return double(f) < bound ? std::nextafter(f, 1.0f) : f;
}

// The largest magnitude a blurred value can have where no value summed is
// beyond `largest`: the sum's, with room for its rounding, or the largest
// of 16 bits.
int32_t BlurredLargest(const DefocusKernel& kernel, int32_t largest) {
    return int32_t(std::min(32768.0, std::ceil(double(largest) * kernel.total) + 1.0));
}

// Whether every float sum lies strictly inside (-32768, 32768), whatever
// 16-bit values are summed. A float sum is only used while its error bound
// B is about 1/64 at most (kFloatBoundLimit, rounded up to a float) and r <=
// 2^22 (see FloatSumBound); the exact sum is at most 32768 times the sum of
// the taps, which `total` holds to within a relative 2r * 2^-53 <= 2^-30
// (2r + 1 positive terms). So |float sum| <= 32768 * total * (1 + 2^-30) +
// B < 32768 * total + 0.02, below 32767 when 32768 * total + 1 <= 32767.
// Then a sum's truncation keeps all of its bits. Every kernel but r = 2's
// (whose taps sum to 1.00026) passes. Only the AVX2 and AVX-512 passes use it.
#if KINETRA_HAVE_AVX2
bool InRange(const DefocusKernel& kernel) {
    return 32768.0 * kernel.total + 1.0 <= 32767.0;
}
#endif

// Vectors: floats and doubles, four and two lanes (SSE2, or plain values
// where the machine has no vectors) and eight and four (AVX2).
typedef float Float4 __attribute__((vector_size(16)));
typedef float Float8 __attribute__((vector_size(32)));
typedef float Float16 __attribute__((vector_size(64)));
typedef double Double2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef double Double8 __attribute__((vector_size(64)));
typedef int32_t Int2 __attribute__((vector_size(8)));
typedef int32_t Int4 __attribute__((vector_size(16)));
typedef int32_t Int8 __attribute__((vector_size(32)));
typedef int32_t Int16 __attribute__((vector_size(64)));
typedef int16_t Short2 __attribute__((vector_size(4)));
typedef int16_t Short4 __attribute__((vector_size(8)));
typedef int16_t Short8 __attribute__((vector_size(16)));
typedef int16_t Short16 __attribute__((vector_size(32)));

template <class V>
struct VectorOf;
template <>
struct VectorOf<Double2> {
    typedef Int2 Int;
    typedef Short2 Short;
    typedef float Half __attribute__((vector_size(8)));
};
template <>
struct VectorOf<Double4> {
    typedef Int4 Int;
    typedef Short4 Short;
    typedef Float4 Half;
};
template <>
struct VectorOf<Double8> {
    typedef Int8 Int;
    typedef Short8 Short;
    typedef Float8 Half;
};
template <>
struct VectorOf<Float4> {
    typedef Int4 Int;
    typedef Short4 Short;
    typedef Double2 Wide;
};
template <>
struct VectorOf<Float8> {
    typedef Int8 Int;
    typedef Short8 Short;
    typedef Double4 Wide;
};
template <>
struct VectorOf<Float16> {
    typedef Int16 Int;
    typedef Short16 Short;
    typedef Double8 Wide;
};

// Stores truncated sums' low 16 bits `low` (a vector of int16_t) at out:
// as they are, or as floats (FloatV: as many lanes) for a pass that reads
// them as floats, which hold them exactly.
template <class FloatV, class Short, class Out>
KINETRA_INLINE void StoreLow16(Short low, Out* out) {
    if constexpr (std::is_same<Out, int16_t>::value) {
        __builtin_memcpy(out, &low, sizeof low);
    } else {
        const FloatV f = __builtin_convertvector(low, FloatV);
        __builtin_memcpy(out, &f, sizeof f);
    }
}

// One tap's sum over a run of values: out[b] = trunc(sum over k of w[k] *
// p[k * step + b]), each sum taken in order of k from 0.0 with the product
// rounded before the addition, exactly as one value at a time would. The
// values are 16-bit integers held as floats, so their doubles are exact.
// kVectors vectors of sums stay in registers, so each tap is one load,
// multiply and add per vector for many values at once.
template <class V, int32_t kVectors, class Out>
KINETRA_INLINE void SumBlock(const float* p, int64_t step, const double* weights, int64_t taps,
                             Out* out) {
    constexpr int32_t kLanes = sizeof(V) / sizeof(double);
    V sums[kVectors];
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v)
        sums[v] = V{};
    for (int64_t k = 0; k < taps; ++k, p += step) {
        const double w = weights[k];
#pragma GCC unroll 16
        for (int32_t v = 0; v < kVectors; ++v) {
            typename VectorOf<V>::Half x;
            __builtin_memcpy(&x, p + v * kLanes, sizeof x);
            sums[v] += w * __builtin_convertvector(x, V);
        }
    }
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v) {
        // Truncated toward zero, then the low 16 bits (as TruncateSum).
        auto low =
            __builtin_convertvector(__builtin_convertvector(sums[v], typename VectorOf<V>::Int),
                                    typename VectorOf<V>::Short);
        StoreLow16<typename VectorOf<V>::Half>(low, out + v * kLanes);
    }
}

template <class Out>
KINETRA_INLINE void SumOne(const float* p, int64_t step, const double* weights, int64_t taps,
                           Out* out) {
    double sum = 0.0;
    for (int64_t k = 0; k < taps; ++k, p += step)
        sum += weights[k] * double(*p);
    *out = TruncateSum(sum);
}

// The values marked in `near` (bit b for out[b]), from the rows
// p + k * step, again as the double sum.
template <class Out>
inline void RedoNear(uint64_t near, const float* p, int64_t step, const DefocusKernel& kernel,
                     Out* out) {
    int64_t redone = 0;
    for (; near != 0; near &= near - 1) {
        const int32_t b = __builtin_ctzll(near);
        SumOne(p + b, step, kernel.weights, 2 * kernel.radius + 1, out + b);
        ++redone;
    }
    s_defocus_double_sums.fetch_add(redone, std::memory_order_relaxed);
}

// SumBlock's results from float sums (see FloatSumBound): pairs of values
// symmetric about the middle tap are added first, so each pair takes one
// multiply and one add. Values whose float sum lies within `bound` of a
// nonzero integer get the double sum instead.
template <class F, int32_t kVectors, class Out>
KINETRA_INLINE void SumBlockFloat(const float* p, int64_t step, const DefocusKernel& kernel,
                                  float bound, Out* out) {
    typedef typename VectorOf<F>::Int Int;
    constexpr int32_t kLanes = sizeof(F) / sizeof(float);
    F sums[kVectors];
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v)
        sums[v] = F{};
    const float* low = p;
    const float* high = p + 2 * kernel.radius * step;
    for (int64_t j = 0; j < kernel.radius; ++j, low += step, high -= step) {
        const float w = kernel.half[j];
#pragma GCC unroll 16
        for (int32_t v = 0; v < kVectors; ++v) {
            F a, b;
            __builtin_memcpy(&a, low + v * kLanes, sizeof a);
            __builtin_memcpy(&b, high + v * kLanes, sizeof b);
            sums[v] += w * (a + b);
        }
    }
    const float middle = kernel.half[kernel.radius];
    static_assert(kVectors * kLanes <= 64, "one bit per value");
    Int marked[kVectors];
    Int any{};
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v) {
        F a;
        __builtin_memcpy(&a, low + v * kLanes, sizeof a);
        const F sum = sums[v] + middle * a;
        const Int whole = __builtin_convertvector(sum, Int);
        // Adding and taking away 1.5 * 2^23 rounds a float below 2^22 in
        // magnitude to the nearest integer, exactly; sum less that integer
        // is exact too (they are within a factor of two, or it is zero).
        const F nearest = (sum + 0x1.8p23f) - 0x1.8p23f;
        const F difference = sum - nearest;
        Int bits;
        __builtin_memcpy(&bits, &difference, sizeof bits);
        bits &= 0x7FFFFFFF;
        F distance;
        __builtin_memcpy(&distance, &bits, sizeof distance);
        // Truncation changes only at nonzero integers.
        marked[v] = (distance <= bound) & (nearest != 0.0f);
        any |= marked[v];
        StoreLow16<F>(__builtin_convertvector(whole, typename VectorOf<F>::Short),
                      out + v * kLanes);
    }
    int32_t lanes_near = 0;
    for (int32_t i = 0; i < kLanes; ++i)
        lanes_near |= any[i];
    if (lanes_near == 0) return;
    uint64_t near = 0;
    for (int32_t v = 0; v < kVectors; ++v) {
        for (int32_t i = 0; i < kLanes; ++i)
            near |= uint64_t{marked[v][i] != 0} << (v * kLanes + i);
    }
    RedoNear(near, p, step, kernel, out);
}

#if KINETRA_HAVE_AVX2
// The AVX2 builds take the float sums with fused multiply-adds: each tap is
// rounded once where the portable build rounds twice (the product, then the
// sum), in the same order, so the bound of FloatSumBound holds for them (see
// there). Contraction is off for the rest of the build, so they are written
// out with intrinsics; a machine with AVX2 but without FMA takes the
// portable build.
#define KINETRA_TARGET_AVX2_FMA __attribute__((target("avx2,fma")))

// The distance of each float sum from the nearest nonzero integer, where
// truncation may differ from the double sum's: with m = |a| and n the larger
// of 1 and m rounded to the nearest integer, |m - n|. A nonzero integer
// within a distance d < 1/2 of a has magnitude round(m), at least 1, so it is
// n; and m - n is exact when m >= 1/2 (n is within 1/2 of m, so they are
// within a factor of two), and of magnitude at least 1/2, rounded or not,
// when m < 1/2 (then n = 1). So the result is the distance itself wherever
// that is below 1/2, and at least 1/2 elsewhere: the lanes within a bound
// B < 1/2 of a nonzero integer are exactly those whose result is at most B.
KINETRA_TARGET_AVX2_FMA inline __m256 NonzeroIntegerDistance(__m256 a) {
    const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    const __m256 m = _mm256_and_ps(a, magnitude);
    const __m256 n = _mm256_max_ps(
        _mm256_round_ps(m, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC), _mm256_set1_ps(1.0f));
    return _mm256_and_ps(_mm256_sub_ps(m, n), magnitude);
}

// Finishes two vectors of float sums: their truncations' low 16 bits go to
// out[0 .. 16); returns the smaller NonzeroIntegerDistance of each lane.
// Only when a block has a lane within the bound are its lanes told apart
// (NearBits), which is seldom. Floats at `out` get the same values, the low
// 16 bits taken as signed. With kInRange, every sum lies strictly inside
// (-32768, 32768) (see InRange), so its truncation is all of its bits.
template <bool kInRange>
KINETRA_TARGET_AVX2_FMA inline __m256 FinishTwo(__m256 a, __m256 b, int16_t* out) {
    __m256i whole_a = _mm256_cvttps_epi32(a), whole_b = _mm256_cvttps_epi32(b);
    __m256i packed;
    if constexpr (kInRange) {
        // Saturation leaves 16-bit values as they are.
        packed = _mm256_packs_epi32(whole_a, whole_b);
    } else {
        // The low 16 bits of each, in order.
        const __m256i low16 = _mm256_set1_epi32(0xFFFF);
        packed =
            _mm256_packus_epi32(_mm256_and_si256(whole_a, low16), _mm256_and_si256(whole_b, low16));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_permute4x64_epi64(packed, 0xD8));
    return _mm256_min_ps(NonzeroIntegerDistance(a), NonzeroIntegerDistance(b));
}
template <bool kInRange>
KINETRA_TARGET_AVX2_FMA inline __m256 FinishTwo(__m256 a, __m256 b, float* out) {
    if constexpr (kInRange) {
        _mm256_storeu_ps(out, _mm256_round_ps(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
        _mm256_storeu_ps(out + 8, _mm256_round_ps(b, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
    } else {
        // Shifting the low 16 bits to the top and back extends their sign.
        const __m256i whole_a =
            _mm256_srai_epi32(_mm256_slli_epi32(_mm256_cvttps_epi32(a), 16), 16);
        const __m256i whole_b =
            _mm256_srai_epi32(_mm256_slli_epi32(_mm256_cvttps_epi32(b), 16), 16);
        _mm256_storeu_ps(out, _mm256_cvtepi32_ps(whole_a));
        _mm256_storeu_ps(out + 8, _mm256_cvtepi32_ps(whole_b));
    }
    return _mm256_min_ps(NonzeroIntegerDistance(a), NonzeroIntegerDistance(b));
}

// Whether any lane of FinishTwo's distances lies within `bound`.
KINETRA_TARGET_AVX2_FMA inline bool AnyNear(__m256 distance, __m256 bound) {
    return _mm256_movemask_ps(_mm256_cmp_ps(distance, bound, _CMP_LE_OQ)) != 0;
}

// A bit for each value of FinishTwo's out[0 .. 16) that lies near an integer.
KINETRA_TARGET_AVX2_FMA inline uint32_t NearBits(__m256 a, __m256 b, __m256 bound) {
    return uint32_t(
               _mm256_movemask_ps(_mm256_cmp_ps(NonzeroIntegerDistance(a), bound, _CMP_LE_OQ))) |
           uint32_t(_mm256_movemask_ps(_mm256_cmp_ps(NonzeroIntegerDistance(b), bound, _CMP_LE_OQ)))
               << 8;
}

// SumBlockFloat<Float8, 8> with fused multiply-adds: 64 values.
template <int32_t kVectors, bool kInRange, class Out>
KINETRA_TARGET_AVX2_FMA inline void SumBlockFma(const float* p, int64_t step,
                                                const DefocusKernel& kernel, float bound,
                                                Out* out) {
    static_assert(kVectors % 2 == 0 && kVectors <= 8, "whole pairs of vectors");
    __m256 sums[kVectors];
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v)
        sums[v] = _mm256_setzero_ps();
    const int64_t r = kernel.radius;
    const float* low = p;
    const float* high = p + 2 * r * step;
    // Two taps a turn: these loops are bound by the instructions the core
    // takes in, and the loop's own counting is a good share of them.
#pragma GCC unroll 2
    for (int64_t j = 0; j < r; ++j, low += step, high -= step) {
        const __m256 w = _mm256_broadcast_ss(kernel.half + j);
#pragma GCC unroll 16
        for (int32_t v = 0; v < kVectors; ++v) {
            const __m256 pair =
                _mm256_add_ps(_mm256_loadu_ps(low + 8 * v), _mm256_loadu_ps(high + 8 * v));
            sums[v] = _mm256_fmadd_ps(w, pair, sums[v]);
        }
    }
    const __m256 middle = _mm256_broadcast_ss(kernel.half + r);
    const __m256 limit = _mm256_set1_ps(bound);
    __m256 nearest = _mm256_set1_ps(1.0f);
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; v += 2) {
        sums[v] = _mm256_fmadd_ps(middle, _mm256_loadu_ps(low + 8 * v), sums[v]);
        sums[v + 1] = _mm256_fmadd_ps(middle, _mm256_loadu_ps(low + 8 * v + 8), sums[v + 1]);
        nearest = _mm256_min_ps(nearest, FinishTwo<kInRange>(sums[v], sums[v + 1], out + 8 * v));
    }
    if (!AnyNear(nearest, limit)) return;
    uint64_t near = 0;
    for (int32_t v = 0; v < kVectors; v += 2)
        near |= uint64_t{NearBits(sums[v], sums[v + 1], limit)} << (8 * v);
    RedoNear(near, p, step, kernel, out);
}

// Two rows of 32 values at once, where each row loaded serves both: out0
// from the window of rows p + k * step (k = 0 .. 2r), out1 from the window
// one row further on. Each sum takes its pairs in the same order as
// SumBlockFma. Pair j of out0 is rows j and 2r - j; pair j of out1 is rows
// j + 1 and 2r + 1 - j, so a step of j loads rows j and 2r - j and takes
// pair j of out0 and pair j - 1 of out1 (whose high row, 2r + 2 - j, was
// loaded two steps before and comes again from the nearest cache): three
// loads for two pairs instead of four.
template <bool kInRange, class Out>
KINETRA_TARGET_AVX2_FMA inline void SumRowPairFma(const float* p, int64_t step,
                                                  const DefocusKernel& kernel, float bound,
                                                  Out* out0, Out* out1) {
    constexpr int32_t kVectors = 4;
    const int64_t r = kernel.radius;
    const float* low = p;                  // row j
    const float* high = p + 2 * r * step;  // row 2r - j
    __m256 sum0[kVectors], sum1[kVectors];
    const __m256 w0 = _mm256_broadcast_ss(kernel.half);
#pragma GCC unroll 4
    for (int32_t v = 0; v < kVectors; ++v) {
        const __m256 pair =
            _mm256_add_ps(_mm256_loadu_ps(low + 8 * v), _mm256_loadu_ps(high + 8 * v));
        sum0[v] = _mm256_mul_ps(w0, pair);
        sum1[v] = _mm256_setzero_ps();
    }
    // Two steps a turn, as in SumBlockFma; each tap is loaded once and kept
    // for the next step.
    __m256 w_before = w0;
#pragma GCC unroll 2
    for (int64_t j = 1; j < r; ++j) {
        low += step;
        high -= step;
        const __m256 w = _mm256_broadcast_ss(kernel.half + j);
#pragma GCC unroll 4
        for (int32_t v = 0; v < kVectors; ++v) {
            const __m256 l = _mm256_loadu_ps(low + 8 * v);
            const __m256 pair0 = _mm256_add_ps(l, _mm256_loadu_ps(high + 8 * v));
            const __m256 pair1 = _mm256_add_ps(l, _mm256_loadu_ps(high + 2 * step + 8 * v));
            sum0[v] = _mm256_fmadd_ps(w, pair0, sum0[v]);
            sum1[v] = _mm256_fmadd_ps(w_before, pair1, sum1[v]);
        }
        w_before = w;
    }
    // Row r: out0's middle, and with row r + 2 out1's last pair; then row
    // r + 1, out1's middle.
    low += step;
    const __m256 w_last = _mm256_broadcast_ss(kernel.half + r - 1);
    const __m256 middle = _mm256_broadcast_ss(kernel.half + r);
#pragma GCC unroll 4
    for (int32_t v = 0; v < kVectors; ++v) {
        const __m256 m = _mm256_loadu_ps(low + 8 * v);
        sum0[v] = _mm256_fmadd_ps(middle, m, sum0[v]);
        const __m256 pair1 = _mm256_add_ps(m, _mm256_loadu_ps(low + 2 * step + 8 * v));
        sum1[v] = _mm256_fmadd_ps(w_last, pair1, sum1[v]);
        sum1[v] = _mm256_fmadd_ps(middle, _mm256_loadu_ps(low + step + 8 * v), sum1[v]);
    }
    const __m256 limit = _mm256_set1_ps(bound);
    __m256 nearest = _mm256_set1_ps(1.0f);
#pragma GCC unroll 4
    for (int32_t v = 0; v < kVectors; v += 2) {
        nearest = _mm256_min_ps(nearest, FinishTwo<kInRange>(sum0[v], sum0[v + 1], out0 + 8 * v));
        nearest = _mm256_min_ps(nearest, FinishTwo<kInRange>(sum1[v], sum1[v + 1], out1 + 8 * v));
    }
    if (!AnyNear(nearest, limit)) return;
    uint32_t near0 = 0, near1 = 0;
    for (int32_t v = 0; v < kVectors; v += 2) {
        near0 |= NearBits(sum0[v], sum0[v + 1], limit) << (8 * v);
        near1 |= NearBits(sum1[v], sum1[v + 1], limit) << (8 * v);
    }
    RedoNear(near0, p, step, kernel, out0);
    RedoNear(near1, p + step, step, kernel, out1);
}

// The AVX-512 builds: the same sums as the AVX2 ones (the same pairs, in the
// same order, each tap with a fused multiply-add), sixteen values a vector.

// NonzeroIntegerDistance on sixteen lanes.
KINETRA_TARGET_AVX512 inline __m512 NonzeroIntegerDistance512(__m512 a) {
    const __m512 m = _mm512_abs_ps(a);
    const __m512 n =
        _mm512_max_ps(_mm512_roundscale_ps(m, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC),
                      _mm512_set1_ps(1.0f));
    return _mm512_abs_ps(_mm512_sub_ps(m, n));
}

// Finishes a vector of float sums as FinishTwo does: their truncations' low
// 16 bits go to out[0 .. 16), as they are or as floats; returns their
// NonzeroIntegerDistance.
template <bool kInRange>
KINETRA_TARGET_AVX512 inline __m512 Finish512(__m512 a, int16_t* out) {
    // Narrowing keeps the low 16 bits of each.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm512_cvtepi32_epi16(_mm512_cvttps_epi32(a)));
    return NonzeroIntegerDistance512(a);
}
template <bool kInRange>
KINETRA_TARGET_AVX512 inline __m512 Finish512(__m512 a, float* out) {
    if constexpr (kInRange) {
        _mm512_storeu_ps(out, _mm512_roundscale_ps(a, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
    } else {
        // Shifting the low 16 bits to the top and back extends their sign.
        const __m512i whole = _mm512_srai_epi32(_mm512_slli_epi32(_mm512_cvttps_epi32(a), 16), 16);
        _mm512_storeu_ps(out, _mm512_cvtepi32_ps(whole));
    }
    return NonzeroIntegerDistance512(a);
}

// A bit for each of Finish512's values whose distance lies within `bound`.
KINETRA_TARGET_AVX512 inline uint32_t NearBits512(__m512 distance, __m512 bound) {
    return _mm512_cmp_ps_mask(distance, bound, _CMP_LE_OQ);
}

// SumBlockFma on sixteen lanes: 64 values.
template <int32_t kVectors, bool kInRange, class Out>
KINETRA_TARGET_AVX512 inline void SumBlock512(const float* p, int64_t step,
                                              const DefocusKernel& kernel, float bound, Out* out) {
    static_assert(kVectors <= 4, "one bit per value");
    __m512 sums[kVectors];
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v)
        sums[v] = _mm512_setzero_ps();
    const int64_t r = kernel.radius;
    const float* low = p;
    const float* high = p + 2 * r * step;
#pragma GCC unroll 2
    for (int64_t j = 0; j < r; ++j, low += step, high -= step) {
        const __m512 w = _mm512_set1_ps(kernel.half[j]);
#pragma GCC unroll 16
        for (int32_t v = 0; v < kVectors; ++v) {
            const __m512 pair =
                _mm512_add_ps(_mm512_loadu_ps(low + 16 * v), _mm512_loadu_ps(high + 16 * v));
            sums[v] = _mm512_fmadd_ps(w, pair, sums[v]);
        }
    }
    const __m512 middle = _mm512_set1_ps(kernel.half[r]);
    const __m512 limit = _mm512_set1_ps(bound);
    uint64_t near = 0;
#pragma GCC unroll 16
    for (int32_t v = 0; v < kVectors; ++v) {
        sums[v] = _mm512_fmadd_ps(middle, _mm512_loadu_ps(low + 16 * v), sums[v]);
        near |= uint64_t{NearBits512(Finish512<kInRange>(sums[v], out + 16 * v), limit)}
                << (16 * v);
    }
    if (near != 0) RedoNear(near, p, step, kernel, out);
}

// SumRowPairFma on sixteen lanes: two rows of 32 values.
template <bool kInRange, class Out>
KINETRA_TARGET_AVX512 inline void SumRowPair512(const float* p, int64_t step,
                                                const DefocusKernel& kernel, float bound, Out* out0,
                                                Out* out1) {
    constexpr int32_t kVectors = 2;
    const int64_t r = kernel.radius;
    const float* low = p;
    const float* high = p + 2 * r * step;
    __m512 sum0[kVectors], sum1[kVectors];
    const __m512 w0 = _mm512_set1_ps(kernel.half[0]);
#pragma GCC unroll 4
    for (int32_t v = 0; v < kVectors; ++v) {
        const __m512 pair =
            _mm512_add_ps(_mm512_loadu_ps(low + 16 * v), _mm512_loadu_ps(high + 16 * v));
        sum0[v] = _mm512_mul_ps(w0, pair);
        sum1[v] = _mm512_setzero_ps();
    }
    __m512 w_before = w0;
    // Pair j of out0 and pair j - 1 of out1 a step, as in SumRowPairFma.
#pragma GCC unroll 2
    for (int64_t j = 1; j < r; ++j) {
        low += step;
        high -= step;
        const __m512 w = _mm512_set1_ps(kernel.half[j]);
#pragma GCC unroll 4
        for (int32_t v = 0; v < kVectors; ++v) {
            const __m512 l = _mm512_loadu_ps(low + 16 * v);
            const __m512 pair0 = _mm512_add_ps(l, _mm512_loadu_ps(high + 16 * v));
            const __m512 pair1 = _mm512_add_ps(l, _mm512_loadu_ps(high + 2 * step + 16 * v));
            sum0[v] = _mm512_fmadd_ps(w, pair0, sum0[v]);
            sum1[v] = _mm512_fmadd_ps(w_before, pair1, sum1[v]);
        }
        w_before = w;
    }
    // Row r: out0's middle, and with row r + 2 out1's last pair; then row
    // r + 1, out1's middle.
    low += step;
    const __m512 w_last = _mm512_set1_ps(kernel.half[r - 1]);
    const __m512 middle = _mm512_set1_ps(kernel.half[r]);
#pragma GCC unroll 4
    for (int32_t v = 0; v < kVectors; ++v) {
        const __m512 m = _mm512_loadu_ps(low + 16 * v);
        sum0[v] = _mm512_fmadd_ps(middle, m, sum0[v]);
        const __m512 pair1 = _mm512_add_ps(m, _mm512_loadu_ps(low + 2 * step + 16 * v));
        sum1[v] = _mm512_fmadd_ps(w_last, pair1, sum1[v]);
        sum1[v] = _mm512_fmadd_ps(middle, _mm512_loadu_ps(low + step + 16 * v), sum1[v]);
    }
    const __m512 limit = _mm512_set1_ps(bound);
    uint32_t near0 = 0, near1 = 0;
#pragma GCC unroll 4
    for (int32_t v = 0; v < kVectors; ++v) {
        near0 |= NearBits512(Finish512<kInRange>(sum0[v], out0 + 16 * v), limit) << (16 * v);
        near1 |= NearBits512(Finish512<kInRange>(sum1[v], out1 + 16 * v), limit) << (16 * v);
    }
    if (near0 != 0) RedoNear(near0, p, step, kernel, out0);
    if (near1 != 0) RedoNear(near1, p + step, step, kernel, out1);
}
#endif

// The sums over n values: blocks of eight vectors (four of sixteen lanes),
// then single vectors, then single values; float sums where `bound` allows
// (nonzero), else doubles.
template <class F, bool kInRange, class Out>
KINETRA_INLINE void SumRunOf(const float* p, int64_t step, const DefocusKernel& kernel, float bound,
                             int64_t n, Out* out) {
    typedef typename VectorOf<F>::Wide D;
    const int64_t taps = 2 * kernel.radius + 1;
    int64_t b = 0;
    if (bound > 0.0f) {
        constexpr int32_t kLanes = sizeof(F) / sizeof(float);
        constexpr int32_t kBlock = std::min(8 * kLanes, 64);
        for (; b + kBlock <= n; b += kBlock) {
#if KINETRA_HAVE_AVX2
            if constexpr (std::is_same<F, Float8>::value) {
                SumBlockFma<8, kInRange>(p + b, step, kernel, bound, out + b);
            } else if constexpr (std::is_same<F, Float16>::value) {
                SumBlock512<4, kInRange>(p + b, step, kernel, bound, out + b);
            } else
#endif
            {
                SumBlockFloat<F, kBlock / kLanes>(p + b, step, kernel, bound, out + b);
            }
        }
        for (; b + kLanes <= n; b += kLanes)
            SumBlockFloat<F, 1>(p + b, step, kernel, bound, out + b);
    } else {
        constexpr int32_t kLanes = sizeof(D) / sizeof(double);
        for (; b + 8 * kLanes <= n; b += 8 * kLanes)
            SumBlock<D, 8>(p + b, step, kernel.weights, taps, out + b);
        for (; b + kLanes <= n; b += kLanes)
            SumBlock<D, 1>(p + b, step, kernel.weights, taps, out + b);
    }
    for (; b < n; ++b)
        SumOne(p + b, step, kernel.weights, taps, out + b);
}

// SumRunOf for two rows at once: out0 from the window at p, out1 from the
// one a row (`step`) further on.
template <class F, bool kInRange, class Out>
KINETRA_INLINE void SumRowPairRunOf(const float* p, int64_t step, const DefocusKernel& kernel,
                                    float bound, int64_t n, Out* out0, Out* out1) {
    int64_t b = 0;
#if KINETRA_HAVE_AVX2
    if constexpr (std::is_same<F, Float8>::value) {
        if (bound > 0.0f) {
            for (; b + 32 <= n; b += 32)
                SumRowPairFma<kInRange>(p + b, step, kernel, bound, out0 + b, out1 + b);
        }
    }
    if constexpr (std::is_same<F, Float16>::value) {
        if (bound > 0.0f) {
            for (; b + 32 <= n; b += 32)
                SumRowPair512<kInRange>(p + b, step, kernel, bound, out0 + b, out1 + b);
        }
    }
#endif
    SumRunOf<F, kInRange>(p + b, step, kernel, bound, n - b, out0 + b);
    SumRunOf<F, kInRange>(p + step + b, step, kernel, bound, n - b, out1 + b);
}

// The largest magnitude among n values, as it grows.
KINETRA_INLINE int32_t Largest(const int16_t* values, int64_t n, int32_t largest) {
    int32_t low = 0, high = 0;
    for (int64_t b = 0; b < n; ++b) {
        low = std::min<int32_t>(low, values[b]);
        high = std::max<int32_t>(high, values[b]);
    }
    return std::max(largest, std::max(high, -low));
}

struct DefocusJob {
    const PixelYC* source;
    PixelYC* work;  // the vertical pass's result: rectangle rows x work columns
    PixelYC* dest;
    DefocusKernel kernel;
    int64_t radius;
    int32_t max_w, max_h;
    int32_t row_begin, row_end;    // rectangle rows inside the buffer
    int32_t col_begin, col_end;    // rectangle columns inside the buffer
    int32_t work_begin, work_end;  // columns the vertical pass fills
    int32_t strip;                 // columns of one vertical-pass strip
    int64_t ring_slots;            // rows of a strip's values its ring holds
};

const int16_t* Values(const PixelYC* p) {
    return reinterpret_cast<const int16_t*>(p);
}
int16_t* Values(PixelYC* p) {
    return reinterpret_cast<int16_t*>(p);
}

// Rows the vertical pass keeps converted: the windows of two rows.
constexpr int64_t RingSlots(int64_t radius) {
    return 2 * radius + 2;
}

// Floats between the starts of two ring slots holding n values: whole cache
// lines, so that every vector load of the sums is aligned as the ring is (a
// load that straddles two cache lines costs about two).
constexpr int64_t SlotStride(int64_t n) {
    return (n + 15) / 16 * 16;
}

// Scratch floats starting on a cache line.
class CacheLineFloats {
  public:
    explicit CacheLineFloats(int64_t count) : raw_(std::malloc(count * sizeof(float) + 64)) {}
    ~CacheLineFloats() { std::free(raw_); }
    CacheLineFloats(const CacheLineFloats&) = delete;
    CacheLineFloats& operator=(const CacheLineFloats&) = delete;
    float* get() const {
        if (raw_ == nullptr) return nullptr;
        return reinterpret_cast<float*>((reinterpret_cast<uintptr_t>(raw_) + 63) & ~uintptr_t{63});
    }

  private:
    void* raw_;
};

// Converts n values to floats, stored at `to` and `twin` (which may be the
// same); returns the largest magnitude among them and `largest`.
template <class F>
KINETRA_INLINE int32_t ConvertTwice(const int16_t* from, int64_t n, float* to, float* twin,
                                    int32_t largest) {
    typedef typename VectorOf<F>::Short Short;
    constexpr int32_t kLanes = sizeof(F) / sizeof(float);
    Short low{}, high{};
    int64_t b = 0;
    for (; b + kLanes <= n; b += kLanes) {
        Short x;
        __builtin_memcpy(&x, from + b, sizeof x);
        const F f = __builtin_convertvector(x, F);
        __builtin_memcpy(to + b, &f, sizeof f);
        __builtin_memcpy(twin + b, &f, sizeof f);
        low = x < low ? x : low;
        high = x > high ? x : high;
    }
    for (int32_t i = 0; i < kLanes; ++i)
        largest = std::max(largest, std::max<int32_t>(high[i], -int32_t{low[i]}));
    for (; b < n; ++b)
        to[b] = twin[b] = from[b];
    return Largest(from + n - n % kLanes, n % kLanes, largest);
}

#if KINETRA_HAVE_AVX2
// The largest of sixteen unsigned 16-bit lanes: 65535 less the smallest of
// their complements, once halved to eight.
KINETRA_TARGET_AVX2_FMA inline int32_t LargestLane(__m256i lanes) {
    const __m128i eight =
        _mm_max_epu16(_mm256_castsi256_si128(lanes), _mm256_extracti128_si256(lanes, 1));
    const __m128i smallest = _mm_minpos_epu16(_mm_xor_si128(eight, _mm_set1_epi16(-1)));
    return 65535 - _mm_extract_epi16(smallest, 0);
}

// ConvertTwice for AVX2: sixteen values a step, each half widened in one
// instruction, and the magnitudes kept as unsigned 16-bit lanes (32768 for
// -32768) whose largest is found once.
template <bool kTwin>
KINETRA_TARGET_AVX2_FMA inline int32_t ConvertTwiceAvx2(const int16_t* from, int64_t n, float* to,
                                                        float* twin, int32_t largest) {
    __m256i magnitude = _mm256_setzero_si256();
    int64_t b = 0;
    for (; b + 16 <= n; b += 16) {
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + b));
        magnitude = _mm256_max_epu16(magnitude, _mm256_abs_epi16(x));
        const __m256 f0 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(x)));
        const __m256 f1 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(x, 1)));
        _mm256_storeu_ps(to + b, f0);
        _mm256_storeu_ps(to + b + 8, f1);
        if (kTwin) {
            _mm256_storeu_ps(twin + b, f0);
            _mm256_storeu_ps(twin + b + 8, f1);
        }
    }
    largest = std::max(largest, LargestLane(magnitude));
    for (int64_t k = b; k < n; ++k)
        to[k] = twin[k] = from[k];
    return Largest(from + b, n - b, largest);
}

// ConvertTwiceAvx2 for AVX-512: 32 values a step.
template <bool kTwin>
KINETRA_TARGET_AVX512 inline int32_t ConvertTwice512(const int16_t* from, int64_t n, float* to,
                                                     float* twin, int32_t largest) {
    __m512i magnitude = _mm512_setzero_si512();
    int64_t b = 0;
    for (; b + 32 <= n; b += 32) {
        const __m512i x = _mm512_loadu_si512(from + b);
        magnitude = _mm512_max_epu16(magnitude, _mm512_abs_epi16(x));
        const __m512 f0 = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(_mm512_castsi512_si256(x)));
        const __m512 f1 =
            _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(x, 1)));
        _mm512_storeu_ps(to + b, f0);
        _mm512_storeu_ps(to + b + 16, f1);
        if (kTwin) {
            _mm512_storeu_ps(twin + b, f0);
            _mm512_storeu_ps(twin + b + 16, f1);
        }
    }
    largest =
        std::max(largest, LargestLane(_mm256_max_epu16(_mm512_castsi512_si256(magnitude),
                                                       _mm512_extracti64x4_epi64(magnitude, 1))));
    for (int64_t k = b; k < n; ++k)
        to[k] = twin[k] = from[k];
    return Largest(from + b, n - b, largest);
}
#endif

template <class F>
KINETRA_INLINE int32_t ConvertRow(const int16_t* from, int64_t n, float* to, float* twin,
                                  int32_t largest) {
#if KINETRA_HAVE_AVX2
    if constexpr (std::is_same<F, Float8>::value) {
        return twin == to ? ConvertTwiceAvx2<false>(from, n, to, twin, largest)
                          : ConvertTwiceAvx2<true>(from, n, to, twin, largest);
    }
    if constexpr (std::is_same<F, Float16>::value) {
        return twin == to ? ConvertTwice512<false>(from, n, to, twin, largest)
                          : ConvertTwice512<true>(from, n, to, twin, largest);
    }
#endif
    return ConvertTwice<F>(from, n, to, twin, largest);
}

// Vertical pass over work columns [c_begin, c_end) and rectangle rows
// [l_begin, l_end): work(c, l) = trunc(sum over k of w[k] * source(c, l - r +
// k)), rows clamped to the buffer. The rows l - r - 1 .. l + r are kept
// converted in a ring of 2r + 2 rows, each stored twice (slots s and s + 2r +
// 2), so that the windows of rows l - 1 and l are 2r + 1 consecutive slots
// each, and taken together. Where the ring has a slot for every row the call
// converts, they go one after another, once each: the windows are
// consecutive slots without the twins. The float bound follows the largest
// value of the rows converted so far, which is returned. Row l's values go to
// out + (l - l_begin) * pitch.
template <class F, bool kInRange, class Out>
KINETRA_INLINE int32_t DefocusVerticalOf(const DefocusJob& job, int32_t c_begin, int32_t c_end,
                                         int32_t l_begin, int32_t l_end, int32_t next_end,
                                         float* ring, Out* out_first, int64_t pitch_out) {
    const int64_t rows = l_end - l_begin + 2 * job.radius;
    const bool in_order = rows <= job.ring_slots;
    const int64_t slots = in_order ? rows : RingSlots(job.radius);
    const int64_t n = kChannels * (c_end - c_begin);
    const int64_t stride = SlotStride(n);
    const int16_t* source = Values(job.source) + kChannels * c_begin;
    const int64_t pitch = kChannels * job.max_w;
    const int64_t last_row = job.max_h - 1;
    int64_t slot = 0;   // where the next row converted goes
    int64_t first = 0;  // the slot of row l - r
    int32_t largest = 0;
    // The strip's last rows fetch the first rows of the next strip (columns
    // c_end .. next_end), which start on other pages.
    const int64_t next_n = kChannels * (next_end - c_end);
    for (int64_t i = l_begin - job.radius; i < l_end + job.radius; ++i) {
        const int64_t ahead = i + kPrefetchRows;
        if (ahead < l_end + job.radius) {
            const int16_t* row = source + std::clamp<int64_t>(ahead, 0, last_row) * pitch;
            for (int64_t b = 0; b < n; b += 32)
                __builtin_prefetch(row + b);
        } else {
            const int16_t* row =
                source + n + std::clamp<int64_t>(ahead - rows, 0, last_row) * pitch;
            for (int64_t b = 0; b < next_n; b += 32)
                __builtin_prefetch(row + b);
        }
        const int16_t* from = source + std::clamp<int64_t>(i, 0, last_row) * pitch;
        float* to = ring + slot * stride;
        largest = ConvertRow<F>(from, n, to, in_order ? to : to + slots * stride, largest);
        slot = slot + 1 == slots ? 0 : slot + 1;
        const int64_t l = i - job.radius;  // the row whose window is complete
        // Rows go in pairs from l_begin, the last one alone if left over.
        if (l < l_begin || ((l - l_begin) % 2 == 0 && l + 1 < l_end)) continue;
        const float bound = FloatBound(job.kernel, largest);
        Out* out = out_first + (l - l_begin) * pitch_out;
        if ((l - l_begin) % 2 == 1) {
            // The window of row l - 1 starts at slot `first`, row l's at the
            // next one (the twins keep both contiguous).
            SumRowPairRunOf<F, kInRange>(ring + first * stride, stride, job.kernel, bound, n,
                                         out - pitch_out, out);
            first = first + 2 >= slots ? first + 2 - slots : first + 2;
        } else {
            SumRunOf<F, kInRange>(ring + first * stride, stride, job.kernel, bound, n, out);
            first = first + 1 == slots ? 0 : first + 1;
        }
    }
    return largest;
}

// Horizontal pass over rectangle row l from values already in `row` as
// floats (row[kChannels * (v - first)] holds column v, first = col_begin - r;
// the columns inside the buffer only): dest(c, l) = trunc(sum over k of w[k] *
// row(c - r + k)), columns clamped to the buffer. The columns a tap reads
// beyond the buffer's sides are filled in as the clamp reads them, so every
// pixel runs as blocks. `bound` is the float bound for the row's values (the
// filled-in columns repeat columns inside).
template <class F, bool kInRange>
KINETRA_INLINE void DefocusHorizontalFloatRowOf(const DefocusJob& job, int32_t l, float* row,
                                                float bound) {
    const int64_t first = job.col_begin - job.radius;
    const int64_t last = job.col_end + job.radius;  // one past
    auto fill = [&](int64_t v_begin, int64_t v_end, int64_t column) {
        const float* p = row + kChannels * (column - first);
        for (int64_t v = v_begin; v < v_end; ++v) {
            for (int64_t b = 0; b < kChannels; ++b)
                row[kChannels * (v - first) + b] = p[b];
        }
    };
    fill(first, std::max<int64_t>(first, 0), 0);
    fill(std::min<int64_t>(last, job.max_w), last, job.max_w - 1);
    int16_t* out = Values(job.dest + static_cast<int64_t>(l) * job.max_w);
    SumRunOf<F, kInRange>(row, kChannels, job.kernel, bound,
                          kChannels * (job.col_end - job.col_begin),
                          out + kChannels * job.col_begin);
}

// The same from the work image: row l's columns inside the buffer are
// converted once into `row`, and their largest magnitude gives the bound.
template <class F, bool kInRange>
KINETRA_INLINE void DefocusHorizontalRowOf(const DefocusJob& job, int32_t l, float* row) {
    const int32_t work_cols = job.work_end - job.work_begin;
    const int64_t first = job.col_begin - job.radius;
    const int64_t inside_begin = std::max<int64_t>(first, 0);
    const int64_t inside_end = std::min<int64_t>(job.col_end + job.radius, job.max_w);
    const int16_t* inside = Values(job.work + static_cast<int64_t>(l - job.row_begin) * work_cols +
                                   (inside_begin - job.work_begin));
    float* to = row + kChannels * (inside_begin - first);
    const int32_t largest =
        ConvertRow<F>(inside, kChannels * (inside_end - inside_begin), to, to, 0);
    DefocusHorizontalFloatRowOf<F, kInRange>(job, l, row, FloatBound(job.kernel, largest));
}

// The two passes, built for the portable vectors, for AVX2 and for AVX-512:
// into the work image and from it, or through rows of floats.
struct DefocusPasses {
    void (*vertical)(const DefocusJob& job, int32_t c_begin, int32_t c_end, int32_t l_begin,
                     int32_t l_end, int32_t next_end, float* ring);
    void (*horizontal_row)(const DefocusJob& job, int32_t l, float* row);
    int32_t (*vertical_float)(const DefocusJob& job, int32_t c_begin, int32_t c_end,
                              int32_t l_begin, int32_t l_end, int32_t next_end, float* ring,
                              float* out, int64_t pitch);
    void (*horizontal_float_row)(const DefocusJob& job, int32_t l, float* row, float bound);
};

// The work image's values of row l_begin from column c_begin on.
int16_t* WorkValues(const DefocusJob& job, int32_t c_begin, int32_t l_begin) {
    return Values(job.work + int64_t{l_begin - job.row_begin} * (job.work_end - job.work_begin) +
                  (c_begin - job.work_begin));
}

template <class F, bool kInRange>
KINETRA_INLINE void DefocusVerticalWorkOf(const DefocusJob& job, int32_t c_begin, int32_t c_end,
                                          int32_t l_begin, int32_t l_end, int32_t next_end,
                                          float* ring) {
    DefocusVerticalOf<F, kInRange>(job, c_begin, c_end, l_begin, l_end, next_end, ring,
                                   WorkValues(job, c_begin, l_begin),
                                   kChannels * (job.work_end - job.work_begin));
}

// The passes of one build: vectors of type F (with kInRange, see InRange),
// compiled for TARGET.
#define KINETRA_DEFOCUS_BUILD(Build, TARGET, F)                                                    \
    template <bool kInRange>                                                                       \
    struct Build {                                                                                 \
        TARGET static void Vertical(const DefocusJob& job, int32_t c_begin, int32_t c_end,         \
                                    int32_t l_begin, int32_t l_end, int32_t next_end,              \
                                    float* ring) {                                                 \
            DefocusVerticalWorkOf<F, kInRange>(job, c_begin, c_end, l_begin, l_end, next_end,      \
                                               ring);                                              \
        }                                                                                          \
        TARGET static void HorizontalRow(const DefocusJob& job, int32_t l, float* row) {           \
            DefocusHorizontalRowOf<F, kInRange>(job, l, row);                                      \
        }                                                                                          \
        TARGET static int32_t VerticalFloat(const DefocusJob& job, int32_t c_begin, int32_t c_end, \
                                            int32_t l_begin, int32_t l_end, int32_t next_end,      \
                                            float* ring, float* out, int64_t pitch) {              \
            return DefocusVerticalOf<F, kInRange>(job, c_begin, c_end, l_begin, l_end, next_end,   \
                                                  ring, out, pitch);                               \
        }                                                                                          \
        TARGET static void HorizontalFloatRow(const DefocusJob& job, int32_t l, float* row,        \
                                              float bound) {                                       \
            DefocusHorizontalFloatRowOf<F, kInRange>(job, l, row, bound);                          \
        }                                                                                          \
        static DefocusPasses Passes() {                                                            \
            return {Vertical, HorizontalRow, VerticalFloat, HorizontalFloatRow};                   \
        }                                                                                          \
    };

KINETRA_DEFOCUS_BUILD(DefocusPortable, , Float4)
#if KINETRA_HAVE_AVX2
KINETRA_DEFOCUS_BUILD(DefocusAvx2, KINETRA_TARGET_AVX2_FMA, Float8)
KINETRA_DEFOCUS_BUILD(DefocusAvx512, KINETRA_TARGET_AVX512, Float16)
#endif
#undef KINETRA_DEFOCUS_BUILD

// The passes for `kernel`: the widest build this processor takes.
DefocusPasses ChooseDefocusPasses(const DefocusKernel& kernel) {
#if KINETRA_HAVE_AVX2
    if (simd::UseAvx512()) {
        return InRange(kernel) ? DefocusAvx512<true>::Passes() : DefocusAvx512<false>::Passes();
    }
    if (simd::UseAvx2() && __builtin_cpu_supports("fma")) {
        return InRange(kernel) ? DefocusAvx2<true>::Passes() : DefocusAvx2<false>::Passes();
    }
#else
    (void)kernel;
#endif
    return DefocusPortable<false>::Passes();
}

// The blur's taps: w[k] = exp(-i^2 / (2 sigma^2)) / sqrt(2 sigma^2 pi) for
// i = k - r, sigma = r / 3. Not normalised: flat areas drift slightly
// (their sum is 1.00026 for r = 2, 0.99843 for r = 10). `half` gets the
// taps 0 .. r rounded to float, for the float sums.
DefocusKernel BuildDefocusKernel(double* weights, float* half, int64_t radius) {
    double sigma = static_cast<double>(radius) / 3.0;
    double two_sigma_sq = sigma * 2.0 * sigma;
    double scale = std::sqrt(two_sigma_sq * kPi);
    for (int64_t k = 0; k < 2 * radius + 1; ++k) {
        double i = static_cast<double>(k - radius);
        weights[k] = std::exp(-(i * i) / two_sigma_sq) / scale;
    }
    for (int64_t j = 0; j <= radius; ++j)
        half[j] = static_cast<float>(weights[j]);
    double total = 0.0;
    for (int64_t k = 0; k < 2 * radius + 1; ++k)
        total += weights[k];
    return {weights, half, radius, FloatSumBound(weights, half, radius), total};
}

// ---- diffuse ---------------------------------------------------------------

struct DiffuseJob {
    SourceRect source;
    PixelYC* dest;
    int32_t max_w, max_h;
    int64_t sx, sy, width, height;  // source rectangle (sizes clamped)
    int64_t shift_x, shift_y;       // destination - source position
    int64_t spread_x, spread_y;
    int32_t col_begin, col_end;  // source columns inside the buffer whose destination is too
    uint32_t seed;               // this command's seed
};

// Diffuse's generators: each row draws from a generator of its own, started
// from a hash of the command's seed and the row number. The shared generator
// behind "rand(" is never touched, and the picture does not depend on how the
// rows are split between workers.
uint32_t s_diffuse_commands;

uint32_t Mix32(uint32_t h) {
    h ^= h >> 16;
    h *= 0x85EBCA6Bu;
    h ^= h >> 13;
    h *= 0xC2B2AE35u;
    h ^= h >> 16;
    return h;
}

// Source row y: every pixel whose destination lies inside the buffer becomes a
// copy of a source pixel up to (spread_x, spread_y) away, kept inside the
// source rectangle and the buffer.
void DiffuseRow(const DiffuseJob& job, int32_t y) {
    int64_t dest_y = y + job.shift_y;
    if (dest_y < 0 || dest_y >= job.max_h) return;
    RandomState random{Mix32(job.seed + static_cast<uint32_t>(y) * 0x9E3779B9u)};
    PixelYC* out = job.dest + dest_y * job.max_w;
    const int64_t last_x = std::min<int64_t>(job.sx + job.width, job.max_w) - 1;
    const int64_t last_y = std::min<int64_t>(job.sy + job.height, job.max_h) - 1;
    const int64_t first_x = std::max<int64_t>(job.sx, 0);
    const int64_t first_y = std::max<int64_t>(job.sy, 0);
    for (int32_t x = job.col_begin; x < job.col_end; ++x) {
        int64_t r1 = RandomNext(&random);
        int64_t r2 = RandomNext(&random);
        int64_t ox = r1 * (2 * job.spread_x + 1) / 32768 - job.spread_x;
        int64_t oy = r2 * (2 * job.spread_y + 1) / 32768 - job.spread_y;
        int64_t px = std::clamp<int64_t>(x + ox, first_x, last_x);
        int64_t py = std::clamp<int64_t>(y + oy, first_y, last_y);
        out[x + job.shift_x] = SourceRow(job.source, py)[px - job.source.left];
    }
}

}  // namespace

int64_t DefocusDoubleSums() {
    return s_defocus_double_sums.load(std::memory_order_relaxed);
}

// mosaic(src, dst, sx, sy, W, H, dx, dy, bw, bh)
void cmd_mosaic(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t w = ArgInt(line, 4), h = ArgInt(line, 5);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;

    MosaicJob job;
    job.source = src;
    job.dest = dst;
    job.max_w = max_w;
    job.max_h = max_h;
    job.width = ClampCount(w, max_w);
    job.height = ClampCount(h, max_h);
    job.sx = ArgInt(line, 2);
    job.sy = ArgInt(line, 3);
    job.dx = ArgInt(line, 6);
    job.dy = ArgInt(line, 7);
    job.block_w = ClampCount(ArgInt(line, 8), max_w);
    job.block_h = ClampCount(ArgInt(line, 9), max_h);
    job.block_cols = (job.width + job.block_w - 1) / job.block_w;
    job.block_rows = (job.height + job.block_h - 1) / job.block_h;
    size_t block_count = static_cast<size_t>(job.block_cols) * job.block_rows;
    job.blocks = static_cast<BlockSum*>(std::calloc(block_count, sizeof(BlockSum)));
    if (job.blocks == nullptr) return;

    // All sums are complete before the first pixel is written, so the source
    // may be the destination.
    // Each block row sums its own blocks: no two workers share a sum.
    const size_t column_values = 3 * static_cast<size_t>(job.width);
    parallel::ParallelForRanges(
        0, job.block_rows, int64_t{job.block_h} * job.width, [&](int64_t first, int64_t last) {
            int32_t* columns = job.block_h <= kColumnSumRows
                                   ? static_cast<int32_t*>(std::malloc(column_values * 4))
                                   : nullptr;
            for (int64_t block_row = first; block_row < last; ++block_row) {
                if (columns != nullptr) {
                    AccumulateBlockRowByColumns(job, int32_t(block_row), columns);
                } else {  // without room, or too tall for 32-bit column sums
                    AccumulateBlockRow(job, int32_t(block_row));
                }
            }
            std::free(columns);
        });
    int32_t j_begin = ClampTo(-job.dy, job.height);
    int32_t j_end = ClampTo(max_h - job.dy, job.height);
    parallel::ParallelFor(j_begin, j_end, job.width, [&job](int32_t j) { WriteMosaicRow(job, j); });
    std::free(job.blocks);
}

// defocus(src, dst, x, y, W, H, -, -, r)
void cmd_defocus(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t w = ArgInt(line, 4), h = ArgInt(line, 5);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;
    int64_t x = ArgInt(line, 2), y = ArgInt(line, 3);

    DefocusJob job;
    job.source = src;
    job.dest = dst;
    job.radius = DefocusRadius(ArgInt(line, 8), max_w, max_h);
    job.max_w = max_w;
    job.max_h = max_h;
    job.row_begin = ClampTo(y, max_h);
    job.row_end = ClampTo(y + ClampCount(h, max_h), max_h);
    job.col_begin = ClampTo(x, max_w);
    job.col_end = ClampTo(x + ClampCount(w, max_w), max_w);
    if (job.col_begin >= job.col_end || job.row_begin >= job.row_end) return;
    // The vertical pass also fills the r columns either side of the
    // rectangle, so the horizontal taps there read blurred source pixels (not
    // black) and the left and right edges blur like the top and bottom. Every
    // column a horizontal tap reads lies in this range, so the work image
    // needs no clearing.
    job.work_begin = ClampTo(job.col_begin - job.radius, max_w);
    job.work_end = ClampTo(job.col_end + job.radius, max_w);

    const size_t work_pixels = static_cast<size_t>(job.work_end - job.work_begin) *
                               static_cast<size_t>(job.row_end - job.row_begin);
    double* weights = static_cast<double*>(
        std::malloc((2 * job.radius + 1) * sizeof(double) + (job.radius + 1) * sizeof(float)));
    // Only a blur in place keeps its whole work image.
    PixelYC* work =
        src == dst
            ? static_cast<PixelYC*>(AcquireScratch(kScratchDefocus, work_pixels * sizeof(PixelYC)))
            : nullptr;
    if (weights != nullptr && (work != nullptr || src != dst)) {
        job.kernel = BuildDefocusKernel(
            weights, reinterpret_cast<float*>(weights + 2 * job.radius + 1), job.radius);
        job.work = work;
        const DefocusPasses passes = ChooseDefocusPasses(job.kernel);
        const int64_t taps = 2 * job.radius + 1;
        // Narrower strips for wide kernels keep a strip's ring of rows small;
        // whole blocks of 32 pixels (the 96 values of three blocks of two
        // rows) or else of eight where the kernel allows.
        const int64_t fit = kRingValues / (2 * kChannels * RingSlots(job.radius));
        job.strip = static_cast<int32_t>(fit >= 32  ? std::min<int64_t>(fit / 32 * 32, 128)
                                         : fit >= 8 ? fit / 8 * 8
                                                    : std::max<int64_t>(fit, 1));
        const int32_t work_cols = job.work_end - job.work_begin;
        // A chunk's strip of rows fits its ring in order (see
        // DefocusVerticalOf); a whole band's may not.
        job.ring_slots = src != dst
                             ? std::max(2 * RingSlots(job.radius), kFusedRows + 2 * job.radius)
                             : 2 * RingSlots(job.radius);
        const int64_t ring_values = job.ring_slots * SlotStride(kChannels * job.strip);
        // A worker without its scratch memory says so; the destination is
        // then left alone if the first pass is incomplete.
        std::atomic<bool> failed{false};
        const int64_t row_values = kChannels * (job.col_end - job.col_begin + 2 * job.radius);
        if (src != dst) {
            // Each worker takes a band of rows through both passes, in chunks
            // of kFusedRows rows: the vertical pass leaves a chunk's values
            // as floats (exact: they are 16-bit integers) in rows laid out
            // for the horizontal pass, which reads them from the cache with
            // nothing to convert. No worker writes what another reads. The
            // work columns of a row start on a cache line.
            const int64_t first_column = job.col_begin - job.radius;
            const int64_t lead = (16 - kChannels * (job.work_begin - first_column) % 16) % 16;
            const int64_t chunk_stride = SlotStride(lead + row_values);
            parallel::ParallelForRanges(
                job.row_begin, job.row_end, int64_t{work_cols + job.col_end - job.col_begin} * taps,
                [&](int64_t first, int64_t last) {
                    const CacheLineFloats ring_memory(ring_values),
                        rows_memory(kFusedRows * chunk_stride);
                    float* ring = ring_memory.get();
                    float* rows = rows_memory.get();
                    if (ring == nullptr || rows == nullptr) return;
                    // Chunks of equal height, none taller than kFusedRows:
                    // a short last chunk would convert its 2r extra rows for
                    // few rows summed.
                    const int64_t chunks = (last - first + kFusedRows - 1) / kFusedRows;
                    const int64_t height =
                        (last - first + chunks - 1) / std::max<int64_t>(chunks, 1);
                    for (int64_t chunk = first; chunk < last; chunk += height) {
                        const int32_t chunk_end = int32_t(std::min(last, chunk + height));
                        int32_t largest = 0;
                        for (int32_t c = job.work_begin; c < job.work_end; c += job.strip) {
                            const int32_t c_end = std::min(job.work_end, c + job.strip);
                            largest = std::max(
                                largest,
                                passes.vertical_float(
                                    job, c, c_end, int32_t(chunk), chunk_end,
                                    std::min(job.work_end, c_end + job.strip), ring,
                                    rows + lead + kChannels * (c - first_column), chunk_stride));
                        }
                        const float bound =
                            FloatBound(job.kernel, BlurredLargest(job.kernel, largest));
                        for (int32_t l = int32_t(chunk); l < chunk_end; ++l) {
                            passes.horizontal_float_row(
                                job, l, rows + lead + (l - chunk) * chunk_stride, bound);
                        }
                    }
                });
            std::free(weights);
            return;
        }
        // Every worker takes a band of rows of every strip: equal shares of
        // the work whatever the rectangle's shape. A row of the band is
        // work_cols columns of 2r + 1 taps.
        parallel::ParallelForRanges(
            job.row_begin, job.row_end, int64_t{work_cols} * taps,
            [&](int64_t first, int64_t last) {
                const CacheLineFloats ring_memory(ring_values);
                float* ring = ring_memory.get();
                if (ring == nullptr) {
                    failed = true;
                    return;
                }
                for (int32_t c = job.work_begin; c < job.work_end; c += job.strip) {
                    const int32_t c_end = std::min(job.work_end, c + job.strip);
                    passes.vertical(job, c, c_end, int32_t(first), int32_t(last),
                                    std::min(job.work_end, c_end + job.strip), ring);
                }
            });
        if (failed) {
            std::free(weights);
            return;
        }
        // The second pass reads only the work image, so the source may be the
        // destination.
        parallel::ParallelForRanges(job.row_begin, job.row_end,
                                    int64_t{job.col_end - job.col_begin} * taps,
                                    [&](int64_t first, int64_t last) {
                                        const CacheLineFloats row_memory(row_values);
                                        float* row = row_memory.get();
                                        if (row == nullptr) return;
                                        for (int64_t l = first; l < last; ++l)
                                            passes.horizontal_row(job, int32_t(l), row);
                                    });
    }
    std::free(weights);
}

// diffuse(src, dst, sx, sy, W, H, dx, dy, rx, ry)
void cmd_diffuse(int32_t line, FilterTable*, FrameInfo* frame) {
    PixelYC* src = AcquireImageBuffer(ArgInt(line, 0));
    if (src == nullptr) return;
    PixelYC* dst = AcquireImageBuffer(ArgInt(line, 1));
    if (dst == nullptr) return;
    int32_t w = ArgInt(line, 4), h = ArgInt(line, 5);
    if (w < 1 || h < 1) return;
    const int32_t max_w = frame->max_w, max_h = frame->max_h;

    DiffuseJob job;
    job.dest = dst;
    job.max_w = max_w;
    job.max_h = max_h;
    job.sx = ArgInt(line, 2);
    job.sy = ArgInt(line, 3);
    job.width = ClampCount(w, max_w);
    job.height = ClampCount(h, max_h);
    job.shift_x = static_cast<int64_t>(ArgInt(line, 6)) - job.sx;
    job.shift_y = static_cast<int64_t>(ArgInt(line, 7)) - job.sy;
    job.spread_x = ClampCount(ArgInt(line, 8), max_w);
    job.spread_y = ClampCount(ArgInt(line, 9), max_h);
    job.seed = Mix32(++s_diffuse_commands);
    // Source columns inside the buffer whose destination column is inside too.
    job.col_begin = ClampTo(std::max<int64_t>(job.sx, -job.shift_x), max_w);
    job.col_end = ClampTo(std::min<int64_t>(job.sx + job.width, max_w - job.shift_x), max_w);
    int32_t row_begin = ClampTo(job.sy, max_h);
    int32_t row_end = ClampTo(job.sy + job.height, max_h);
    if (job.col_begin >= job.col_end || row_begin >= row_end) return;
    if (!OpenSourceRect(&job.source, src, src == dst, job.sx, job.sy, job.width, job.height, max_w,
                        max_h)) {
        return;
    }
    // Every row draws from its own generator (see DiffuseRow).
    parallel::ParallelFor(row_begin, row_end, 2 * (job.col_end - job.col_begin),
                          [&job](int32_t y) { DiffuseRow(job, y); });
    CloseSourceRect(&job.source);
}
