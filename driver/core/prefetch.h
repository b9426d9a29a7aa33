// Asking for memory ahead of use: a cable's pass touches its streams' bookkeeping and client
// buffers that other cables' passes have pushed out of the caches since, and loads asked for
// together overlap where loads made one after another each wait in turn.
#pragma once

#include "core/platform.h"

constexpr ULONG CacheLineBytes = 64;

// Hints the lines holding bytes [start, start + bytes) into the cache. Never faults, so a stale
// or null address costs nothing but the hint.
inline void PrefetchBytes(const void* start, ULONG bytes)
{
    ULONG_PTR line = reinterpret_cast<ULONG_PTR>(start) & ~static_cast<ULONG_PTR>(CacheLineBytes - 1);
    const ULONG_PTR end = reinterpret_cast<ULONG_PTR>(start) + bytes;
    for (; line < end; line += CacheLineBytes) {
        PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, reinterpret_cast<const void*>(line));
    }
}
