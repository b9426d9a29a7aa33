// The Topology port object: binds the topology miniport and takes its filter descriptor.
#include "host/port_topology.h"

#include "host/internal.h"

namespace host {

namespace {

// The categories of a Topology port's subdevice.
const GUID* const TopologyCategories[] = {&KSCATEGORY_AUDIO, &KSCATEGORY_TOPOLOGY};

}  // namespace

PortTopology* PortTopology::Create()
{
    return new PortTopology;
}

PortTopology::PortTopology() : filter_(TopologyCategories, 2) {}

PortTopology::~PortTopology()
{
    ReleaseChildren();
}

NTSTATUS PortTopology::QueryInterface(REFIID iid, PVOID* object)
{
    if (iid == IID_IUnknown || iid == IID_IPort || iid == IID_IPortTopology) {
        *object = static_cast<IPortTopology*>(this);
    } else {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    AddRef();
    return STATUS_SUCCESS;
}

ULONG PortTopology::AddRef()
{
    return references_.fetch_add(1) + 1;
}

ULONG PortTopology::Release()
{
    LONG left = references_.fetch_sub(1) - 1;
    if (left == 0) {
        delete this;
    }
    return left;
}

NTSTATUS PortTopology::Init(PDEVICE_OBJECT, PIRP, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
                            PRESOURCELIST resourceList)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IPort::Init", "ports are initialised at PASSIVE_LEVEL");
    if (unknownMiniport == nullptr || miniport_ != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PMINIPORTTOPOLOGY miniport = nullptr;
    NTSTATUS status = unknownMiniport->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport));
    if (!NT_SUCCESS(status) || miniport == nullptr) {
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    }
    {
        DriverCall call("IMiniportTopology::Init");
        status = miniport->Init(unknownAdapter, resourceList, this);
    }
    if (NT_SUCCESS(status)) {
        status = filter_.TakeDescriptor(miniport);
    }
    if (!NT_SUCCESS(status)) {
        DriverCall call("IMiniportTopology::Release");
        miniport->Release();
        return status;
    }
    miniport_ = miniport;
    return STATUS_SUCCESS;
}

NTSTATUS PortTopology::GetDeviceProperty(DEVICE_REGISTRY_PROPERTY, ULONG, PVOID, PULONG)
{
    return STATUS_NOT_IMPLEMENTED;
}

NTSTATUS PortTopology::NewRegistryKey(PREGISTRYKEY* outRegistryKey, PUNKNOWN, ULONG, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                      ULONG, PULONG)
{
    if (outRegistryKey != nullptr) {
        *outRegistryKey = nullptr;
    }
    return STATUS_NOT_IMPLEMENTED;
}

void PortTopology::ReleaseChildren()
{
    filter_.Forget();
    if (miniport_ != nullptr) {
        PMINIPORTTOPOLOGY miniport = miniport_;
        miniport_ = nullptr;
        DriverCall call("IMiniportTopology::Release");
        miniport->Release();
    }
}

}  // namespace host
