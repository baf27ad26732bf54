// Exact signed 128-bit integers, for the few products that outgrow 64 bits
// (the ellipse's error terms, the resize's scaled positions), on every
// target, 32-bit ones included. Two's complement, wrapping like the built-in
// integer types' unsigned arithmetic; the callers keep their values far from
// the ends of the range.
#pragma once

#include <cstdint>

class Int128 {
  public:
    constexpr Int128() : high_(0), low_(0) {}
    // Implicit, so that 64-bit values mix freely with 128-bit ones.
    constexpr Int128(int64_t value)  // NOLINT(google-explicit-constructor)
        : high_(value < 0 ? ~uint64_t{0} : 0), low_(static_cast<uint64_t>(value)) {}
    static constexpr Int128 FromBits(uint64_t high, uint64_t low) {
        Int128 v;
        v.high_ = high;
        v.low_ = low;
        return v;
    }

    constexpr uint64_t high_bits() const { return high_; }
    constexpr uint64_t low_bits() const { return low_; }
    constexpr bool IsNegative() const { return (high_ >> 63) != 0; }
    // True when the value lies in the int64_t range.
    constexpr bool FitsInt64() const {
        return high_ == (static_cast<int64_t>(low_) < 0 ? ~uint64_t{0} : 0);
    }
    // The low 64 bits as a signed value (exact when FitsInt64).
    constexpr int64_t ToInt64() const { return static_cast<int64_t>(low_); }

    friend constexpr Int128 operator+(Int128 a, Int128 b) {
        uint64_t low = a.low_ + b.low_;
        return FromBits(a.high_ + b.high_ + (low < a.low_ ? 1 : 0), low);
    }
    friend constexpr Int128 operator-(Int128 a, Int128 b) {
        return FromBits(a.high_ - b.high_ - (a.low_ < b.low_ ? 1 : 0), a.low_ - b.low_);
    }
    friend constexpr Int128 operator-(Int128 a) { return Int128() - a; }
    // The product modulo 2^128, which is the exact product whenever it fits.
    friend constexpr Int128 operator*(Int128 a, Int128 b) {
        Int128 p = MultiplyFull(a.low_, b.low_);
        return FromBits(p.high_ + a.low_ * b.high_ + a.high_ * b.low_, p.low_);
    }
    // Division truncated toward zero and the remainder with the dividend's
    // sign, as for the built-in types; the divisor must not be 0.
    friend Int128 operator/(Int128 a, Int128 b) { return Divide(a, b, nullptr); }
    friend Int128 operator%(Int128 a, Int128 b) {
        Int128 remainder;
        Divide(a, b, &remainder);
        return remainder;
    }

    friend constexpr bool operator==(Int128 a, Int128 b) {
        return a.high_ == b.high_ && a.low_ == b.low_;
    }
    friend constexpr bool operator!=(Int128 a, Int128 b) { return !(a == b); }
    friend constexpr bool operator<(Int128 a, Int128 b) {
        if (a.high_ != b.high_) {
            return static_cast<int64_t>(a.high_) < static_cast<int64_t>(b.high_);
        }
        return a.low_ < b.low_;
    }
    friend constexpr bool operator>(Int128 a, Int128 b) { return b < a; }
    friend constexpr bool operator<=(Int128 a, Int128 b) { return !(b < a); }
    friend constexpr bool operator>=(Int128 a, Int128 b) { return !(a < b); }

    Int128& operator+=(Int128 b) { return *this = *this + b; }
    Int128& operator-=(Int128 b) { return *this = *this - b; }
    Int128& operator*=(Int128 b) { return *this = *this * b; }

  private:
    // The full 128-bit product of two unsigned 64-bit values, from 32-bit halves.
    static constexpr Int128 MultiplyFull(uint64_t a, uint64_t b) {
        const uint64_t a0 = a & 0xFFFFFFFFu, a1 = a >> 32;
        const uint64_t b0 = b & 0xFFFFFFFFu, b1 = b >> 32;
        const uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        const uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
        return FromBits(p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32),
                        (middle << 32) | (p00 & 0xFFFFFFFFu));
    }

    static Int128 Divide(Int128 a, Int128 b, Int128* remainder);

    uint64_t high_, low_;
};

inline Int128 Int128::Divide(Int128 a, Int128 b, Int128* remainder) {
    // Both in 64 bits (all but -2^63 / -1): the processor divides.
    if (a.FitsInt64() && b.FitsInt64() && !(a.ToInt64() == INT64_MIN && b.ToInt64() == -1)) {
        if (remainder != nullptr) *remainder = Int128(a.ToInt64() % b.ToInt64());
        return Int128(a.ToInt64() / b.ToInt64());
    }
    // Otherwise long division of the magnitudes, one bit at a time.
    const bool negative_a = a.IsNegative(), negative_b = b.IsNegative();
    const Int128 n = negative_a ? -a : a, d = negative_b ? -b : b;
    Int128 quotient, rest;
    for (int bit = 127; bit >= 0; --bit) {
        const uint64_t next = bit >= 64 ? (n.high_ >> (bit - 64)) & 1 : (n.low_ >> bit) & 1;
        rest = FromBits((rest.high_ << 1) | (rest.low_ >> 63), (rest.low_ << 1) | next);
        // rest and d as unsigned 128-bit values.
        const bool fits = rest.high_ != d.high_ ? rest.high_ > d.high_ : rest.low_ >= d.low_;
        if (fits) {
            rest = rest - d;
            if (bit >= 64) {
                quotient.high_ |= uint64_t{1} << (bit - 64);
            } else {
                quotient.low_ |= uint64_t{1} << bit;
            }
        }
    }
    if (remainder != nullptr) *remainder = negative_a ? -rest : rest;
    return negative_a != negative_b ? -quotient : quotient;
}
