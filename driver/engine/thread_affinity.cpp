// The thread affinity restriction: the two driver-wide counts and each direction's table of
// threads already limited.
#include "engine/thread_affinity.h"

#include "config/driver_params.h"
#include "core/driver_state.h"
#include "filters/wave_miniport.h"

namespace {

constexpr ULONG_PTR SystemProcessId = 4;
constexpr KAFFINITY FirstProcessorOnly = 1;

typedef HANDLE (NTAPI* CurrentProcessIdRoutine)(void);

bool CountApplies(ULONG cableCount)
{
    return cableCount != 0 && Params.NumberOfCables >= cableCount;
}

bool InSystemProcess()
{
    auto routine = reinterpret_cast<CurrentProcessIdRoutine>(Driver.PsGetCurrentProcessIdRoutine);
    return routine != NULL && reinterpret_cast<ULONG_PTR>(routine()) == SystemProcessId;
}

}  // namespace

// Slots are claimed with an interlocked exchange, so two threads never share one and no record is
// torn; a thread that loses a race for a slot takes the next empty one, or goes unrecorded and is
// limited again at its next delivery, which changes nothing for it.
void RestrictThreadAffinity(WaveMiniport* miniport, BOOLEAN capture)
{
    if (!CountApplies(Params.KmixerAffinityCableCount) &&
        !(CountApplies(Params.ClientAffinityCableCount) && InSystemProcess())) {
        return;
    }
    StreamList& list = capture ? miniport->CaptureStreams : miniport->RenderStreams;
    PVOID self = KeGetCurrentThread();
    PVOID volatile* slots = reinterpret_cast<PVOID volatile*>(list.RestrictedThreads);
    ULONG firstEmpty = RestrictedThreadSlots;
    for (ULONG slot = 0; slot < RestrictedThreadSlots; ++slot) {
        PVOID recorded = ReadPointerNoFence(&slots[slot]);
        if (recorded == self) {
            return;
        }
        if (recorded == NULL && firstEmpty == RestrictedThreadSlots) {
            firstEmpty = slot;
        }
    }
    KeSetSystemAffinityThread(FirstProcessorOnly);
    for (ULONG slot = firstEmpty; slot < RestrictedThreadSlots; ++slot) {
        if (InterlockedCompareExchangePointer(&slots[slot], self, NULL) == NULL) {
            return;
        }
    }
}
