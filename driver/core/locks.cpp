// Locks: spin lock, recursive lock and its mutex and spin-lock kinds.
#include "core/locks.h"

SpinLock::SpinLock() : savedIrql_(0)
{
    KeInitializeSpinLock(&lock_);
}

void SpinLock::Acquire()
{
    KIRQL previous;
    KeAcquireSpinLock(&lock_, &previous);
    savedIrql_ = previous;
}

void SpinLock::Release()
{
    // Read the saved IRQL before the release: the next owner overwrites it.
    KIRQL previous = savedIrql_;
    KeReleaseSpinLock(&lock_, previous);
}

// OwnerThread is read by threads that do not hold the lock (to learn that they do not own it),
// so it is read and written atomically; only its owner ever stores its own thread there. The
// stores need no ordering of their own: the lock's acquisition and release order them against
// the next owner, and a thread always sees its own last store.
void RecursiveLock::Enter()
{
    PKTHREAD self = KeGetCurrentThread();
    if (CurrentOwner() != self) {
        Acquire();
        WritePointerNoFence(reinterpret_cast<PVOID volatile*>(&OwnerThread), self);
    }
    ++RecursionCount;
}

void RecursiveLock::Leave()
{
    if (--RecursionCount == 0) {
        WritePointerNoFence(reinterpret_cast<PVOID volatile*>(&OwnerThread), NULL);
        Release();
    }
}

// No ordering is needed: only the owner stores its own thread here, so a thread always sees its
// own last store, and any other value, however stale, is not itself. A plain atomic read then
// does, without the locked exchange on every Enter.
PKTHREAD RecursiveLock::CurrentOwner() const
{
    PVOID const volatile* owner = reinterpret_cast<PVOID const volatile*>(&OwnerThread);
    return static_cast<PKTHREAD>(ReadPointerNoFence(owner));
}

MutexLock::MutexLock()
{
    KeInitializeMutex(&mutex_, 0);
}

void MutexLock::Acquire()
{
    KeWaitForSingleObject(&mutex_, Executive, KernelMode, FALSE, NULL);
}

void MutexLock::Release()
{
    KeReleaseMutex(&mutex_, FALSE);
}

void SpinLockLock::Acquire()
{
    spinLock_.Acquire();
}

void SpinLockLock::Release()
{
    spinLock_.Release();
}
