// Declarations shared between the stand-in's own source files; not for the driver or tests.
#pragma once

#include <atomic>
#include <string>

#include "host/kernel.h"
#include "host/portcls.h"

// Thread-local state read on every spin lock, IRQL change and DPC: initial-exec, as the library is
// loaded at start-up and a general-dynamic lookup (__tls_get_addr) would cost more than the check.
#define HOST_HOT_TLS __attribute__((tls_model("initial-exec")))

namespace host {

extern __thread KIRQL currentIrql HOST_HOT_TLS;   // irql.cpp
extern __thread ULONG spinLocksHeld HOST_HOT_TLS;  // irql.cpp
// Mutex acquisitions the current thread has not released yet, a recursive one counted again.
extern __thread ULONG mutexAcquisitions HOST_HOT_TLS;  // irql.cpp
std::string IrqlName(KIRQL irql);                       // irql.cpp

inline KIRQL CurrentIrql()
{
    return currentIrql;
}
// The spin locks the current thread holds now (KeAcquireSpinLock and KeAcquireSpinLockAtDpcLevel).
inline ULONG SpinLocksHeld()
{
    return spinLocksHeld;
}
// Fails with the verifier unless the current IRQL is at most `maximum`. The report builds strings,
// so it stays out of line and the check is a compare and a branch.
[[gnu::cold, gnu::noinline]] void ReportIrqlAbove(KIRQL maximum, const char* routine, const char* why);
inline void RequireIrqlAtMost(KIRQL maximum, const char* routine, const char* why)
{
    if (__builtin_expect(currentIrql > maximum, 0)) {
        ReportIrqlAbove(maximum, routine, why);
    }
}
// What Driver Verifier checks when a driver routine the platform called returns: the IRQL it was
// called at, no spin lock still held, no mutex acquisition left over (a recursive lock's mutex
// included). Out of line and cold: the check itself is three compares.
[[gnu::cold, gnu::noinline]] void ReportDriverCallExit(const char* routine, KIRQL entryIrql, ULONG entrySpinLocks,
                                                       ULONG entryMutexes);
// Brackets one call from the platform into the driver (a miniport or stream method, a dispatch
// routine, DriverEntry, unload).
class DriverCall {
public:
    explicit DriverCall(const char* routine)
        : routine_(routine), irql_(currentIrql), spinLocks_(spinLocksHeld), mutexes_(mutexAcquisitions)
    {
    }
    ~DriverCall()
    {
        if (__builtin_expect(currentIrql != irql_ || spinLocksHeld != spinLocks_ || mutexAcquisitions != mutexes_,
                             0)) {
            ReportDriverCallExit(routine_, irql_, spinLocks_, mutexes_);
        }
    }
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;

private:
    const char* routine_;
    KIRQL irql_;
    ULONG spinLocks_;
    ULONG mutexes_;
};

// code_placement.cpp: the driver's instrumented routines on this thread's stack, and whether each
// is pageable (innermost last); the image sections of pageable and init code.
constexpr int MaxTrackedFrames = 256;
extern __thread int frameDepth HOST_HOT_TLS;
extern __thread bool framePageable[MaxTrackedFrames] HOST_HOT_TLS;
[[gnu::cold, gnu::noinline]] void ReportPageableRaise(const char* routine);
// A raise to DISPATCH_LEVEL made by a pageable routine itself (its innermost instrumented frame;
// the lock helpers are not instrumented, so a lock taken through them counts as the caller's).
inline void CheckRaiseFromPageableCode(const char* routine)
{
    int depth = frameDepth;
    if (__builtin_expect(depth > 0 && depth <= MaxTrackedFrames && framePageable[depth - 1], 0)) {
        ReportPageableRaise(routine);
    }
}
void RegisterLoadedImageSections();
void RegisterImageSections(const std::string& path, void* handle);
void DiscardInitSections(void* handle, bool discarded);
void ForgetImageSections(void* handle);

// strings.cpp: the ntstrsafe functions' documented IRQL, PASSIVE_LEVEL.
void RequireSafeStringIrql(const char* routine);
// Raises to DISPATCH_LEVEL for the miniport calls the platform may make there, and back after.
class AtDispatchLevel {
public:
    AtDispatchLevel() : previous_(KfRaiseIrql(DISPATCH_LEVEL)) {}
    ~AtDispatchLevel() { KeLowerIrql(previous_); }
    AtDispatchLevel(const AtDispatchLevel&) = delete;
    AtDispatchLevel& operator=(const AtDispatchLevel&) = delete;

private:
    KIRQL previous_;
};

// The names of the routines on the current call stack, innermost first (best effort).
std::string CallStackNames(int skipFrames);
void ResetPool();
// pool.cpp: a block's header before the caller's bytes, the call stack kept for each block, and
// the routine that allocated it, read from that stack.
constexpr size_t PoolHeaderBytes = 32;
constexpr int PoolStackDepth = 12;
std::string PoolSiteOf(void* const* stack, int depth);

// paged_pool.cpp: paged blocks on pages of their own, made inaccessible while a thread runs at
// DISPATCH_LEVEL or above (virtual time only), so that a touch there faults and is reported.
// Map, then track once the block is filled in; open before the pool itself reads or writes a block
// that may be protected; unmap to free.
extern std::atomic<size_t> livePagedBlocks __attribute__((visibility("hidden")));  // read without the GOT
size_t PagedMappingBytes(size_t blockBytes);
void* MapPagedBlock(size_t blockBytes);
void TrackPagedBlock(void* mapping, size_t blockBytes, size_t requestedBytes, ULONG tag, void* const* stack, int depth);
void OpenPagedBlock(void* mapping);
void UnmapPagedBlock(void* mapping, size_t blockBytes);
[[gnu::cold, gnu::noinline]] void PagedPoolAtDispatchLevel();
[[gnu::cold, gnu::noinline]] void PagedPoolBelowDispatchLevel();
// Called wherever the current thread's IRQL crosses DISPATCH_LEVEL, upward or downward. With no
// paged block live each is one relaxed load and a branch.
inline void EnteredDispatchLevel()
{
    if (__builtin_expect(livePagedBlocks.load(std::memory_order_relaxed) != 0, 0)) {
        PagedPoolAtDispatchLevel();
    }
}
inline void LeftDispatchLevel()
{
    if (__builtin_expect(livePagedBlocks.load(std::memory_order_relaxed) != 0, 0)) {
        PagedPoolBelowDispatchLevel();
    }
}
// Either crossing, or none, between two IRQLs of the current thread.
inline void NoteIrqlCrossing(KIRQL from, KIRQL to)
{
    if ((from >= DISPATCH_LEVEL) != (to >= DISPATCH_LEVEL)) {
        if (to >= DISPATCH_LEVEL) {
            EnteredDispatchLevel();
        } else {
            LeftDispatchLevel();
        }
    }
}
void ResetSystemAnswers();
// Whether a test hid the routine from MmGetSystemRoutineAddress: the system stood in for has it
// not, so an image that imports it would not load there. Cheap while nothing is hidden.
bool SystemRoutineHidden(const char* name);
// Reports IMPORT_NOT_EXPORTED when a routine the test hid is called directly: the driver imported
// a routine that the system stood in for has not.
void RequireExportedRoutine(const char* name);
void ResetImageState();
// The demangled name of the routine at `address`, or an empty string.
std::string RoutineName(void* address);
// The verifier's no-block region (the driver's processing section): pool calls, waits and mutexes
// report "BLOCKING_CALL_IN_PROCESSING_SECTION" inside one. `action` says what the routine does.
void CheckBlockingCall(const char* routine, const char* action);
// Before pool is freed: the region check, and no queued timer or DPC may live in the block.
void CheckPoolFree(const char* routine, const void* block, size_t size);
// Before a driver image is unmapped: none of its timers or DPCs may still be queued.
void CheckPendingOperationsAtUnload(void* imageHandle);
// dpc.cpp: runs the ready DPCs of this thread's processor now that its IRQL has dropped below
// DISPATCH_LEVEL (when the option is on).
extern std::atomic<bool> dpcsRunWhenIrqlDrops;
void RunDpcsOnIrqlDrop();
// dpc.cpp: the work the DPC routine running on this thread has done so far.
void ChargeDpcWork(ULONGLONG bytes);
// The file of the loaded object that holds `address`, or an empty string.
std::string ObjectFileOf(const void* address);
// system.cpp: timer-resolution requests an unloading image left outstanding are reported and
// withdrawn. clock.cpp: the clock ticks at the resolution granted, unless a test set a tick.
void CheckTimerResolutionAtUnload(const std::string& image);
void SetGrantedClockTick(ULONGLONG tick);
// service_group.cpp: whether `group` is one of the stand-in's own (PcNewServiceGroup), and for
// such a group, RemoveMember followed by a wait until none of its DPCs can still be calling
// `member`. PASSIVE_LEVEL.
bool IsDrainingServiceGroup(PSERVICEGROUP group);
void RemoveMemberAndDrain(PSERVICEGROUP group, PSERVICESINK member);
// Stops real-time mode and restores the clock, processors, queues and fault injection.
void ResetScheduler();
// lock_order.cpp: the current context took or let go of a spin lock or mutex (the first
// acquisition only, not a mutex owner's recursion); a DPC sets the interrupted context's locks
// aside and puts them back; pool that is freed takes the locks inside it out of the order.
void NoteLockAcquired(const void* lock, const char* kind, const char* routine);
void NoteLockReleased(const void* lock);
int SetAsideHeldLocks();
void RestoreHeldLocks(int count);
void ForgetLocksIn(const void* start, size_t bytes);
void ResetLockOrder();

// image.cpp: the class driver's record of a device object PcAddAdapterDevice created.
struct ClassDeviceInfo {
    PDRIVER_OBJECT driverObject = nullptr;
    PDEVICE_OBJECT physicalDeviceObject = nullptr;
    PCPFNSTARTDEVICE startDevice = nullptr;
    ULONG maxObjects = 0;
};
bool FindClassDevice(PDEVICE_OBJECT deviceObject, ClassDeviceInfo* info);
// subdevices.cpp: the class driver's handling of create, close, cleanup and device-control
// requests on filter and pin file objects; completes the request and returns its status.
NTSTATUS ClassFileRequest(PDEVICE_OBJECT deviceObject, PIRP irp);
// Deletes the device object (after its subdevices are gone), as PortCls does on removal.
void DeleteClassDevice(PDEVICE_OBJECT deviceObject);
// subdevices.cpp: unregisters every subdevice of the device (interfaces removed, ports' children
// released, ports released), forgets its links and lets its power-management interface go.
// PASSIVE_LEVEL.
void TearDownSubdevices(PDEVICE_OBJECT deviceObject);
// The device's registered power-management interface, referenced for the caller, or null.
PADAPTERPOWERMANAGEMENT AdapterPowerManagement(PDEVICE_OBJECT deviceObject);
void ResetSubdevices();
// The pin at the other end of a physical connection registered for pin `pinId` of the subdevice
// of this port, at either end of the connection: the other subdevice's
// KSCATEGORY_AUDIO link and pin. False when the pin has no connection.
bool FindPhysicalConnection(PUNKNOWN port, ULONG pinId, std::u16string* link, ULONG* pin);
// pnp.cpp: the class driver's own handling of PnP and power requests, which completes them.
NTSTATUS ClassPnp(PDEVICE_OBJECT deviceObject, PIRP irp);
NTSTATUS ClassPower(PDEVICE_OBJECT deviceObject, PIRP irp);
void ResetDevicePowerStates();
// irp.cpp: the file objects open on each device, as the I/O manager counts them (a create that
// succeeded and has not been closed).
void NoteFileOpened(PDEVICE_OBJECT deviceObject);
void NoteFileClosed(PDEVICE_OBJECT deviceObject);
void ResetOpenFiles();

}  // namespace host
