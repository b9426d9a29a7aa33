// Division by a divisor fixed in advance, done as one 64x64->128-bit multiply and a shift, for the
// conversion paths of the timer DPC, where a 64-bit hardware division per sample costs too much.
#pragma once

#include "core/platform.h"

// Floor division of any 64-bit magnitude n <= 2^63 by a divisor d in 2..0xFFFFFFFF.
//
// With L = ceil(log2 d) (1..32), k = 63 + L, Multiplier m = ceil(2^k / d) and e = m*d - 2^k:
//   * 0 <= e < d, so for n = q*d + r: n*m / 2^k = q + (r + n*e / 2^k) / d;
//   * n*e <= 2^63 * (d - 1) < 2^63 * 2^L = 2^k, so r + n*e / 2^k < r + 1 <= d,
//     and floor(n*m / 2^k) = q exactly;
//   * d > 2^(L-1) (or d = 2^L), so m <= 2^k / 2^(L-1) rounded up stays below 2^64.
// The quotient is then the high word of n*m shifted right by k - 64 = L - 1.
struct ExactDivisor {
    ULONGLONG Multiplier;
    ULONG Shift;
    ULONG Divisor;
};

// Prepares the multiplier for divisor d (2 or more). Two 64-bit divisions; not for per-sample use.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline void PrepareExactDivisor(ExactDivisor* divisor, ULONG d)
{
    ULONG log2Ceiling = 32 - static_cast<ULONG>(__builtin_clz(d - 1));
    // 2^k / d computed as two 64-bit long-division steps of 32 bits each: the dividend 2^k is
    // 2^(31 + L) * 2^32, and both partial quotients fit in 32 bits because d > 2^(L-1).
    ULONGLONG high = 1ULL << (31 + log2Ceiling);
    ULONGLONG highQuotient = high / d;
    ULONGLONG lowDividend = (high % d) << 32;
    ULONGLONG lowQuotient = lowDividend / d;
    ULONGLONG multiplier = (highQuotient << 32) | lowQuotient;
    if (lowDividend % d != 0) {
        ++multiplier;
    }
    divisor->Multiplier = multiplier;
    divisor->Shift = log2Ceiling - 1;
    divisor->Divisor = d;
}

// floor(n / d) for 0 <= n <= 2^63.
inline ULONGLONG DivideMagnitude(const ExactDivisor& divisor, ULONGLONG n)
{
    unsigned __int128 product = static_cast<unsigned __int128>(n) * divisor.Multiplier;
    return static_cast<ULONGLONG>(product >> 64) >> divisor.Shift;
}

// n / d truncated toward zero, for |n| <= 2^63 - 1, without a branch on the sign.
inline LONGLONG DivideTruncating(const ExactDivisor& divisor, LONGLONG n)
{
    ULONGLONG sign = static_cast<ULONGLONG>(n >> 63);  // all ones when negative
    ULONGLONG magnitude = (static_cast<ULONGLONG>(n) ^ sign) - sign;
    ULONGLONG quotient = DivideMagnitude(divisor, magnitude);
    return static_cast<LONGLONG>((quotient ^ sign) - sign);
}

// Truncating division of signed dividends |n| < 2^DividendBits by a divisor d >= 3, one signed
// 64x64->128-bit multiply, a shift and a sign correction: cheaper than ExactDivisor where the
// dividends are known to be small, as in rate interpolation (|n| < 2^50).
//
// With L = ceil(log2 d), k = max(64, DividendBits + L), Multiplier m = floor(2^k / d) + 1 and
// e = m*d - 2^k, so 0 < e <= d:
//   * |n| * e <= |n| * d < 2^DividendBits * 2^L <= 2^k, so the error term |n|*e / (d*2^k) lies
//     in [0, 1/d), and 0 only for n = 0;
//   * n >= 0, n = q*d + r: n*m / 2^k lies in [q + r/d, q + (r+1)/d), whose floor is q;
//   * n < 0, |n| = q*d + r: n*m / 2^k lies in (-q - (r+1)/d, -q - r/d), whose floor is -q - 1,
//     and adding 1 for a negative n gives -q, the quotient truncated toward zero;
//   * m <= 2^k / d + 1 stays below 2^63 for DividendBits <= 61 and d >= 3, so it is a positive
//     signed 64-bit value; the floor of the signed product over 2^k is its high word shifted
//     arithmetically by k - 64.
struct SignedDivisor {
    LONGLONG Multiplier;
    ULONG Shift;
    ULONG Divisor;
};

_IRQL_requires_max_(DISPATCH_LEVEL)
inline void PrepareSignedDivisor(SignedDivisor* divisor, ULONG d, ULONG dividendBits)
{
    ULONG log2Ceiling = 32 - static_cast<ULONG>(__builtin_clz(d - 1));
    ULONG k = (dividendBits + log2Ceiling > 64) ? dividendBits + log2Ceiling : 64;
    // floor(2^k / d) with k <= 93, in two 64-bit long-division steps as in PrepareExactDivisor.
    ULONGLONG high = 1ULL << (k - 32);
    ULONGLONG highQuotient = high / d;
    ULONGLONG lowQuotient = ((high % d) << 32) / d;
    divisor->Multiplier = static_cast<LONGLONG>((highQuotient << 32) + lowQuotient + 1);
    divisor->Shift = k - 64;
    divisor->Divisor = d;
}

// n / d truncated toward zero, for |n| below the bound the divisor was prepared for.
inline LONGLONG DivideTruncating(const SignedDivisor& divisor, LONGLONG n)
{
    __int128 product = static_cast<__int128>(n) * divisor.Multiplier;
    LONGLONG floorQuotient = static_cast<LONGLONG>(product >> 64) >> divisor.Shift;
    return floorQuotient - (n >> 63);
}
