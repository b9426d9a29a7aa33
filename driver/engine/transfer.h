// The per-stream step of the processing cycle: moves one chunk of cable time between a stream's
// client buffers and the mix buffer, converting between the two formats.
#pragma once

#include "core/platform.h"

class WaveStream;
struct StreamList;

// Render streams convert their client data and add it into the mix buffer; capture streams
// convert the finished mix into their client buffers. Advances the stream's position by the whole
// of cableBytes and counts underflows and overflows in the cable. Returns the cable bytes that
// moved data. Timer DPC only: takes the stream lock per pass and nothing else; allocates nothing.
_IRQL_requires_(DISPATCH_LEVEL)
ULONG TransferStream(WaveStream* stream, PUCHAR cablePosition, ULONG cableBytes);

// Capture streams that would convert the mix the same way (same formats, same point of the
// interpolation, nothing left over from the last chunk) share one conversion of the chunk: it
// is made once, into `area` (ConversionAreaBytes, the processor's conversion area), and handed
// to each, ahead of its TransferStream, which then delivers it as its own
// conversion would have. Call after the mix is finished and before the capture streams'
// transfers. Returns the number of streams that took another's conversion. Timer DPC only;
// allocates nothing.
_IRQL_requires_(DISPATCH_LEVEL)
ULONG ShareCaptureConversions(StreamList* captureStreams, PUCHAR area, const UCHAR* mix, ULONG chunk);
