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
// narrowing keeps floor(G / 65536) = floor((G / 2) / 32768). For n <= d:
//   * Let f = 65536 X / R and Zr = (f n + h) / d. |F - f| < 1 moves (F n + h) / d by less than
//     n / d <= 1 and the truncation by less than 1 more, so |G - Zr| < 2.
//   * With U = X + 32768 R (0 <= U <= 65535 R) and K = 65536 n / (d R), Zr = U K - b where
//     b = 2^31 n / d - h / d. Let c = ceil(log2 R) and t = 16 - c, so that U' = U 2^t < 2^32, and
//     C = floor(K 2^(31 - t)) = floor(2^(31 + c) n / (d R)), below 2^32 as 2^c < 2R. Then U' C
//     / 2^32 lies in (U K / 2 - U' / 2^32, U K / 2], so Zc = floor(U' C / 2^32) (one pmuludq,
//     high half) lies in (U K / 2 - 2, U K / 2]; with B = b / 2 rounded to the nearest integer,
//     Z = Zc - B lies in (Zr / 2 - 2.5, Zr / 2 + 0.5], and |Z - G / 2| < 3.5.
//   * So where Z modulo 32768 lies in 4 .. 32763, G / 2 lies in the same step of 32768 as Z, and
//     the output is Z shifted right arithmetically by 15. The others, 8 in every 32768 values of
//     Z, take the exact arithmetic.
//   * X = 0 gives F = 0 and G = trunc(h / d) = 0 exactly: an output 0, recognised by U = 32768 R,
//     so that digital silence, whose estimates all lie at a step, needs no exact arithmetic.
// Silence (n = 0 or d = 0) folds into C = 0 and B = -16384: Z = 16384, inside the zero step.

// The constants of one channel's folded gain.
struct FoldedGain {
    ULONG Multiplier;  // C
    ULONG Bias;        // B, modulo 2^32
};

// Estimates within this distance of a step of 32768 take the exact arithmetic.
constexpr ULONG FoldedGainMargin = 4;

// t for a reduced destination rate R from 1 to 32768: U shifted left by it stays below 2^32.
inline ULONG FoldedGainSumShift(ULONG rate)
{
    const ULONG log2Ceiling = (rate < 2) ? 0 : 32 - static_cast<ULONG>(__builtin_clz(rate - 1));
    return 16 - log2Ceiling;
}

// Fills folded for a pair and a rate R from 1 to 32768; false when the pair is above unity, whose
// products the converter saturates instead. A few 64-bit divisions: once per channel and call,
// not per sample.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline bool PrepareFoldedGain(FoldedGain* folded, ScalePair pair, ULONG rate)
{
    if (pair.Numerator == 0 || pair.Denominator == 0) {
        folded->Multiplier = 0;
        folded->Bias = static_cast<ULONG>(-16384);
        return true;
    }
    if (pair.Numerator > pair.Denominator) {
        return false;
    }
    const ULONGLONG numerator = pair.Numerator;
    const ULONGLONG denominator = pair.Denominator;
    // C = floor(n 2^(31 + c) / (d R)) by long division in steps of at most 16 bits: d R < 2^47,
    // so a remainder shifted by 16 stays in 64 bits; the first step takes n 2^16 < 2^48.
    const ULONGLONG divisor = denominator * rate;
    ULONGLONG quotient = (numerator << 16) / divisor;
    ULONGLONG remainder = (numerator << 16) % divisor;
    for (ULONG bits = 31 + (16 - FoldedGainSumShift(rate)) - 16; bits != 0;) {
        const ULONG step = (bits < 16) ? bits : 16;
        remainder <<= step;
        quotient = (quotient << step) | (remainder / divisor);
        remainder %= divisor;
        bits -= step;
    }
    // B = floor((2^31 n - h) / 2d + 1/2) = floor((2^31 n - h + d) / 2d).
    const ULONGLONG bias = ((numerator << 31) - denominator / 2 + denominator) / (2 * denominator);
    folded->Multiplier = static_cast<ULONG>(quotient);
    folded->Bias = static_cast<ULONG>(bias);
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
