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
