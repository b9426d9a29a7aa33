// Division by multiply and shift: exact for every dividend magnitude up to 2^63 and every
// 32-bit divisor from 2.
#include <gtest/gtest.h>

#include <random>

#include "core/platform.h"
#include "engine/exact_divisor.h"

namespace {

void ExpectExact(ULONG d, ULONGLONG n)
{
    ExactDivisor divisor;
    PrepareExactDivisor(&divisor, d);
    ASSERT_EQ(DivideMagnitude(divisor, n), n / d) << n << " / " << d;
    if (n <= (1ULL << 63) - 1) {
        LONGLONG negative = -static_cast<LONGLONG>(n);
        ASSERT_EQ(DivideTruncating(divisor, negative), negative / static_cast<LONGLONG>(d)) << negative << " / " << d;
    }
}

}  // namespace

TEST(ExactDivisor, IsExactAtTheEdgesOfItsRange)
{
    const ULONG divisors[] = {2, 3, 5, 6, 7, 8, 8000, 11025, 44100, 48000, 96000, 176400, 192000, 16384,
                              18390, 1666303410, 0x7FFFFFFF, 0x80000000, 0x80000001, 0xFFFFFFFE, 0xFFFFFFFF};
    for (ULONG d : divisors) {
        const ULONGLONG edges[] = {0, 1, d - 1ULL, d, d + 1ULL, 2ULL * d - 1, (1ULL << 49) - 1, (1ULL << 62),
                                   (1ULL << 63) - 1, 1ULL << 63, ((1ULL << 63) / d) * d, ((1ULL << 63) / d) * d - 1};
        for (ULONGLONG n : edges) {
            ExpectExact(d, n);
        }
    }
}

TEST(ExactDivisor, IsExactOnRandomOperands)
{
    std::mt19937_64 generator(42);
    for (int i = 0; i < 200000; ++i) {
        ULONG d = static_cast<ULONG>(generator() >> (32 + generator() % 31));
        if (d < 2) {
            continue;
        }
        ULONGLONG n = generator() >> (1 + generator() % 63);
        ExpectExact(d, n);
        // Multiples of the divisor and their neighbours, where an inexact multiplier fails first.
        ULONGLONG multiple = (n / d) * d;
        ExpectExact(d, multiple);
        if (multiple != 0) {
            ExpectExact(d, multiple - 1);
        }
    }
}
