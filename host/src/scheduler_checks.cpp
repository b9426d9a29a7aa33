// The verifier's checks on timers and DPCs when memory goes away: freeing pool that holds a queued
// timer or DPC, and unloading a driver image whose timers or DPCs are still pending. The objects
// found are taken out of the queues, so the freed or unmapped memory is never touched again.
#include <dlfcn.h>
#include <link.h>

#include "host/internal.h"
#include "scheduler.h"

namespace host {

std::string ObjectFileOf(const void* address)
{
    Dl_info info{};
    if (address == nullptr || dladdr(address, &info) == 0 || info.dli_fname == nullptr) {
        return {};
    }
    return info.dli_fname;
}

void CheckPoolFree(const char* routine, const void* block, size_t size)
{
    CheckBlockingCall(routine, "frees pool");
    auto inside = [block, size](const void* object) {
        return reinterpret_cast<uintptr_t>(object) - reinterpret_cast<uintptr_t>(block) < size;
    };
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    size_t timers = ForgetTimers(s, [&](const KTIMER* timer) { return inside(timer); });
    size_t dpcs = ForgetDpcs(s, [&](const KDPC* dpc) { return inside(dpc); });
    if (timers + dpcs != 0) {
        ReportViolation("TIMER_OR_DPC_INVALID", routine,
                        "the pool block being freed holds " + std::to_string(timers) + " queued timer(s) and " +
                            std::to_string(dpcs) +
                            " queued DPC(s); cancel the timer (KeCancelTimer) and let its DPC run or remove it "
                            "(KeRemoveQueueDpc) before freeing the memory");
    }
}

void CheckPendingOperationsAtUnload(void* imageHandle)
{
    link_map* map = nullptr;
    if (dlinfo(imageHandle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr || map->l_name == nullptr) {
        return;
    }
    const std::string image = map->l_name;
    CheckTimerResolutionAtUnload(image);
    auto fromImage = [&](const KDPC* dpc) {
        return ObjectFileOf(dpc) == image || ObjectFileOf(reinterpret_cast<void*>(dpc->DeferredRoutine)) == image;
    };
    Scheduler& s = TheScheduler();
    std::lock_guard<HostMutex> guard(s.mutex);
    size_t timers = ForgetTimers(s, [&](const KTIMER* timer) {
        return ObjectFileOf(timer) == image || (timer->Dpc != nullptr && fromImage(timer->Dpc));
    });
    size_t dpcs = ForgetDpcs(s, fromImage);
    if (timers + dpcs != 0) {
        ReportViolation("DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", "DriverUnload",
                        std::to_string(timers) + " timer(s) and " + std::to_string(dpcs) +
                            " DPC(s) of the driver are still queued as its image unloads; cancel every timer "
                            "and flush its DPCs (KeFlushQueuedDpcs) before unload returns");
    }
}

}  // namespace host
