// Locks: spin lock, recursive lock and its mutex and spin-lock kinds.
#include "core/locks.h"

SpinLock::SpinLock() : savedIrql_(0)
{
    KeInitializeSpinLock(&lock_);
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
