// Asking for memory ahead of use: a cable's pass touches its streams' bookkeeping and client
// buffers that other cables' passes have pushed out of the caches since, and loads asked for
// together overlap where loads made one after another each wait in turn.
#pragma once

#include "core/platform.h"

constexpr ULONG CacheLineBytes = 64;

// Hints the lines holding bytes [start, start + bytes) into the cache: one hint every line's
// length from start, and one for the last byte, which covers the line that an unaligned start
// adds. With a constant length the loop unrolls into the hints alone. Never faults, so a stale
// address costs nothing but the hint; a null one is skipped.
inline void PrefetchBytes(const void* start, ULONG bytes)
{
    if (start == NULL || bytes == 0) {
        return;
    }
    const UCHAR* first = static_cast<const UCHAR*>(start);
#pragma GCC unroll 32
    for (ULONG offset = 0; offset < bytes; offset += CacheLineBytes) {
        PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, first + offset);
    }
    PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, first + bytes - 1);
}
