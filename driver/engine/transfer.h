// The per-stream step of the processing cycle: moves one chunk of cable time between a stream's
// client buffers and the mix buffer, converting between the two formats.
#pragma once

#include "core/platform.h"

class WaveStream;

// Render streams convert their client data and add it into the mix buffer; capture streams
// convert the finished mix into their client buffers. Advances the stream's position by the whole
// of cableBytes and counts underflows and overflows in the cable. Returns the cable bytes that
// moved data. Timer DPC only: takes the stream lock per pass and nothing else; allocates nothing.
_IRQL_requires_(DISPATCH_LEVEL)
ULONG TransferStream(WaveStream* stream, PUCHAR cablePosition, ULONG cableBytes);
