// Durations to bytes.
#include "core/platform.h"

#include "engine/timing.h"

ULONG DurationToBytes(const WAVEFORMATEXTENSIBLE* format, ULONG milliseconds)
{
    const ULONGLONG blockAlign = format->Format.nBlockAlign;
    ULONGLONG frames = (static_cast<ULONGLONG>(format->Format.nSamplesPerSec) * milliseconds + 500) / 1000;
    if (frames == 0 && milliseconds != 0) {
        frames = 1;
    }
    ULONGLONG bytes = blockAlign * frames;
    if (bytes > 0xFFFFFFFFULL) {
        bytes = 0xFFFFFFFFULL - 0xFFFFFFFFULL % blockAlign;
    }
    return static_cast<ULONG>(bytes);
}
