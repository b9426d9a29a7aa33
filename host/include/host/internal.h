// Declarations shared between the stand-in's own source files; not for the driver or tests.
#pragma once

#include <string>

#include "host/kernel.h"
#include "host/portcls.h"

// Thread-local state read on every spin lock, IRQL change and DPC: initial-exec, as the library is
// loaded at start-up and a general-dynamic lookup (__tls_get_addr) would cost more than the check.
#define HOST_HOT_TLS __attribute__((tls_model("initial-exec")))

namespace host {

extern __thread KIRQL currentIrql HOST_HOT_TLS;   // irql.cpp
extern __thread ULONG spinLocksHeld HOST_HOT_TLS;  // irql.cpp

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
void ResetSystemAnswers();
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
// service_group.cpp: whether `group` is one of the stand-in's own (PcNewServiceGroup), and for
// such a group, RemoveMember followed by a wait until none of its DPCs can still be calling
// `member`. PASSIVE_LEVEL.
bool IsDrainingServiceGroup(PSERVICEGROUP group);
void RemoveMemberAndDrain(PSERVICEGROUP group, PSERVICESINK member);
// Stops real-time mode and restores the clock, processors, queues and fault injection.
void ResetScheduler();

}  // namespace host
