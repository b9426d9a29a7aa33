// IRQL per thread, threads, spin locks, mutexes and interlocked operations, with the verifier's
// checks on each.
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "host/harness.h"
#include "host/internal.h"

// Only its address matters: one object per thread, which is what spin locks record as owner.
struct _KTHREAD {
    uint8_t unused;
};

namespace host {
namespace {

constexpr LONG MutantObjectType = 2;

__thread _KTHREAD currentThread HOST_HOT_TLS{0};

struct WaitState {
    pthread_mutex_t mutex;
    pthread_cond_t condition;
};
static_assert(sizeof(WaitState) <= HOST_DISPATCHER_STATE_BYTES, "wait state fits the dispatcher object");

WaitState* StateOf(PKMUTEX mutex)
{
    return reinterpret_cast<WaitState*>(mutex->HostState);
}

std::string IrqlText(KIRQL irql)
{
    switch (irql) {
    case PASSIVE_LEVEL:
        return "PASSIVE_LEVEL";
    case APC_LEVEL:
        return "APC_LEVEL";
    case DISPATCH_LEVEL:
        return "DISPATCH_LEVEL";
    default:
        return std::to_string(static_cast<int>(irql));
    }
}

}  // namespace

__thread KIRQL currentIrql HOST_HOT_TLS = PASSIVE_LEVEL;
__thread ULONG spinLocksHeld HOST_HOT_TLS = 0;
__thread ULONG mutexAcquisitions HOST_HOT_TLS = 0;

// The reports build strings: kept out of line and cold, so that the checks on every spin lock
// and IRQL change stay a compare and a branch.
void ReportIrqlAbove(KIRQL maximum, const char* routine, const char* why)
{
    ReportViolation("IRQL_NOT_LESS_OR_EQUAL", routine,
                    std::string(routine) + " called at " + IrqlText(currentIrql) + " but allowed only at " +
                        IrqlText(maximum) + " or below: " + why);
}

std::string IrqlName(KIRQL irql)
{
    return IrqlText(irql);
}

void ReportDriverCallExit(const char* routine, KIRQL entryIrql, ULONG entrySpinLocks, ULONG entryMutexes)
{
    if (currentIrql != entryIrql) {
        ReportViolation("CALLBACK_RETURNED_AT_WRONG_IRQL", routine,
                        std::string(routine) + " was called at " + IrqlText(entryIrql) + " and returned at " +
                            IrqlText(currentIrql) + "; lower only what the routine raised, on every path");
    }
    if (spinLocksHeld > entrySpinLocks) {
        ReportViolation("CALLBACK_RETURNED_HOLDING_SPIN_LOCK", routine,
                        std::string(routine) + " returned holding " + std::to_string(spinLocksHeld - entrySpinLocks) +
                            " spin lock(s) it took; release every lock on every path before returning");
    }
    if (mutexAcquisitions != entryMutexes) {
        ReportViolation("CALLBACK_RETURNED_HOLDING_MUTEX", routine,
                        std::string(routine) + " returned with " +
                            std::to_string(static_cast<LONG>(mutexAcquisitions - entryMutexes)) +
                            " mutex acquisition(s) not balanced; every Enter of a lock needs its Leave on every path");
    }
}

}  // namespace host

using host::ReportViolation;

// Like KeGetCurrentIrql.
KIRQL KeGetCurrentIrql(void)
{
    return host::currentIrql;
}

// Like KfRaiseIrql: raising to a lower level than the current one is a bug check.
[[gnu::cold, gnu::noinline]] static void ReportRaiseBelow(KIRQL newIrql, KIRQL old)
{
    ReportViolation("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql",
                    "asked to raise to " + host::IrqlText(newIrql) + ", below the current " + host::IrqlText(old));
}

KIRQL KfRaiseIrql(KIRQL newIrql)
{
    KIRQL old = host::currentIrql;
    if (newIrql < old) {
        ReportRaiseBelow(newIrql, old);
        return old;
    }
    if (newIrql >= DISPATCH_LEVEL && old < DISPATCH_LEVEL) {
        host::CheckRaiseFromPageableCode("KeRaiseIrql");
        host::EnteredDispatchLevel();
    }
    host::currentIrql = newIrql;
    return old;
}

KIRQL KeRaiseIrqlToDpcLevel(void)
{
    return KfRaiseIrql(DISPATCH_LEVEL);
}

// Like KeLowerIrql: lowering to a higher level than the current one is a bug check.
[[gnu::cold, gnu::noinline]] static void ReportLowerAbove(KIRQL newIrql)
{
    ReportViolation("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql",
                    "asked to lower to " + host::IrqlText(newIrql) + ", above the current " +
                        host::IrqlText(host::currentIrql));
}

void KeLowerIrql(KIRQL newIrql)
{
    if (__builtin_expect(newIrql > host::currentIrql, 0)) {
        ReportLowerAbove(newIrql);
        return;
    }
    KIRQL previous = host::currentIrql;
    host::currentIrql = newIrql;
    if (previous >= DISPATCH_LEVEL && newIrql < DISPATCH_LEVEL) {
        host::LeftDispatchLevel();
        if (__builtin_expect(host::dpcsRunWhenIrqlDrops.load(std::memory_order_relaxed), 0)) {
            host::RunDpcsOnIrqlDrop();
        }
    }
}

// Like PAGED_CODE() under Driver Verifier: pageable code must not run above APC_LEVEL.
void HostVerifyPagedCode(const char* routine)
{
    if (host::currentIrql > APC_LEVEL) {
        ReportViolation("PAGED_CODE_AT_RAISED_IRQL", routine,
                        std::string("pageable routine ") + routine + " ran at " + host::IrqlText(host::currentIrql) +
                            "; move it out of the PAGE section or call it at PASSIVE_LEVEL");
    }
}

// Like KeGetCurrentThread: one distinct thread object per thread.
PKTHREAD KeGetCurrentThread(void)
{
    return &host::currentThread;
}

// Like KeInitializeSpinLock: a free spin lock is zero. A lock made anew where another was has
// none of its order.
void KeInitializeSpinLock(PKSPIN_LOCK spinLock)
{
    __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
    host::ForgetLocksIn(spinLock, sizeof(*spinLock));
}

namespace {

[[gnu::cold, gnu::noinline]] void ReportLockAlreadyOwned(const char* routine)
{
    ReportViolation("SPIN_LOCK_ALREADY_OWNED", routine,
                    "the current thread already holds this spin lock; acquiring it again deadlocks");
}

[[gnu::cold, gnu::noinline]] void ReportLockNotOwned(const char* routine, KSPIN_LOCK owner)
{
    ReportViolation("SPIN_LOCK_NOT_OWNED", routine,
                    owner == 0 ? "the spin lock is not held: released twice?" : "the spin lock is held by another thread");
}

// The lock word holds the owning thread while held, so a release by anyone else can be caught.
// The thread object's address is what KeGetCurrentThread returns, without its lazy numbering.
inline KSPIN_LOCK LockOwnerSelf()
{
    return reinterpret_cast<KSPIN_LOCK>(&host::currentThread);
}

// The lock was not free: ours already (a deadlock the verifier reports; the lock is not counted
// again) or another thread's, which we wait out. Returns `old` so that callers tail-call it and
// their fast path saves no registers.
[[gnu::noinline]] KIRQL AcquireContended(PKSPIN_LOCK spinLock, KSPIN_LOCK owner, const char* routine, KIRQL old)
{
    KSPIN_LOCK self = LockOwnerSelf();
    if (owner == self) {
        ReportLockAlreadyOwned(routine);
        return old;
    }
    for (unsigned spins = 0;; ++spins) {
        KSPIN_LOCK expected = 0;
        if (__atomic_compare_exchange_n(spinLock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            ++host::spinLocksHeld;
            host::NoteLockAcquired(spinLock, "spin lock", routine);
            return old;
        }
        if (spins % 64 == 63) {
            sched_yield();  // the holder may be a preempted host thread
        }
    }
}

// One compare-exchange when the lock is free, which is nearly always.
inline KIRQL AcquireLockWord(PKSPIN_LOCK spinLock, const char* routine, KIRQL old)
{
    KSPIN_LOCK expected = 0;
    if (__builtin_expect(!__atomic_compare_exchange_n(spinLock, &expected, LockOwnerSelf(), false, __ATOMIC_ACQUIRE,
                                                      __ATOMIC_RELAXED),
                         0)) {
        return AcquireContended(spinLock, expected, routine, old);
    }
    ++host::spinLocksHeld;
    host::NoteLockAcquired(spinLock, "spin lock", routine);
    return old;
}

// Above DISPATCH_LEVEL: the verifier's report, then as the platform would go on.
[[gnu::cold, gnu::noinline]] KIRQL AcquireAboveDispatchLevel(PKSPIN_LOCK spinLock)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLock", "spin locks are taken at DISPATCH_LEVEL or below");
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    return AcquireLockWord(spinLock, "KeAcquireSpinLock", old);
}

}  // namespace

// Like KfAcquireSpinLock: callable at DISPATCH_LEVEL or below; raises to DISPATCH_LEVEL.
KIRQL KfAcquireSpinLock(PKSPIN_LOCK spinLock)
{
    KIRQL old = host::currentIrql;
    if (__builtin_expect(old > DISPATCH_LEVEL, 0)) {
        return AcquireAboveDispatchLevel(spinLock);
    }
    if (old < DISPATCH_LEVEL) {
        host::CheckRaiseFromPageableCode("KeAcquireSpinLock");
        host::EnteredDispatchLevel();
    }
    host::currentIrql = DISPATCH_LEVEL;
    return AcquireLockWord(spinLock, "KeAcquireSpinLock", old);
}

// Like KfReleaseSpinLock: releases and returns to the IRQL saved by the acquisition. Only the
// owner may release.
void KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql)
{
    KSPIN_LOCK owner = __atomic_load_n(spinLock, __ATOMIC_RELAXED);
    if (__builtin_expect(owner != LockOwnerSelf(), 0)) {
        return ReportLockNotOwned("KeReleaseSpinLock", owner);
    }
    host::NoteLockReleased(spinLock);
    __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
    --host::spinLocksHeld;
    KeLowerIrql(newIrql);
}

// Like KeAcquireSpinLockAtDpcLevel: the caller must already run at DISPATCH_LEVEL.
[[gnu::cold, gnu::noinline]] static void ReportNotAtDispatchLevel()
{
    ReportViolation("IRQL_NOT_DISPATCH_LEVEL", "KeAcquireSpinLockAtDpcLevel",
                    "called at " + host::IrqlText(host::currentIrql) + "; use KeAcquireSpinLock instead");
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock)
{
    if (__builtin_expect(host::currentIrql != DISPATCH_LEVEL, 0)) {
        ReportNotAtDispatchLevel();
    }
    AcquireLockWord(spinLock, "KeAcquireSpinLockAtDpcLevel", DISPATCH_LEVEL);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock)
{
    KSPIN_LOCK owner = __atomic_load_n(spinLock, __ATOMIC_RELAXED);
    if (__builtin_expect(owner != LockOwnerSelf(), 0)) {
        return ReportLockNotOwned("KeReleaseSpinLockFromDpcLevel", owner);
    }
    host::NoteLockReleased(spinLock);
    __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
    --host::spinLocksHeld;
}

// Like KeInitializeMutex: a signalled, unowned mutex.
void KeInitializeMutex(PKMUTEX mutex, ULONG level)
{
    std::memset(mutex, 0, sizeof(*mutex));
    host::ForgetLocksIn(mutex, sizeof(*mutex));
    mutex->Header.Type = host::MutantObjectType;
    mutex->Header.SignalState = 1;
    auto* state = new (mutex->HostState) host::WaitState;
    pthread_mutex_init(&state->mutex, nullptr);
    pthread_cond_init(&state->condition, nullptr);
}

// Like KeReadStateMutex: 1 when free.
LONG KeReadStateMutex(PKMUTEX mutex)
{
    auto* state = host::StateOf(mutex);
    pthread_mutex_lock(&state->mutex);
    LONG signal = mutex->Header.SignalState;
    pthread_mutex_unlock(&state->mutex);
    return signal;
}

// Like KeWaitForSingleObject on a mutex: an owner may take it again; waiting at DISPATCH_LEVEL
// (other than a zero time-out poll) is a bug check.
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode, BOOLEAN alertable,
                               PLARGE_INTEGER timeout)
{
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (!poll) {
        host::RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject",
                                "a wait may block, which is allowed only below DISPATCH_LEVEL");
    }
    host::CheckBlockingCall("KeWaitForSingleObject", "waits");
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    if (header->Type != host::MutantObjectType) {
        ReportViolation("INVALID_OBJECT", "KeWaitForSingleObject", "the host supports waits on mutexes only");
        return STATUS_INVALID_PARAMETER;
    }
    auto* mutex = static_cast<PKMUTEX>(object);
    auto* state = host::StateOf(mutex);
    PKTHREAD self = KeGetCurrentThread();
    bool taken = false;
    pthread_mutex_lock(&state->mutex);
    if (mutex->OwnerThread != self) {
        while (mutex->OwnerThread != nullptr) {
            if (poll) {
                pthread_mutex_unlock(&state->mutex);
                return STATUS_TIMEOUT;
            }
            pthread_cond_wait(&state->condition, &state->mutex);
        }
        mutex->OwnerThread = self;
        taken = true;
    }
    ++mutex->RecursionCount;
    ++host::mutexAcquisitions;
    mutex->Header.SignalState = 1 - mutex->RecursionCount;
    pthread_mutex_unlock(&state->mutex);
    if (taken) {
        host::NoteLockAcquired(mutex, "mutex", "KeWaitForSingleObject");
    }
    return STATUS_SUCCESS;
}

// Like KeReleaseMutex: only the owner may release; the last release frees the mutex.
LONG KeReleaseMutex(PKMUTEX mutex, BOOLEAN wait)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeReleaseMutex", "mutexes are released at DISPATCH_LEVEL or below");
    host::CheckBlockingCall("KeReleaseMutex", "releases a mutex");
    auto* state = host::StateOf(mutex);
    pthread_mutex_lock(&state->mutex);
    LONG previous = mutex->Header.SignalState;
    if (mutex->OwnerThread != KeGetCurrentThread()) {
        pthread_mutex_unlock(&state->mutex);
        ReportViolation("MUTEX_NOT_OWNED", "KeReleaseMutex",
                        mutex->OwnerThread == nullptr ? "the mutex is not held: released twice?"
                                                      : "the mutex is held by another thread");
        return previous;
    }
    --host::mutexAcquisitions;
    if (--mutex->RecursionCount == 0) {
        host::NoteLockReleased(mutex);
        mutex->OwnerThread = nullptr;
        pthread_cond_signal(&state->condition);
    }
    mutex->Header.SignalState = 1 - mutex->RecursionCount;
    pthread_mutex_unlock(&state->mutex);
    return previous;
}

void YieldProcessor(void)
{
    sched_yield();
}
