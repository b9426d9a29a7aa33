// The Adapter and the teardown of its cables.
#include "filters/adapter.h"

#include "filters/cable.h"

Adapter* Adapter::Create()
{
    void* memory = PoolAlloc(sizeof(Adapter));
    if (memory == NULL) {
        return NULL;
    }
    Adapter* adapter = new (memory, InPlace) Adapter();
    // Without the areas every pass mixes in its cable's own buffer, as well if more slowly.
    adapter->MixAreas.Allocate();
    return adapter;
}

Adapter::Adapter()
    : UnknownBase(NULL),
      DeviceObject(NULL),
      ResourceList(NULL),
      DevicePowerState(PowerDeviceD0),
      Cables(),
      ControlHandles(&AdapterLock),
      LiveStreams(0)
{
    AddRef();
}

Adapter::~Adapter()
{
    MixAreas.Free();
}

NTSTATUS Adapter::NonDelegatingQueryInterface(REFIID iid, PVOID* object)
{
    PUNKNOWN found = NULL;
    if (IsEqualGUIDAligned(iid, IID_IUnknown) || IsEqualGUIDAligned(iid, IID_IAdapterPowerManagement)) {
        found = static_cast<IAdapterPowerManagement*>(this);
    }
    *object = found;
    return ReturnInterface(found);
}

void Adapter::PowerChangeState(POWER_STATE newState)
{
    ULONG state = static_cast<ULONG>(newState.DeviceState);
    if (state != DevicePowerState && state >= PowerDeviceD0 && state <= PowerDeviceD3) {
        DevicePowerState = state;
    }
}

NTSTATUS Adapter::QueryPowerChangeState(POWER_STATE newStateQuery)
{
    return STATUS_SUCCESS;
}

NTSTATUS Adapter::QueryDeviceCapabilities(PDEVICE_CAPABILITIES powerDeviceCaps)
{
    return STATUS_SUCCESS;
}

LONG Adapter::AddLiveStream()
{
    return InterlockedIncrement(&LiveStreams);
}

LONG Adapter::RemoveLiveStream()
{
    return InterlockedDecrement(&LiveStreams);
}

void Adapter::AddCable(Cable* cable)
{
    Cables.PushBack(&cable->Link);
}

Cable* Adapter::FindCable(ULONG index)
{
    Cable* found = NULL;
    Cables.Guard()->Enter();
    for (ListEntry* walk = Cables.Items().First(); walk != NULL; walk = walk->Next) {
        Cable* cable = Cable::FromLink(walk);
        if (cable->Index == index) {
            found = cable;
            break;
        }
    }
    Cables.Guard()->Leave();
    return found;
}

void Adapter::DestroyAllCables()
{
    while (ListEntry* link = Cables.PopFront()) {
        Cable::Destroy(Cable::FromLink(link));
    }
}
