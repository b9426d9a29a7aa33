// The Adapter: the one device-wide object. It owns the cables, the control-handle list and the
// count of live streams, and answers the class driver's power management.
#pragma once

#include "core/list.h"
#include "core/unknown.h"
#include "engine/mix_areas.h"

class Cable;

class Adapter : public IAdapterPowerManagement, public UnknownBase {
public:
    // Allocates and constructs an adapter holding one reference; null when pool is exhausted.
    static Adapter* Create();

    DELEGATING_UNKNOWN
    STDMETHODIMP_(NTSTATUS) NonDelegatingQueryInterface(REFIID iid, PVOID* object) override;

    STDMETHODIMP_(void) PowerChangeState(POWER_STATE newState) override;
    STDMETHODIMP_(NTSTATUS) QueryPowerChangeState(POWER_STATE newStateQuery) override;
    STDMETHODIMP_(NTSTATUS) QueryDeviceCapabilities(PDEVICE_CAPABILITIES powerDeviceCaps) override;

    // Interlocked; any IRQL. Return the new count.
    LONG AddLiveStream();
    LONG RemoveLiveStream();

    // Adds a constructed cable at the end of Cables (creation order).
    void AddCable(Cable* cable);
    // The cable with the given 0-based index, or null. Takes the Cables lock.
    Cable* FindCable(ULONG index);
    // Removes, destroys and frees every cable, index 0 first. PASSIVE_LEVEL (unload).
    _IRQL_requires_(PASSIVE_LEVEL)
    void DestroyAllCables();
    // Creates "Number of cables" cables, index 0 first, and installs each with PortCls: its
    // miniports, its settings, its wave and topology subdevices and their links. On any failure
    // every cable goes again and the status is returned. PASSIVE_LEVEL (device start).
    _IRQL_requires_(PASSIVE_LEVEL)
    NTSTATUS CreateCables(PDEVICE_OBJECT deviceObject, PIRP irp);

    PDEVICE_OBJECT DeviceObject;
    PRESOURCELIST ResourceList;
    ULONG DevicePowerState;  // PowerDeviceD0..PowerDeviceD3
    MutexLock AdapterLock;   // guards ControlHandles; held by the control channel while it serves
    LockedList Cables;       // own spin lock; index 0 at the head
    LockedList ControlHandles;
    LONG LiveStreams;        // interlocked: existing WaveStream objects on all cables
    ProcessorMixAreas MixAreas;  // the cables' passes mix here when the chunk fits

private:
    Adapter();
    ~Adapter() override;
};
