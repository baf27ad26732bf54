// The exact 128-bit integers against the compiler's own 128-bit type, on
// extreme and random operands.
#include "common/int128.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

#ifdef __SIZEOF_INT128__

using Native = __int128;
using NativeBits = unsigned __int128;

Native ToNative(Int128 v) {
    return static_cast<Native>((static_cast<NativeBits>(v.high_bits()) << 64) | v.low_bits());
}
Int128 FromNative(Native v) {
    NativeBits bits = static_cast<NativeBits>(v);
    return Int128::FromBits(static_cast<uint64_t>(bits >> 64), static_cast<uint64_t>(bits));
}

// Operands: the ends of both ranges, small values, powers of two and random
// values of every width.
std::vector<Native> Operands() {
    const NativeBits one = 1;
    std::vector<Native> v = {0,
                             1,
                             -1,
                             2,
                             -2,
                             3,
                             INT64_MAX,
                             INT64_MIN,
                             Native(INT64_MAX) + 1,
                             Native(INT64_MIN) - 1,
                             Native(UINT64_MAX),
                             -Native(UINT64_MAX),
                             static_cast<Native>(one << 127),         // the lowest value
                             static_cast<Native>((one << 127) - 1)};  // the highest
    for (int shift = 1; shift < 127; shift += 7) {
        v.push_back(static_cast<Native>(one << shift));
        v.push_back(-static_cast<Native>(one << shift));
    }
    std::mt19937_64 random(12345);
    for (int i = 0; i < 60; ++i) {
        int width = 1 + static_cast<int>(random() % 127);
        NativeBits bits = (static_cast<NativeBits>(random()) << 64) | random();
        Native value = static_cast<Native>(bits >> (128 - width));
        v.push_back(random() % 2 != 0 ? -value : value);
    }
    return v;
}

// Native arithmetic that wraps instead of overflowing (no undefined behaviour).
Native WrapAdd(Native a, Native b) {
    return static_cast<Native>(static_cast<NativeBits>(a) + static_cast<NativeBits>(b));
}
Native WrapSub(Native a, Native b) {
    return static_cast<Native>(static_cast<NativeBits>(a) - static_cast<NativeBits>(b));
}
Native WrapMul(Native a, Native b) {
    return static_cast<Native>(static_cast<NativeBits>(a) * static_cast<NativeBits>(b));
}

TEST(Int128, ArithmeticAndOrderMatchTheNativeType) {
    const std::vector<Native> operands = Operands();
    const Native lowest = static_cast<Native>(NativeBits{1} << 127);
    for (Native a : operands) {
        const Int128 x = FromNative(a);
        ASSERT_EQ(ToNative(x), a);
        EXPECT_EQ(ToNative(-x), WrapSub(0, a));
        EXPECT_EQ(x.FitsInt64(), a >= INT64_MIN && a <= INT64_MAX);
        for (Native b : operands) {
            const Int128 y = FromNative(b);
            EXPECT_EQ(ToNative(x + y), WrapAdd(a, b));
            EXPECT_EQ(ToNative(x - y), WrapSub(a, b));
            EXPECT_EQ(ToNative(x * y), WrapMul(a, b));
            EXPECT_EQ(x < y, a < b);
            EXPECT_EQ(x <= y, a <= b);
            EXPECT_EQ(x > y, a > b);
            EXPECT_EQ(x >= y, a >= b);
            EXPECT_EQ(x == y, a == b);
            EXPECT_EQ(x != y, a != b);
            if (b == 0 || (a == lowest && b == -1)) continue;
            EXPECT_EQ(ToNative(x / y), a / b);
            EXPECT_EQ(ToNative(x % y), a % b);
        }
    }
}

// The products the ellipse and the resize form from 64-bit values.
TEST(Int128, ProductsOf64BitValuesAreExact) {
    std::mt19937_64 random(777);
    const int64_t extremes[] = {INT64_MIN, INT64_MIN + 1, -1,        0,
                                1,         INT64_MAX,     INT32_MAX, INT32_MIN};
    std::vector<int64_t> values(std::begin(extremes), std::end(extremes));
    for (int i = 0; i < 200; ++i)
        values.push_back(static_cast<int64_t>(random()) >> (random() % 64));
    for (int64_t a : values) {
        for (int64_t b : values) {
            Int128 product = Int128(a) * b;
            EXPECT_EQ(ToNative(product), Native(a) * b) << a << " * " << b;
            if (b != 0) {
                EXPECT_EQ(ToNative(product / b), Native(a) * b / b);
                EXPECT_EQ(ToNative(product % b), Native(a) * b % b);
            }
        }
    }
}

#endif

// Without the native type to compare against: values written out.
TEST(Int128, KnownValues) {
    const Int128 two_to_62 = Int128(int64_t{1} << 62);
    const Int128 square = two_to_62 * two_to_62;  // 2^124
    EXPECT_EQ(square.high_bits(), uint64_t{1} << 60);
    EXPECT_EQ(square.low_bits(), 0u);
    EXPECT_EQ(square / two_to_62, two_to_62);
    EXPECT_TRUE((-square) < Int128(INT64_MIN));
    EXPECT_EQ((Int128(INT64_MAX) * INT64_MAX) % 1000, Int128(249));  // (2^63 - 1)^2 = ...501249
    EXPECT_EQ((Int128(-7) / 2), Int128(-3));
    EXPECT_EQ((Int128(-7) % 2), Int128(-1));
    EXPECT_EQ(Int128(INT64_MIN) / -1, Int128(INT64_MAX) + 1);
}

}  // namespace
