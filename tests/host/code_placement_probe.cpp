// Routines placed as a driver places them, for the verifier's code-placement checks. This file is
// built with the same routine instrumentation as the driver.
#include "code_placement_probe.h"

namespace {
KSPIN_LOCK probeLock;
}

[[gnu::noinline]] void ResidentRoutineTakingASpinLock()
{
    KIRQL old = KfAcquireSpinLock(&probeLock);
    KfReleaseSpinLock(&probeLock, old);
}

__attribute__((section("tarn_page"), noinline)) void PageableRoutineTakingASpinLock()
{
    KeInitializeSpinLock(&probeLock);
    KIRQL old = KfAcquireSpinLock(&probeLock);
    KfReleaseSpinLock(&probeLock, old);
}

__attribute__((section("tarn_page"), noinline)) void PageableRoutineCallingOneThatTakesASpinLock()
{
    KeInitializeSpinLock(&probeLock);
    ResidentRoutineTakingASpinLock();
}
