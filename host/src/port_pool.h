// The pool the ports allocate their own objects from: the port's tag, non-paged (executed from
// nowhere: no-execute pool wherever the driver's minimum system has it).
#pragma once

#include <atomic>

#include "host/port_filter.h"

namespace host {

extern std::atomic<ULONG> minimumWindowsVersion;  // pool.cpp

inline PVOID PortAllocate(size_t bytes)
{
    POOL_TYPE type = minimumWindowsVersion.load(std::memory_order_relaxed) >= 0x0602 ? NonPagedPoolNx : NonPagedPool;
    return ExAllocatePoolWithTag(type, bytes, PortPoolTag);
}

inline void PortFree(PVOID block)
{
    ExFreePoolWithTag(block, PortPoolTag);
}

}  // namespace host
