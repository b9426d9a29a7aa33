// Pool allocation with the driver's tag. Every driver allocation goes through these wrappers,
// and pool-allocated driver classes derive from PoolObject so that delete returns them here.
#pragma once

#include "core/platform.h"

// PoolAllocEx flags.
constexpr ULONG PoolPaged = 0x1;   // PagedPool instead of NonPagedPool
constexpr ULONG PoolZeroed = 0x2;  // cleared with zeros

// Non-paged, uncleared; null on failure.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID PoolAlloc(SIZE_T size);

// Paged or non-paged, cleared or not, by flags; null on failure.
_IRQL_requires_max_(DISPATCH_LEVEL)
PVOID PoolAllocEx(SIZE_T size, ULONG flags);

// Frees a block from PoolAlloc or PoolAllocEx; a null pointer is ignored.
_IRQL_requires_max_(DISPATCH_LEVEL)
void PoolFree(PVOID p);

// Constructs an object in memory the caller allocated: `new (memory, InPlace) T(...)`. The kernel
// has no <new>, so the driver has its own placement form.
struct InPlaceTag {};
constexpr InPlaceTag InPlace = {};
inline void* operator new(size_t, void* place, InPlaceTag) noexcept
{
    return place;
}
inline void operator delete(void*, void*, InPlaceTag) noexcept {}

// Base of pool-allocated driver classes: `new (PoolAlloc(sizeof(T)), InPlace) T(...)` builds one,
// and the class-scope delete (used by deleting destructors) frees it, so the driver never needs
// the global operator delete, which the kernel does not have.
class PoolObject {
public:
    static void* operator new(size_t size, void* place, InPlaceTag tag) noexcept
    {
        return ::operator new(size, place, tag);
    }
    static void operator delete(void* p) { PoolFree(p); }
    static void operator delete(void*, void*, InPlaceTag) noexcept {}
};
