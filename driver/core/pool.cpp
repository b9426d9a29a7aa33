// Pool allocation with the driver's tag.
#include "core/pool.h"

PVOID PoolAlloc(SIZE_T size)
{
    return ExAllocatePoolWithTag(NonPagedPool, size, PoolTag);
}

PVOID PoolAllocEx(SIZE_T size, ULONG flags)
{
    PVOID p = ExAllocatePoolWithTag((flags & PoolPaged) != 0 ? PagedPool : NonPagedPool, size, PoolTag);
    if (p != NULL && (flags & PoolZeroed) != 0) {
        RtlZeroMemory(p, size);
    }
    return p;
}

void PoolFree(PVOID p)
{
    if (p != NULL) {
        ExFreePoolWithTag(p, PoolTag);
    }
}
