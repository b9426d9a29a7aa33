// The cable clock: interrupt time scaled by the clock correction, counted from an origin that a
// change of correction re-bases, so that the bytes due never jump and never drift.
#include "filters/wave_miniport.h"

namespace {

constexpr ULONGLONG HundredNsPerSecond = 10000000;

// The correction in whole percent, rounded: from thousandths of a percent (what the control panel
// shows as "%u.%03u"), with every intermediate in 64 bits.
constexpr ULONGLONG CorrectionPercent(ULONGLONG correction)
{
    return (((correction * 100000 + 32768) >> 16) + 500) / 1000;
}

// The accepted range is 90 to 110 percent after that rounding. It is checked on the raw value, so
// that no intermediate can wrap a value far outside back into range.
static_assert(CorrectionPercent(MinClockCorrection - 1) == 89 && CorrectionPercent(MinClockCorrection) == 90,
              "the lowest correction is the first that rounds to 90 percent");
static_assert(CorrectionPercent(MaxClockCorrection) == 110 && CorrectionPercent(MaxClockCorrection + 1) == 111,
              "the highest correction is the last that rounds to 110 percent");

}  // namespace

// The frames due are round(rate × elapsed / 1 s), rate being the corrected sample rate in whole
// frames a second. Whole seconds and the rest of the elapsed time are scaled apart, which is exact
// because rate × seconds is a whole number of frames: round(rate × (seconds + rest)) = rate ×
// seconds + round(rate × rest). The one product rate × elapsed would pass 2^64 after 100 days at
// 192 kHz with the highest correction; split, the frames stay below 2^59 for any 64-bit elapsed
// time (at most 212156 frames a second), and the bytes below 2^64 in frames of up to 32 bytes
// (eight 32-bit channels, the widest cable format).
ULONGLONG WaveMiniport::CableBytesDueAt(ULONGLONG now) const
{
    ULONGLONG elapsed = now - StartTime;
    ULONGLONG rate = (static_cast<ULONGLONG>(CableFormat.Format.nSamplesPerSec) * ClockCorrection + 32768) >> 16;
    ULONGLONG seconds = elapsed / HundredNsPerSecond;
    ULONGLONG rest = elapsed - seconds * HundredNsPerSecond;
    ULONGLONG frames = rate * seconds + (rate * rest + HundredNsPerSecond / 2) / HundredNsPerSecond;
    return CableFormat.Format.nBlockAlign * frames;
}

// Caller holds LockStateIdle, or is the processing pass itself.
void WaveMiniport::ReBaseClock(ULONGLONG now)
{
    StartTime = now;
    ProcessedBytes = 0;
}

NTSTATUS WaveMiniport::ApplyClockCorrection(ULONG correction)
{
    if (correction < MinClockCorrection || correction > MaxClockCorrection) {
        return STATUS_INVALID_PARAMETER;
    }
    if (correction == ClockCorrection) {
        return STATUS_SUCCESS;
    }
    LockStateIdle();
    // The new rate applies from now on; what fell due at the old rate since the last pass is still
    // owed, and the next pass processes it. It is carried as processed bytes below the new origin
    // (0 - owed, modulo 2^64, as ProcessTick subtracts). Without the carry every change would drop
    // up to a period of cable time, and a panel changing the correction often would slow the cable.
    ULONGLONG now = KeQueryInterruptTime();
    ULONGLONG owed = (ReadNoFence(&TimerUsers) != 0) ? CableBytesDueAt(now) - ProcessedBytes : 0;
    ReBaseClock(now);
    ProcessedBytes = 0 - owed;
    ClockCorrection = correction;
    UnlockStateIdle();
    return STATUS_SUCCESS;
}
