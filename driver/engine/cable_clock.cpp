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

ULONG WaveMiniport::CableBytesDue() const
{
    ULONGLONG elapsed = KeQueryInterruptTime() - StartTime;
    ULONGLONG rate = (static_cast<ULONGLONG>(CableFormat.Format.nSamplesPerSec) * ClockCorrection + 32768) >> 16;
    ULONGLONG frames = (rate * elapsed + HundredNsPerSecond / 2) / HundredNsPerSecond;
    return static_cast<ULONG>(CableFormat.Format.nBlockAlign * frames);
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
    StartTime = KeQueryInterruptTime();
    ProcessedBytes = 0;
    ClockCorrection = correction;
    UnlockStateIdle();
    return STATUS_SUCCESS;
}
