// A gain folded into the narrowing of 16-bit sources to 16-bit outputs: one 32x32-bit multiply
// per sample estimates the scaled internal sample to within a few units, and only the outputs
// whose estimate lies too close to a step of the narrowing take the exact arithmetic. Kernel code
// for the timer DPC; included by the converter only.
#pragma once

#include "core/platform.h"

#include "engine/gain.h"

// Why the estimate gives the converter's output exactly.
//
// The converter's internal sample is F = trunc(65536 X / R) for an integer X with |X| <= 32768 R
// (interpolating 16-bit samples a, b with weights summing to R, or R = 1 and X = a for a frame
// taken as it is). The gain makes it G = trunc((F n + h) / d) with h = floor(d / 2), and 16-bit
// narrowing keeps floor(G / 65536). The loops estimate G / 2^e (e = 1 or 3) from U = X + 32768 R
// (0 <= U <= 65535 R) handed to them shifted left by v, U' = U 2^v < 2^32. For n <= d:
//   * Let f = 65536 X / R and Zr = (f n + h) / d. |F - f| < 1 moves (F n + h) / d by less than
//     n / d <= 1 and the truncation by less than 1 more, so |G - Zr| < 2 (< 1 for R = 1, F = f).
//   * With K = 65536 n / (d R), Zr = U K - b where b = 2^31 n / d - h / d. Let
//     C = floor(K 2^(32 - v - e)) = floor(2^(48 - v - e) n / (d R)), which the loops' choices of v
//     and e keep below 2^32. Then U' C / 2^32 lies in (U K / 2^e - U' / 2^32, U K / 2^e], so
//     Zc = floor(U' C / 2^32) (one pmuludq, its high half) lies within U' / 2^32 + 1 below it;
//     with B = b / 2^e rounded to the nearest integer, Z = Zc - B lies within
//     (|G - Zr| + 2^e (U' / 2^32 + 1.5)) / 2^e of G / 2^e: below 3 for R = 1, v = 16, e = 1
//     (U' < 2^32), and below 2.25 for v with U' < 2^31 and e = 3.
//   * So where Z lies at least FoldedGainMargin from every step of 65536 / 2^e, G / 2^e lies in
//     the same step as Z, and the output is Z shifted right arithmetically by 16 - e. The others,
//     about 8 in every 65536 / 2^e values of Z, take the exact arithmetic.
//   * X = 0 gives F = 0 and G = trunc(h / d) = 0 exactly: an output 0, recognised by U = 32768 R,
//     so that digital silence, whose estimates all lie at a step, needs no exact arithmetic.
// Silence (n = 0 or d = 0) folds into C = 0 and B = -2^(15 - e): Z in the middle of the zero step.

// The constants of one channel's folded gain.
struct FoldedGain {
    ULONG Multiplier;  // C
    ULONG Bias;        // B, modulo 2^32
};

// Estimates nearer than this to a step of the narrowing take the exact arithmetic.
constexpr ULONG FoldedGainMargin = 4;

// Fills folded for a pair, a rate R from 1 to 32767, the shift v of the sums and the scale e of
// the estimates (chosen by the loops so that U' and C stay below 2^32); false when the pair is
// above unity, whose products the converter saturates instead. A few 64-bit divisions: once per
// channel and call, not per sample.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline bool PrepareFoldedGain(FoldedGain* folded, ScalePair pair, ULONG rate, ULONG sumShift, ULONG scaleBits)
{
    if (pair.Numerator == 0 || pair.Denominator == 0) {
        folded->Multiplier = 0;
        folded->Bias = 0u - (1u << (15 - scaleBits));
        return true;
    }
    if (pair.Numerator > pair.Denominator) {
        return false;
    }
    const ULONGLONG numerator = pair.Numerator;
    const ULONGLONG denominator = pair.Denominator;
    // C = floor(n 2^(48 - v - e) / (d R)) by long division in steps of at most 16 bits: d R < 2^47,
    // so a remainder shifted by 16 stays in 64 bits; the first step takes n 2^16 < 2^48.
    const ULONGLONG divisor = denominator * rate;
    ULONGLONG quotient = (numerator << 16) / divisor;
    ULONGLONG remainder = (numerator << 16) % divisor;
    for (ULONG bits = 32 - sumShift - scaleBits; bits != 0;) {
        const ULONG step = (bits < 16) ? bits : 16;
        remainder <<= step;
        quotient = (quotient << step) | (remainder / divisor);
        remainder %= divisor;
        bits -= step;
    }
    // B = floor(((2^31 n - h) / d + 2^(e - 1)) / 2^e), the inner division taken whole first.
    const ULONGLONG scaledBias = ((numerator << 31) - denominator / 2) / denominator;
    folded->Multiplier = static_cast<ULONG>(quotient);
    folded->Bias = static_cast<ULONG>((scaledBias + (1ULL << (scaleBits - 1))) >> scaleBits);
    return true;
}

// An internal sample through a prepared gain of any kind, as the converter's gain stage scales it:
// the exact arithmetic behind the folded estimates.
inline LONG GainedSample(const ChannelGain& gain, LONG internal)
{
    if (gain.Type == ChannelGain::Silence) {
        return 0;
    }
    return (gain.Type == ChannelGain::Unity) ? internal : ApplyChannelGain(gain, internal);
}

// The exact 16-bit output for an internal sample through a prepared gain.
inline SHORT GainedSample16(const ChannelGain& gain, LONG internal)
{
    return static_cast<SHORT>(GainedSample(gain, internal) >> 16);
}
