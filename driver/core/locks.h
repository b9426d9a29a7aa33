// Locks: a spin lock that remembers the IRQL it raised from, and the recursive lock with its two
// kinds, a mutex (waits allowed while held) and a spin lock (usable from DPCs).
#pragma once

#include "core/pool.h"

// A KSPIN_LOCK followed by the IRQL saved by the last acquisition.
class SpinLock {
public:
    SpinLock();

    _IRQL_requires_max_(DISPATCH_LEVEL)
    _IRQL_raises_(DISPATCH_LEVEL)
    void Acquire();

    _IRQL_requires_(DISPATCH_LEVEL)
    void Release();

private:
    KSPIN_LOCK lock_;
    KIRQL savedIrql_;
};

// A lock its owner may enter again: only the Leave that brings the count back to 0 releases it.
// RecursionCount and OwnerThread are changed only by the owning thread while the lock is held.
class RecursiveLock : public PoolObject {
public:
    virtual ~RecursiveLock() {}

    void Enter();
    void Leave();
    bool OwnedByCurrentThread() const { return CurrentOwner() == KeGetCurrentThread(); }
    LONG Depth() const { return RecursionCount; }  // meaningful to the owner only

protected:
    RecursiveLock() : RecursionCount(0), OwnerThread(NULL) {}
    virtual void Acquire() = 0;
    virtual void Release() = 0;

private:
    PKTHREAD CurrentOwner() const;

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
class SpinLockLock : public RecursiveLock {
public:
    SpinLockLock() {}

protected:
    _IRQL_requires_max_(DISPATCH_LEVEL)
    void Acquire() override;
    void Release() override;

private:
    SpinLock spinLock_;
};
