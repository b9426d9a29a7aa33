// Gains as exact fractions, and the conversion of a KS volume level into one.
#pragma once

#include "core/platform.h"

#include "engine/exact_divisor.h"
#include "engine/sample_codec.h"

// A gain numerator / denominator: (1, 1) is unity, (0, 1) silence. Levels the driver accepts
// give gains of unity or below; the conversion paths clamp rather than wrap if one is above.
// A denominator of 0 is treated as silence.
struct ScalePair {
    ULONG Numerator;
    ULONG Denominator;
};

// Gain tables hold one pair per channel position.
constexpr ULONG GainTableEntries = 8;

// KSPROPERTY_AUDIO_VOLUMELEVEL (1/65536 dB, signed) to a gain: steps of 16574/16384 (close to
// 0.1 dB) per 6553 units, at most 1000 steps; the minimum 32-bit value is silence.
_IRQL_requires_max_(DISPATCH_LEVEL)
ScalePair LevelToScale(LONG level);

// A ScalePair prepared for the sample loops: the division by the denominator done by multiply and
// shift, and pairs that change nothing recognised so the loops can skip them.
struct ChannelGain {
    enum Kind : UCHAR {
        Unity,      // changes nothing
        Silence,    // numerator or denominator 0
        Multiply,   // denominator 1: the product alone, clamped
        Scale,      // at most unity with a numerator below 2^29: dividends stay below 2^61
        WideScale,  // anything else: full 64-bit dividends, clamped
    };
    Kind Type;
    ULONG Numerator;
    ULONG Rounding;  // added before dividing: half the denominator, or 0 to truncate
    SignedDivisor Divisor;
    ExactDivisor WideDivisor;
};

// Dividend bound of ChannelGain::Scale: |sample * numerator + rounding| < 2^31 * 2^29 + 2^31.
constexpr ULONG GainDividendBits = 61;
constexpr ULONG MaxScaleNumerator = 1u << 29;

// Prepares (sample * numerator + rounding) / denominator, truncated toward zero, where rounding
// is denominator / 2 when roundHalf is set and 0 otherwise.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline void PrepareChannelGain(ChannelGain* gain, ScalePair pair, bool roundHalf)
{
    gain->Numerator = pair.Numerator;
    gain->Rounding = roundHalf ? pair.Denominator / 2 : 0;
    if (pair.Denominator == 0 || pair.Numerator == 0) {
        gain->Type = ChannelGain::Silence;
    } else if (pair.Numerator == pair.Denominator && gain->Rounding == 0) {
        // s * n / n is s; with a rounding term only (1, 1) is exact for negative samples.
        gain->Type = ChannelGain::Unity;
    } else if (pair.Denominator == 1) {
        gain->Type = ChannelGain::Multiply;
    } else if (pair.Denominator >= 3 && pair.Numerator <= pair.Denominator && pair.Numerator < MaxScaleNumerator) {
        // At most unity, so the result stays a 32-bit sample and needs no clamp.
        gain->Type = ChannelGain::Scale;
        PrepareSignedDivisor(&gain->Divisor, pair.Denominator, GainDividendBits);
    } else {
        gain->Type = ChannelGain::WideScale;
        PrepareExactDivisor(&gain->WideDivisor, pair.Denominator);
    }
}

// One internal sample through a prepared gain of kind Multiply, Scale or WideScale (callers
// short-cut Unity and Silence); gains above unity saturate instead of wrapping.
inline LONG ApplyChannelGain(const ChannelGain& gain, LONG sample)
{
    // |sample * numerator| < 2^63 for any 32-bit numerator, and the rounding term keeps it there.
    LONGLONG scaled = static_cast<LONGLONG>(sample) * gain.Numerator + gain.Rounding;
    if (gain.Type == ChannelGain::Scale) {
        return static_cast<LONG>(DivideTruncating(gain.Divisor, scaled));
    }
    if (gain.Type == ChannelGain::WideScale) {
        scaled = DivideTruncating(gain.WideDivisor, scaled);
    }
    return SaturateToSample(scaled);
}

// Runs a prepared gain over count samples in place: load(i) reads sample i as an internal
// sample, store(i, value) writes it back. One loop per kind, so the sample loops stay branch-free.
template <typename LoadSampleAt, typename StoreSampleAt>
inline void ApplyGainToSamples(const ChannelGain& gain, ULONG count, LoadSampleAt load, StoreSampleAt store)
{
    switch (gain.Type) {
    case ChannelGain::Unity:
        break;
    case ChannelGain::Silence:
        for (ULONG i = 0; i < count; ++i) {
            store(i, 0);
        }
        break;
    case ChannelGain::Scale: {
        const SignedDivisor divisor = gain.Divisor;
        const LONGLONG numerator = gain.Numerator;
        const LONGLONG rounding = gain.Rounding;
        for (ULONG i = 0; i < count; ++i) {
            store(i, static_cast<LONG>(DivideTruncating(divisor, load(i) * numerator + rounding)));
        }
        break;
    }
    default:
        for (ULONG i = 0; i < count; ++i) {
            store(i, ApplyChannelGain(gain, load(i)));
        }
        break;
    }
}

// A channel table at 0 dB: every level 0 and every gain unity.
inline void ResetChannelLevels(LONG* levels, ScalePair* gains)
{
    for (ULONG channel = 0; channel < GainTableEntries; ++channel) {
        levels[channel] = 0;
        gains[channel] = ScalePair{1, 1};
    }
}
