// A Cable: one virtual cable with its number, its miniports, its instance limit, its two locks and
// its error counters. Owned by the Adapter, which keeps every cable in its Cables list.
#pragma once

#include "core/list.h"

class Adapter;
class WaveMiniport;

constexpr ULONG DefaultMaxInstances = 20;

class Cable {
public:
    // Allocates and constructs cable `index` of `adapter` (which it references); null when pool is
    // exhausted.
    static Cable* Create(ULONG index, Adapter* adapter);
    // Drops the miniports (clearing their back-pointers first) and the adapter reference, then
    // frees the cable.
    static void Destroy(Cable* cable);
    static Cable* FromLink(ListEntry* link) { return CONTAINING_RECORD(link, Cable, Link); }

    // Takes over the caller's reference on the cable's wave miniport.
    void AttachWaveMiniport(WaveMiniport* miniport);

    ListEntry Link;  // membership in Adapter::Cables; first, as the cable's list element
    ULONG Index;     // 0-based; users see Index + 1
    Adapter* OwnerAdapter;
    WaveMiniport* Wave;     // one reference; null until installed and after teardown
    ULONG MaxInstances;     // "Maximum instances", 1..100
    SpinLockLock StateLock;  // the run-time engine and node state; taken through LockStateIdle
    MutexLock FormatLock;    // intersection, stream creation, node properties, parameter changes
    LONG CaptureOverflows;   // interlocked
    LONG RenderUnderflows;   // interlocked

private:
    Cable(ULONG index, Adapter* adapter);
    ~Cable();
};
