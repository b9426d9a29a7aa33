// Durations of cable and stream time expressed in bytes of a format.
#pragma once

#include "core/platform.h"

// Milliseconds of the format rounded to the nearest whole frame, at least one frame when
// milliseconds is not 0, in bytes. Saturates at the largest whole number of frames that 32 bits
// hold.
_IRQL_requires_max_(DISPATCH_LEVEL)
ULONG DurationToBytes(const WAVEFORMATEXTENSIBLE* format, ULONG milliseconds);
