// The cable clock: interrupt time scaled by the clock correction, counted from an origin that a
// change of correction re-bases, so that the bytes due never jump and never drift.
#include "filters/wave_miniport.h"

namespace {

constexpr ULONGLONG HundredNsPerSecond = 10000000;
constexpr ULONG MinCorrectionPercent = 90;
constexpr ULONG MaxCorrectionPercent = 110;

// The correction in thousandths of a percent: what the control panel shows as "%u.%03u".
ULONG CorrectionPerMille(ULONG correction)
{
    return static_cast<ULONG>((static_cast<ULONGLONG>(correction) * 100000 + 32768) >> 16);
}

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
    ULONG percent = (CorrectionPerMille(correction) + 500) / 1000;
    if (percent < MinCorrectionPercent || percent > MaxCorrectionPercent) {
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
