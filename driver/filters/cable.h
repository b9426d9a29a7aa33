// A Cable: one virtual cable with its number, its miniports, its instance limit, its two locks and
// its error counters. Owned by the Adapter, which keeps every cable in its Cables list.
//
// The cable's storage is reference-counted: its miniports hold references, because PortCls may
// hold a miniport (and its streams and timer DPC) past the cable's removal, and every path of the
// miniport uses the cable's locks and counters. Removing the cable drops its miniports and the
// adapter's hold; the storage goes with the last miniport.
#pragma once

#include "core/list.h"

class Adapter;
class TopologyMiniport;
class WaveMiniport;

constexpr ULONG DefaultMaxInstances = 20;
// A subdevice name: "wave" or "topo" and the cable number (Index + 1), terminated.
constexpr size_t SubdeviceNameChars = 20;

class Cable {
public:
    // Allocates and constructs cable `index` of `adapter` (which it references); null when pool is
    // exhausted.
    static Cable* Create(ULONG index, Adapter* adapter);
    // Removes the cable from use: drops its miniport references, the topology's first, and the
    // creator's reference on the storage, which goes now or with the last miniport that PortCls
    // still holds.
    static void Destroy(Cable* cable);
    // Interlocked references on the storage; any IRQL. The last Release frees the cable at
    // PASSIVE_LEVEL (it drops the adapter reference).
    // Releases both miniports (which PortCls may still hold) and forgets them.
    void DropMiniports();
    void AddRef();
    void Release();
    static Cable* FromLink(ListEntry* link) { return CONTAINING_RECORD(link, Cable, Link); }

    // Take over the caller's reference on the cable's wave or topology miniport.
    void AttachWaveMiniport(WaveMiniport* miniport);
    void AttachTopologyMiniport(TopologyMiniport* miniport);

    ListEntry Link;  // membership in Adapter::Cables; first, as the cable's list element
    ULONG Index;     // 0-based; users see Index + 1
    Adapter* OwnerAdapter;  // one reference, held as long as the storage
    WaveMiniport* Wave;     // one reference; null until installed and after teardown
    TopologyMiniport* Topology;  // likewise
    ULONG MaxInstances;     // "Maximum instances", 1..100
    SpinLockLock StateLock;  // the run-time engine and node state; taken through LockStateIdle
    MutexLock FormatLock;    // intersection, stream creation, node properties, parameter changes
    LONG CaptureOverflows;   // interlocked
    LONG RenderUnderflows;   // interlocked

private:
    LONG References;  // interlocked: the creator's, and one per miniport

    Cable(ULONG index, Adapter* adapter);
    ~Cable();
};
