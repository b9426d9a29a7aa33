// The per-processor mix areas.
#include "engine/mix_areas.h"

#include "core/pool.h"
#include "core/prefetch.h"

bool ProcessorMixAreas::Allocate()
{
    PAGED_CODE();
    Free();  // a second call replaces the areas rather than leaking them
    ULONG count = ActiveProcessorCount();
    // Room to move the first area onto a cache-line boundary.
    PVOID block = PoolAlloc(static_cast<SIZE_T>(count) * ProcessorAreaBytes + CacheLineBytes);
    if (block == NULL) {
        return false;
    }
    ULONG_PTR address = reinterpret_cast<ULONG_PTR>(block);
    address = (address + CacheLineBytes - 1) & ~static_cast<ULONG_PTR>(CacheLineBytes - 1);
    Block = block;
    First = reinterpret_cast<PUCHAR>(address);
    Count = count;
    return true;
}

void ProcessorMixAreas::Free()
{
    PAGED_CODE();
    PoolFree(Block);
    Block = NULL;
    First = NULL;
    Count = 0;
}
