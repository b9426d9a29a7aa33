// Locks: a spin lock that remembers the IRQL it raised from, and the recursive lock with its two
// kinds, a mutex (waits allowed while held) and a spin lock (usable from DPCs).
#pragma once

#include "core/pool.h"

// A KSPIN_LOCK followed by the IRQL saved by the last acquisition. The lock operations are
// inline: the timer DPC takes its stream and state locks several times per pass.
class SpinLock {
public:
    SpinLock();

    _IRQL_requires_max_(DISPATCH_LEVEL)
    _IRQL_raises_(DISPATCH_LEVEL)
    void Acquire()
    {
        KIRQL previous;
        KeAcquireSpinLock(&lock_, &previous);
        savedIrql_ = previous;
    }

    _IRQL_requires_(DISPATCH_LEVEL)
    void Release()
    {
        // Read the saved IRQL before the release: the next owner overwrites it.
        KIRQL previous = savedIrql_;
        KeReleaseSpinLock(&lock_, previous);
    }

private:
    KSPIN_LOCK lock_;
    KIRQL savedIrql_;
};

// A lock its owner may enter again: only the Leave that brings the count back to 0 releases it.
// RecursionCount and OwnerThread are changed only by the owning thread while the lock is held.
//
// OwnerThread is read by threads that do not hold the lock (to learn that they do not own it),
// so it is read and written atomically; only its owner ever stores its own thread there. The
// stores need no ordering of their own: the lock's acquisition and release order them against
// the next owner, and a thread always sees its own last store.
class RecursiveLock : public PoolObject {
public:
    virtual ~RecursiveLock() {}

    void Enter()
    {
        PKTHREAD self = KeGetCurrentThread();
        if (CurrentOwner() != self) {
            Acquire();
            WritePointerNoFence(reinterpret_cast<PVOID volatile*>(&OwnerThread), self);
        }
        ++RecursionCount;
    }

    void Leave()
    {
        if (--RecursionCount == 0) {
            WritePointerNoFence(reinterpret_cast<PVOID volatile*>(&OwnerThread), NULL);
            Release();
        }
    }

    bool OwnedByCurrentThread() const { return CurrentOwner() == KeGetCurrentThread(); }
    LONG Depth() const { return RecursionCount; }  // meaningful to the owner only

protected:
    RecursiveLock() : RecursionCount(0), OwnerThread(NULL) {}
    virtual void Acquire() = 0;
    virtual void Release() = 0;

private:
    // No ordering is needed: only the owner stores its own thread here, so a thread always sees
    // its own last store, and any other value, however stale, is not itself. A plain atomic read
    // then does, without a locked exchange on every Enter.
    PKTHREAD CurrentOwner() const
    {
        PVOID const volatile* owner = reinterpret_cast<PVOID const volatile*>(&OwnerThread);
        return static_cast<PKTHREAD>(ReadPointerNoFence(owner));
    }

    LONG RecursionCount;
    PKTHREAD OwnerThread;
};

// Recursive lock over a KMUTEX: PASSIVE_LEVEL and APC_LEVEL only; may be held across waits and
// registry calls.
class MutexLock : public RecursiveLock {
public:
    MutexLock();

protected:
    _IRQL_requires_max_(APC_LEVEL)
    void Acquire() override;
    void Release() override;

private:
    KMUTEX mutex_;
};

// Recursive lock over a SpinLock: up to DISPATCH_LEVEL; raises to DISPATCH_LEVEL while held.
// Final, so that Enter and Leave on a SpinLockLock call the spin lock directly.
class SpinLockLock final : public RecursiveLock {
public:
    SpinLockLock() {}

protected:
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void Acquire() override { spinLock_.Acquire(); }
    void Release() override { spinLock_.Release(); }

private:
    SpinLock spinLock_;
};
