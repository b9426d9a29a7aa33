// Mix areas, one per processor. A cable's pass mixes a chunk that fits into the area of the
// processor it runs on, rather than into the cable's own mix buffer: the mix holds nothing from
// one chunk to the next, and a processor runs one DPC at a time, so no two passes ever share an
// area. Every cable's pass on a processor then reuses the same few lines, which stay in that
// processor's cache, where hundreds of cables' own buffers would each be fetched again every
// tick. A chunk too large for the area, or a processor without one, uses the cable's buffer.
#pragma once

#include "core/driver_state.h"

// One page: a whole 20-ms chunk of 48 kHz stereo 16-bit audio (3840 bytes), or a 5-ms pass of
// 48 kHz audio in up to four 32-bit channels.
constexpr ULONG MixAreaBytes = 4096;
// Beside each mix area, one as large for the conversion of the mix that several capture streams
// of the cable share (transfer.h).
constexpr ULONG ConversionAreaBytes = 4096;
constexpr ULONG ProcessorAreaBytes = MixAreaBytes + ConversionAreaBytes;

class ProcessorMixAreas {
public:
    ProcessorMixAreas() : Block(NULL), First(NULL), Count(0) {}

    // One area for every processor active now, in place of any made before. False, with none
    // (every pass then uses its cable's buffer), when pool is short.
    _IRQL_requires_(PASSIVE_LEVEL)
    bool Allocate();

    _IRQL_requires_(PASSIVE_LEVEL)
    void Free();

    // The current processor's area when `bytes` fit in it, else null. The caller runs at
    // DISPATCH_LEVEL, so the processor cannot change under it and no other pass can run on it.
    _IRQL_requires_(DISPATCH_LEVEL)
    PUCHAR AreaFor(ULONG bytes) const
    {
        if (bytes > MixAreaBytes) {
            return NULL;
        }
        ULONG processor = CurrentProcessorIndex();
        return (processor < Count) ? First + static_cast<SIZE_T>(processor) * ProcessorAreaBytes : NULL;
    }

    // The current processor's conversion area (ConversionAreaBytes), or null; as AreaFor.
    _IRQL_requires_(DISPATCH_LEVEL)
    PUCHAR ConversionArea() const
    {
        ULONG processor = CurrentProcessorIndex();
        return (processor < Count) ? First + static_cast<SIZE_T>(processor) * ProcessorAreaBytes + MixAreaBytes
                                   : NULL;
    }

private:
    PVOID Block;   // the pool block
    PUCHAR First;  // the first area, on a cache-line boundary in the block
    ULONG Count;   // areas, one per processor index below it
};
