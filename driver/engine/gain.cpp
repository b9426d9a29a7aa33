// Volume levels to gains.
#include "core/platform.h"

#include "engine/gain.h"

namespace {
constexpr LONG MutedLevel = -2147483647 - 1;
constexpr ULONG LevelUnitsPerStep = 6553;  // 1/65536 dB units per 0.1 dB step, rounded down
constexpr ULONG MaxSteps = 1000;
constexpr ULONGLONG UnityGain = 16384;  // 1.0 in the 2.14 fixed point of the steps
constexpr ULONGLONG StepFactor = 16574;  // 1.0116 in 2.14 fixed point, about +0.1 dB
}  // namespace

ScalePair LevelToScale(LONG level)
{
    if (level == MutedLevel) {
        return ScalePair{0, 1};
    }

    ULONG magnitude = (level < 0) ? static_cast<ULONG>(-level) : static_cast<ULONG>(level);
    ULONG steps = magnitude / LevelUnitsPerStep;
    if (steps > MaxSteps) {
        steps = MaxSteps;
    }

    // Repeated multiplication keeps every step rounded the same way; 1000 steps end at
    // 1666303410, well inside 32 bits.
    ULONGLONG gain = UnityGain;
    for (ULONG step = 0; step < steps; ++step) {
        gain = (gain * StepFactor + UnityGain / 2) >> 14;
    }

    ScalePair pair = (level < 0) ? ScalePair{static_cast<ULONG>(UnityGain), static_cast<ULONG>(gain)}
                                 : ScalePair{static_cast<ULONG>(gain), static_cast<ULONG>(UnityGain)};
    if (pair.Numerator == pair.Denominator) {
        pair = ScalePair{1, 1};
    }
    return pair;
}
